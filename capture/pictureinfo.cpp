#include "capture/pictureinfo.h"

#include <cstdint>

namespace vellumix::capture {

namespace {

uint32_t le32(std::string_view b, std::size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

uint16_t le16(std::string_view b, std::size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1])
                                                                         << 8);
}

} // namespace

PictureKind pictureKind(std::string_view h) {
    if (h.size() >= 2 && h[0] == 'B' && h[1] == 'M') return PictureKind::Bmp;
    if (h.size() >= 4 &&
        (h.substr(0, 4) == std::string_view("II*\0", 4) || h.substr(0, 4) == std::string_view("MM\0*", 4)))
        return PictureKind::Tiff;
    if (h.size() >= 8 && h.substr(0, 8) == std::string_view("\x89PNG\r\n\x1a\n", 8)) return PictureKind::Png;
    if (!h.empty() && h[0] == '\x0a') return PictureKind::Pcx;
    return PictureKind::Unknown;
}

std::optional<std::size_t> expectedLength(std::string_view h) {
    if (pictureKind(h) != PictureKind::Bmp || h.size() < 54) return std::nullopt;
    const uint32_t infoSize = le32(h, 14);
    if (infoSize < 40) return std::nullopt; // old OS/2 headers: not what a scope writes
    const auto width = static_cast<int32_t>(le32(h, 18));
    const auto height = static_cast<int32_t>(le32(h, 22));
    const uint16_t bpp = le16(h, 28);
    const uint32_t compression = le32(h, 30);
    uint32_t colours = le32(h, 46);
    if (compression != 0 && compression != 3) return std::nullopt; // RLE: length unknown
    if (width <= 0 || height == 0 || width > 65535 || height > 65535 || height < -65535) return std::nullopt;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return std::nullopt;
    if (colours == 0 && bpp <= 8) colours = 1u << bpp;
    if (bpp > 8) colours = 0;
    if (colours > 256) return std::nullopt;
    const std::size_t rowBytes = ((static_cast<std::size_t>(width) * bpp + 31) / 32) * 4;
    const std::size_t rows = static_cast<std::size_t>(height < 0 ? -static_cast<int64_t>(height) : height);
    const std::size_t masks = compression == 3 && infoSize == 40 ? 12 : 0;
    return 14 + std::size_t{infoSize} + masks + std::size_t{colours} * 4 + rowBytes * rows;
}

} // namespace vellumix::capture

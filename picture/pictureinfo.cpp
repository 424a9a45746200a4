#include "picture/pictureinfo.h"

#include "picture/bytereader.h"

#include <algorithm>
#include <array>

namespace vellumix::picture {

namespace {

struct Signature {
    PictureKind kind;
    std::string_view magic;
};

constexpr std::array<Signature, 5> Signatures = {{
    {PictureKind::Bmp, std::string_view("BM", 2)},
    {PictureKind::Tiff, std::string_view("II*\0", 4)},
    {PictureKind::Tiff, std::string_view("MM\0*", 4)},
    {PictureKind::Png, std::string_view("\x89PNG\r\n\x1a\n", 8)},
    {PictureKind::Pcx, std::string_view("\x0a", 1)},
}};

} // namespace

const char* kindName(PictureKind kind) {
    switch (kind) {
    case PictureKind::Bmp:
        return "BMP";
    case PictureKind::Tiff:
        return "TIFF";
    case PictureKind::Png:
        return "PNG";
    case PictureKind::Pcx:
        return "PCX";
    case PictureKind::Unknown:
        break;
    }
    return "known";
}

PictureKind pictureKind(std::string_view h) {
    if (h.empty()) return PictureKind::Unknown;
    for (const Signature& s : Signatures) {
        // A reply cut inside the signature still shows which picture it was meant to be.
        const std::size_t n = std::min(h.size(), s.magic.size());
        if (h.substr(0, n) == s.magic.substr(0, n)) return s.kind;
    }
    return PictureKind::Unknown;
}

std::optional<std::size_t> expectedLength(std::string_view h) {
    if (pictureKind(h) != PictureKind::Bmp || h.size() < 54) return std::nullopt;
    const ByteReader r(h);
    const uint32_t infoSize = r.u32(14);
    if (infoSize < 40) return std::nullopt; // old OS/2 headers: not what a scope writes
    const auto width = static_cast<int32_t>(r.u32(18));
    const auto height = static_cast<int32_t>(r.u32(22));
    const uint16_t bpp = r.u16(28);
    const uint32_t compression = r.u32(30);
    uint32_t colours = r.u32(46);
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

std::optional<double> secondsLeft(std::size_t received, std::optional<std::size_t> total, std::size_t base,
                                  double elapsed) {
    if (!total) return std::nullopt;
    if (received >= *total) return 0.0;
    // A rate from a blink or from no bytes says nothing yet.
    if (received <= base || elapsed < 0.2) return std::nullopt;
    const double rate = static_cast<double>(received - base) / elapsed;
    return static_cast<double>(*total - received) / rate;
}

} // namespace vellumix::picture

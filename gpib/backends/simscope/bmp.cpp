// BMP writers: the 1-bit and 8-bit layouts of the TDS 300/400 and others, and the TDS 1000/2000's.
#include "gpib/backends/simscope/encoders.h"

namespace vellumix::gpib::sim::encode {
namespace {

void bmpFileHeader(std::string& o, uint32_t fileSize, uint32_t dataOffset) {
    o += "BM";
    le32(o, fileSize);
    le32(o, 0);
    le32(o, dataOffset);
}

void bmpInfoHeader(std::string& o, const Screen& s, uint16_t bpp, uint32_t imageSize) {
    le32(o, 40);
    le32(o, static_cast<uint32_t>(s.width));
    le32(o, static_cast<uint32_t>(s.height));
    le16(o, 1);
    le16(o, bpp);
    le32(o, 0); // BI_RGB
    le32(o, imageSize);
    le32(o, 0);
    le32(o, 0);
    le32(o, 0);
    le32(o, 0);
}

// An 8 bpp BMP with a 256-entry palette (0xRRGGBB) and each screen colour mapped to an index.
template <class IndexOf>
std::string bmp8(const Screen& s, const std::array<uint32_t, 256>& palette, IndexOf indexOf) {
    const std::size_t rowBytes = static_cast<std::size_t>((s.width + 3) & ~3);
    const uint32_t image = static_cast<uint32_t>(rowBytes * s.height);
    const uint32_t size = 14 + 40 + 1024 + image;
    std::string o;
    o.reserve(size);
    bmpFileHeader(o, size, 14 + 40 + 1024);
    bmpInfoHeader(o, s, 8, image);
    for (const uint32_t rgb : palette)
        le32(o, rgb); // B, G, R, 0
    for (int y = s.height - 1; y >= 0; --y) {
        const std::size_t start = o.size();
        o.append(rowBytes, '\0');
        for (int x = 0; x < s.width; ++x)
            o[start + static_cast<std::size_t>(x)] = static_cast<char>(indexOf(s.at(x, y)));
    }
    return o;
}

} // namespace

std::string bmpMono(const Screen& s, const PictureOptions& opt) {
    const std::size_t rowBytes = static_cast<std::size_t>((s.width + 31) / 32) * 4;
    const uint32_t size = static_cast<uint32_t>(62 + rowBytes * s.height);
    std::string o;
    o.reserve(size);
    // TDS 300/400 firmware writes 975 into bfSize whatever the picture's size.
    const uint32_t sizeField = opt.family == ScopeFamily::Tds300_400 ? 975 : size;
    bmpFileHeader(o, opt.bmpFileSizeField.value_or(sizeField), 62);
    bmpInfoHeader(o, s, 1, 0); // TDS 400 firmware leaves biSizeImage 0
    le32(o, 0x00000000);
    le32(o, 0x00FFFFFF);
    for (int y = s.height - 1; y >= 0; --y)
        packRow(o, s, y, opt.inkSaver, true, rowBytes);
    return o;
}

std::string bmpColour(const Screen& s, const PictureOptions& opt) {
    std::array<uint32_t, 256> palette{};
    for (int i = 0; i < ScreenColourCount; ++i) {
        const Rgb c = screenRgb(static_cast<uint8_t>(i), opt.inkSaver);
        palette[static_cast<std::size_t>(i)] = uint32_t{c.r} << 16 | uint32_t{c.g} << 8 | c.b;
    }
    return bmp8(s, palette, [](uint8_t colour) { return colour; });
}

// 8 bpp in the scope's own palette, for mono models too: the TDS 1000/2000 (B) writes the same 1,078
// bytes of headers and palette every time, with bfSize and biSizeImage true.
std::string bmpTekPalette(const Screen& s, const PictureOptions& opt) {
    const bool colourScreen = opt.family == ScopeFamily::Tds2000;
    return bmp8(s, tekPalette(), [&opt, colourScreen](uint8_t colour) {
        return tekPaletteIndex(colour, opt.inkSaver, colourScreen);
    });
}

} // namespace vellumix::gpib::sim::encode

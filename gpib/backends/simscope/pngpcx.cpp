// PNG and PCX writers. No genuine TDS file of either is at hand but the TDS 420A's mono PCX, whose
// header the mono PCX copies.
#include "gpib/backends/simscope/encoders.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

namespace vellumix::gpib::sim::encode {
namespace {

void pngChunk(std::string& o, const char* type, const std::string& data) {
    be32(o, static_cast<uint32_t>(data.size()));
    const std::size_t start = o.size();
    o.append(type, 4);
    o += data;
    be32(o, static_cast<uint32_t>(::crc32(0, reinterpret_cast<const Bytef*>(o.data() + start),
                                          static_cast<uInt>(o.size() - start))));
}

void pcxRle(std::string& o, const uint8_t* line, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const uint8_t v = line[i];
        std::size_t run = 1;
        while (i + run < n && run < 63 && line[i + run] == v)
            ++run;
        if (run > 1 || v >= 0xC0) o.push_back(static_cast<char>(0xC0 | run));
        o.push_back(static_cast<char>(v));
        i += run;
    }
}

} // namespace

// Palette PNG, 8 bits per pixel.
std::string png(const Screen& s, const PictureOptions& opt) {
    std::string o("\x89PNG\r\n\x1a\n", 8);
    std::string ihdr;
    be32(ihdr, static_cast<uint32_t>(s.width));
    be32(ihdr, static_cast<uint32_t>(s.height));
    ihdr += std::string("\x08\x03\x00\x00\x00", 5); // depth 8, palette, deflate, filter 0, no interlace
    pngChunk(o, "IHDR", ihdr);
    std::string plte;
    for (int i = 0; i < ScreenColourCount; ++i) {
        const Rgb c = screenRgb(static_cast<uint8_t>(i), opt.inkSaver);
        plte += static_cast<char>(c.r);
        plte += static_cast<char>(c.g);
        plte += static_cast<char>(c.b);
    }
    pngChunk(o, "PLTE", plte);
    std::string raw;
    raw.reserve(static_cast<std::size_t>(s.width + 1) * static_cast<std::size_t>(s.height));
    for (int y = 0; y < s.height; ++y) {
        raw.push_back('\0'); // filter: none
        raw.append(reinterpret_cast<const char*>(&s.pixels[static_cast<std::size_t>(y) * s.width]),
                   static_cast<std::size_t>(s.width));
    }
    // IDAT holds one zlib stream; level 9 as the pictures in the tests and the docs were made.
    uLongf zsize = compressBound(static_cast<uLong>(raw.size()));
    std::string z(zsize, '\0');
    if (compress2(reinterpret_cast<Bytef*>(z.data()), &zsize, reinterpret_cast<const Bytef*>(raw.data()),
                  static_cast<uLong>(raw.size()), 9) != Z_OK)
        z.clear(); // only when out of memory: the picture then fails its check, loudly
    z.resize(zsize);
    pngChunk(o, "IDAT", z);
    pngChunk(o, "IEND", std::string());
    return o;
}

std::string pcx(const Screen& s, const PictureOptions& opt, bool colour) {
    const std::size_t lineBytes = colour ? static_cast<std::size_t>((s.width + 1) & ~1)
                                         : static_cast<std::size_t>(((s.width + 15) / 16) * 2);
    std::string o;
    o.push_back(0x0A);
    o.push_back(5);
    o.push_back(1);
    o.push_back(colour ? 8 : 1);
    le16(o, 0);
    le16(o, 0);
    le16(o, static_cast<uint32_t>(s.width - 1));
    le16(o, static_cast<uint32_t>(s.height - 1));
    le16(o, static_cast<uint32_t>(s.width));
    le16(o, static_cast<uint32_t>(s.height));
    static constexpr uint8_t kEga[48] = {
        0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0x00, 0xaa, 0x00, 0x00, 0xaa, 0xaa, 0xaa, 0x00, 0x00, 0xaa,
        0x00, 0xaa, 0xaa, 0xaa, 0x00, 0xaa, 0xaa, 0xaa, 0x55, 0x55, 0x55, 0x55, 0x55, 0xff, 0x55, 0xff,
        0x55, 0x55, 0xff, 0xff, 0xff, 0x55, 0x55, 0xff, 0x55, 0xff, 0xff, 0xff, 0x55, 0xff, 0xff, 0xff};
    o.append(reinterpret_cast<const char*>(kEga), sizeof kEga);
    o.push_back(0);
    o.push_back(1); // planes
    le16(o, static_cast<uint32_t>(lineBytes));
    le16(o, colour ? 1 : 0);
    // The firmware leaves the height and '0' characters in the filler.
    o.push_back(0);
    le16(o, static_cast<uint32_t>(s.height));
    o.append(128 - o.size(), '0');

    std::vector<uint8_t> line(lineBytes);
    for (int y = 0; y < s.height; ++y) {
        std::fill(line.begin(), line.end(), 0);
        for (int x = 0; x < s.width; ++x) {
            const uint8_t c = s.at(x, y);
            if (colour)
                line[static_cast<std::size_t>(x)] = c;
            else if (isLight(c, opt.inkSaver))
                line[static_cast<std::size_t>(x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
        }
        pcxRle(o, line.data(), line.size());
    }
    if (colour) {
        o.push_back(0x0C);
        for (int i = 0; i < 256; ++i) {
            const Rgb c =
                i < ScreenColourCount ? screenRgb(static_cast<uint8_t>(i), opt.inkSaver) : Rgb{0, 0, 0};
            o.push_back(static_cast<char>(c.r));
            o.push_back(static_cast<char>(c.g));
            o.push_back(static_cast<char>(c.b));
        }
    }
    return o;
}

} // namespace vellumix::gpib::sim::encode

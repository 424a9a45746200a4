#include "picture/pcxdecode.h"

#include <cstddef>

namespace vellumix::picture {

namespace {

constexpr std::size_t HeaderSize = 128;
constexpr int MaxSide = 16384;

unsigned word(std::string_view b, std::size_t at) {
    return static_cast<unsigned char>(b[at]) | static_cast<unsigned>(static_cast<unsigned char>(b[at + 1]))
                                                   << 8;
}

uint32_t rgb(std::string_view b, std::size_t at) {
    return 0xff000000u | static_cast<uint32_t>(static_cast<unsigned char>(b[at])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<unsigned char>(b[at + 2]);
}

} // namespace

std::optional<DecodedPicture> decodePcx(std::string_view b) {
    if (b.size() < HeaderSize || b[0] != 0x0a || b[2] != 1) return std::nullopt;
    const int bits = static_cast<unsigned char>(b[3]);
    const int planes = static_cast<unsigned char>(b[65]);
    const unsigned xmin = word(b, 4), ymin = word(b, 6), xmax = word(b, 8), ymax = word(b, 10);
    const std::size_t bytesPerLine = word(b, 66);
    if (xmax < xmin || ymax < ymin) return std::nullopt;
    DecodedPicture p;
    p.width = static_cast<int>(xmax - xmin + 1);
    p.height = static_cast<int>(ymax - ymin + 1);
    if (p.width > MaxSide || p.height > MaxSide) return std::nullopt;
    const bool mono = bits == 1 && planes == 1, ega = bits == 1 && planes == 4;
    const bool indexed = bits == 8 && planes == 1, truecolour = bits == 8 && planes == 3;
    if (!mono && !ega && !indexed && !truecolour) return std::nullopt;
    const auto w = static_cast<std::size_t>(p.width);
    if (bytesPerLine < (bits == 1 ? (w + 7) / 8 : w)) return std::nullopt;

    // Run-length data, one line of all planes at a time; a run may cross into the next line.
    const std::size_t lineBytes = bytesPerLine * static_cast<std::size_t>(planes);
    std::vector<unsigned char> data(lineBytes * static_cast<std::size_t>(p.height));
    std::size_t at = HeaderSize;
    for (std::size_t out = 0; out < data.size();) {
        if (at >= b.size()) return std::nullopt;
        auto c = static_cast<unsigned char>(b[at++]);
        std::size_t run = 1;
        if ((c & 0xc0) == 0xc0) {
            run = c & 0x3f;
            if (at >= b.size()) return std::nullopt;
            c = static_cast<unsigned char>(b[at++]);
        }
        for (; run > 0 && out < data.size(); --run)
            data[out++] = c;
    }

    std::vector<uint32_t> palette(256, 0xff000000u);
    if (mono) {
        palette[1] = 0xffffffffu;
    } else if (ega) {
        for (std::size_t i = 0; i < 16; ++i)
            palette[i] = rgb(b, 16 + 3 * i);
    } else if (indexed) {
        // The palette is the file's last 769 bytes: a 0x0C mark, then 256 RGB triples.
        if (b.size() < at + 769 || b[b.size() - 769] != 0x0c) return std::nullopt;
        for (std::size_t i = 0; i < 256; ++i)
            palette[i] = rgb(b, b.size() - 768 + 3 * i);
    }

    p.pixels.resize(w * static_cast<std::size_t>(p.height));
    for (std::size_t y = 0; y < static_cast<std::size_t>(p.height); ++y) {
        const unsigned char* line = data.data() + y * lineBytes;
        for (std::size_t x = 0; x < w; ++x) {
            uint32_t& px = p.pixels[y * w + x];
            if (bits == 1) {
                unsigned index = 0;
                for (int plane = 0; plane < planes; ++plane)
                    index |=
                        ((line[static_cast<std::size_t>(plane) * bytesPerLine + x / 8] >> (7 - x % 8)) & 1u)
                        << plane;
                px = palette[index];
            } else if (indexed) {
                px = palette[line[x]];
            } else {
                px = 0xff000000u | static_cast<uint32_t>(line[x]) << 16 |
                     static_cast<uint32_t>(line[bytesPerLine + x]) << 8 | line[2 * bytesPerLine + x];
            }
        }
    }
    return p;
}

} // namespace vellumix::picture

#pragma once
// The file writers behind encodePicture, one per layout, and the byte helpers they share.
#include "gpib/backends/simscope/picture.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vellumix::gpib::sim::encode {

inline void le16(std::string& o, uint32_t v) {
    o.push_back(static_cast<char>(v & 0xFF));
    o.push_back(static_cast<char>((v >> 8) & 0xFF));
}
inline void le32(std::string& o, uint32_t v) {
    le16(o, v & 0xFFFF);
    le16(o, v >> 16);
}
inline void be16(std::string& o, uint32_t v) {
    o.push_back(static_cast<char>((v >> 8) & 0xFF));
    o.push_back(static_cast<char>(v & 0xFF));
}
inline void be32(std::string& o, uint32_t v) {
    be16(o, v >> 16);
    be16(o, v & 0xFFFF);
}

// One row of 1-bit pixels, MSB first; `bit1Light` says which value light pixels get.
inline void packRow(std::string& o, const Screen& s, int y, bool inkSaver, bool bit1Light,
                    std::size_t rowBytes) {
    const std::size_t start = o.size();
    o.append(rowBytes, '\0');
    for (int x = 0; x < s.width; ++x) {
        const bool on = isLight(s.at(x, y), inkSaver) == bit1Light;
        if (on) o[start + static_cast<std::size_t>(x / 8)] |= static_cast<char>(0x80 >> (x % 8));
    }
}

// bmp.cpp
std::string bmpMono(const Screen& s, const PictureOptions& opt);
std::string bmpColour(const Screen& s, const PictureOptions& opt);
std::string bmpTekPalette(const Screen& s, const PictureOptions& opt);
// tiff.cpp
std::string tiffIfdLast(const Screen& s, const PictureOptions& opt);
std::string tiffPackBits(const Screen& s, const PictureOptions& opt);
// pngpcx.cpp
std::string png(const Screen& s, const PictureOptions& opt);
std::string pcx(const Screen& s, const PictureOptions& opt, bool colour);

// tekpalette.cpp: the TDS 1000/2000 palette as 0xRRGGBB, and the entry each screen colour takes.
const std::array<uint32_t, 256>& tekPalette();
uint8_t tekPaletteIndex(uint8_t colour, bool inkSaver, bool colourScreen);

} // namespace vellumix::gpib::sim::encode

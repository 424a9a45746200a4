#pragma once
// The smallest pictures that are whole by their own format's structure, for tests that are about
// something else than completeness. Bytes appended after them are kept without a word.
#include <string>

namespace vellumix::test {

// 1x1 pixel, 24 bits per pixel: the info header asks for 58 bytes.
inline std::string wholeBmp() {
    std::string b(58, '\0');
    b.replace(0, 2, "BM");
    b[14] = 40, b[18] = 1, b[22] = 1, b[26] = 1, b[28] = 24;
    return b;
}

// Big-endian, one IFD naming one strip of one byte (StripOffsets 38, StripByteCounts 1).
inline std::string wholeTiff() {
    return std::string("MM\0*\0\0\0\x08\0\x02"
                       "\x01\x11\0\x04\0\0\0\x01\0\0\0\x26"
                       "\x01\x17\0\x04\0\0\0\x01\0\0\0\x01"
                       "\0\0\0\0\xAA",
                       39);
}

// The signature, a 1x1 grey IHDR and IEND.
inline std::string wholePng() {
    return std::string("\x89PNG\r\n\x1a\n"
                       "\0\0\0\x0dIHDR\0\0\0\x01\0\0\0\x01\x08\0\0\0\0CRC!"
                       "\0\0\0\0IEND\xae\x42\x60\x82",
                       45);
}

// One line of 2 bytes, run-length coded; colour (8 bits per pixel) with its palette after it.
inline std::string wholePcx(bool colour) {
    std::string p(128, '\0');
    p[0] = 0x0A, p[1] = 5, p[2] = 1, p[3] = colour ? 8 : 1, p[8] = 15, p[65] = 1, p[66] = 2;
    p += "\xC2";
    p += '\0';
    if (colour) p += '\x0C' + std::string(768, '\0');
    return p;
}

// An 8-bit 320x240 BMP of 77,878 bytes as a TDS 1000B/2000B writes it, every pixel `pixel`. Its
// pixel offset 1078 puts a byte 4 at offset 11, where a "++" adapter's end character may confuse it.
inline std::string bmp320x240(char pixel) {
    const auto le32 = [](unsigned v) {
        return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 24)};
    };
    std::string b = "BM" + le32(77878) + le32(0) + le32(1078) + le32(40) + le32(320) + le32(240) +
                    std::string("\x01\x00\x08\x00", 4) + le32(0) + le32(76800) + le32(0) + le32(0) +
                    le32(256) + le32(0);
    b += std::string(1024, '\x10');
    return b + std::string(76800, pixel);
}

} // namespace vellumix::test

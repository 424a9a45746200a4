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

// Big-endian, one IFD without entries.
inline std::string wholeTiff() {
    return std::string("MM\0*\0\0\0\x08\0\0\0\0\0\0", 14);
}

// The signature and IEND.
inline std::string wholePng() {
    return std::string("\x89PNG\r\n\x1a\n\0\0\0\0IEND\xae\x42\x60\x82", 20);
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

} // namespace vellumix::test

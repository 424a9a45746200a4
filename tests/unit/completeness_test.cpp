// Whether a hard copy arrived whole: the genuine scope files, cut and extended, and hand-made
// structures that probe each format's rules.
#include "picture/completeness.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

using namespace vellumix::picture;
using vellumix::test::realHardCopy;

namespace {

std::string be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

std::string le16(uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8)};
}
std::string le32(uint32_t v) {
    return le16(v & 0xFFFF) + le16(v >> 16);
}

std::string tiffEntry(uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    return le16(tag) + le16(type) + le32(count) + le32(value);
}

// A little-endian TIFF: the IFD at 8 with the given entries, then `tail`.
std::string tiff(const std::vector<std::string>& entries, uint32_t next, const std::string& tail) {
    std::string t = std::string("II*\0", 4) + le32(8) + le16(static_cast<uint32_t>(entries.size()));
    for (const auto& e : entries)
        t += e;
    return t + le32(next) + tail;
}

std::string pngChunk(const char* type, const std::string& data) {
    return be32(static_cast<uint32_t>(data.size())) + type + data + "CRC!";
}

const std::string PngSignature("\x89PNG\r\n\x1a\n", 8);

// A PCX header for 4 lines of 2 bytes: version 5, `encoding`, `bpp`, one plane.
std::string pcxHeader(char encoding, char bpp) {
    std::string h(128, '0'); // TDS 400 firmware fills the filler with '0's
    h[0] = 0x0A, h[1] = 5, h[2] = encoding, h[3] = bpp;
    h.replace(4, 8, le16(0) + le16(0) + le16(15) + le16(3));
    h[64] = 0, h[65] = 1;
    h.replace(66, 2, le16(2));
    return h;
}

// A BMP of 4x1 pixels, 8 bpp, 2 palette entries, run-length coded.
std::string rleBmp(uint32_t sizeImage, const std::string& data) {
    std::string b = "BM" + le32(975) + le32(0) + le32(62);
    b += le32(40) + le32(4) + le32(1) + le16(1) + le16(8) + le32(1) + le32(sizeImage) + le32(0) + le32(0) +
         le32(2) + le32(0);
    return b + le32(0) + le32(0xFFFFFF) + data;
}

std::string verdict(std::string_view bytes) {
    const PictureCheck c = checkPicture(bytes);
    if (c.complete) return "complete, ends at " + std::to_string(c.end);
    return "incomplete: " + shortfallText(c, bytes.size());
}

} // namespace

TEST(Completeness, GenuineHardCopiesWholeCutAndExtended) {
    VELLUMIX_NEED_REAL_HARDCOPIES();
    const struct {
        const char* file;
        PictureKind kind;
        std::size_t size;
        const char* cutByOne;      // shortfall when one byte is missing
        const char* cutBy1000;     // ... when 1000 are
        std::size_t headerCut;     // a cut inside the header or the IFD and its value blocks
        const char* headerVerdict; // its shortfall
    } cases[] = {
        // False bfSize (975): the info header says 38,462.
        {"tds420a_bmp_mono_0.bmp", PictureKind::Bmp, 38462, "38461 of 38462", "37462 of 38462", 53,
         "53 of at least 54"},
        {"tds460a_sine.bmp", PictureKind::Bmp, 38462, "38461 of 38462", "37462 of 38462", 61, "61 of 38462"},
        {"tds1000-cf_F0000TEK.BMP", PictureKind::Bmp, 307254, "307253 of 307254", "306254 of 307254", 20,
         "20 of at least 54"},
        {"tds1001b_F0003TEK.BMP", PictureKind::Bmp, 77878, "77877 of 77878", "76878 of 77878", 1000,
         "1000 of 77878"},
        {"tds1002b_bmp_0.bmp", PictureKind::Bmp, 77878, "77877 of 77878", "76878 of 77878", 1,
         "1 of at least 54"},
        {"tds1002b_bmp_1.bmp", PictureKind::Bmp, 77878, "77877 of 77878", "76878 of 77878", 54,
         "54 of 77878"},
        {"tds1012b_TEK0002.BMP", PictureKind::Bmp, 77878, "77877 of 77878", "76878 of 77878", 1077,
         "1077 of 77878"},
        {"tds2002b_F0000TEK.BMP", PictureKind::Bmp, 77878, "77877 of 77878", "76878 of 77878", 2,
         "2 of at least 54"},
        {"tds2004b_bmp_4.bmp", PictureKind::Bmp, 77878, "77877 of 77878", "76878 of 77878", 14,
         "14 of at least 54"},
        {"tds2014b_bmp_13.bmp", PictureKind::Bmp, 77878, "77877 of 77878", "76878 of 77878", 30,
         "30 of at least 54"},
        {"tds2014b_bmp_5.bmp", PictureKind::Bmp, 77878, "77877 of 77878", "76878 of 77878", 1078,
         "1078 of 77878"},
        // IFD first, PackBits strips: the last strip ends the file.
        {"tds2000-4ch_tiff_0.tif", PictureKind::Tiff, 19224, "19223 of 19224", "18224 of 19224", 100,
         "100 of at least 182"},
        {"tds2000-4ch_tiff_1.tif", PictureKind::Tiff, 17760, "17759 of 17760", "16760 of 17760", 1800,
         "1800 of at least 1862"},
        {"tds2000-4ch_tiff_5.tif", PictureKind::Tiff, 20350, "20349 of 20350", "19350 of 20350", 7,
         "7 of at least 8"},
        // IFD last: cut by 1000 the IFD itself is gone, so only a lower bound is known.
        {"tds320_tiff_0.tiff", PictureKind::Tiff, 38810, "38809 of 38810", "37810 of at least 38410", 4,
         "4 of at least 8"},
        {"tds420a_tiff_0.tiff", PictureKind::Tiff, 38810, "38809 of 38810", "37810 of at least 38410", 38500,
         "38500 of at least 38618"},
        {"tds460a_sine.tif", PictureKind::Tiff, 38810, "38809 of 38810", "37810 of at least 38410", 38700,
         "38700 of at least 38810"},
        // Run-length data: how much more was due is not known.
        {"tds420a_pcx_0.pcx", PictureKind::Pcx, 17966, "17965", "16966", 127, "127 of at least 128"},
    };
    EXPECT_EQ(vellumix::test::realHardCopyNames().size(), std::size(cases))
        << "a genuine file without a case";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string whole = realHardCopy(c.file);
        ASSERT_EQ(whole.size(), c.size);
        const PictureCheck check = checkPicture(whole);
        EXPECT_EQ(check.kind, c.kind);
        EXPECT_TRUE(check.complete);
        EXPECT_EQ(check.end, c.size);
        for (const std::string& ending : {std::string("\n"), std::string("\r\n"), std::string(3, '\0')}) {
            const PictureCheck extended = checkPicture(whole + ending);
            EXPECT_TRUE(extended.complete) << ending.size() << " bytes appended";
            EXPECT_EQ(extended.end, c.size) << "the picture ends where it did";
        }
        EXPECT_EQ(verdict(whole.substr(0, c.size - 1)), std::string("incomplete: ") + c.cutByOne);
        EXPECT_EQ(verdict(whole.substr(0, c.size - 1000)), std::string("incomplete: ") + c.cutBy1000);
        EXPECT_EQ(verdict(whole.substr(0, c.headerCut)), std::string("incomplete: ") + c.headerVerdict);
    }
}

TEST(Completeness, EachFormatsStructure) {
    const std::string ihdr = pngChunk("IHDR", std::string(13, '\1'));
    const std::string iend = pngChunk("IEND", "");
    const std::string strip = tiff({tiffEntry(0x111, 4, 1, 38), tiffEntry(0x117, 4, 1, 4)}, 0, "pix!");
    const std::string palette = '\x0C' + std::string(768, '\7');
    const struct {
        const char* name;
        std::string bytes;
        const char* verdict;
    } cases[] = {
        {"no known format", "ZZ", "complete, ends at 2"},
        {"nothing", "", "complete, ends at 0"},
        // Cut inside the signature: still the format it began as.
        {"BMP signature cut", "B", "incomplete: 1 of at least 54"},
        {"TIFF signature cut", std::string("MM\0", 3), "incomplete: 3 of at least 8"},
        {"little-endian TIFF signature cut", "II", "incomplete: 2 of at least 8"},
        {"PNG signature cut", "\x89PN", "incomplete: 3 of at least 20"},

        {"TIFF whole", strip, "complete, ends at 42"},
        {"TIFF strip cut", strip.substr(0, 41), "incomplete: 41 of 42"},
        {"TIFF without an IFD", std::string("MM\0*\0\0\0\0", 8), "incomplete: 8"},
        {"TIFF IFD past the end", std::string("II*\0", 4) + le32(5000), "incomplete: 8 of at least 5002"},
        {"TIFF entries past the end", std::string("II*\0", 4) + le32(8) + le16(65535) + "xx",
         "incomplete: 12 of at least 786434"},
        {"TIFF value block past the end", tiff({tiffEntry(0x131, 2, 100, 1000000)}, 0, ""),
         "incomplete: 26 of 1000100"},
        {"TIFF next IFD past the end", tiff({}, 400, ""), "incomplete: 14 of at least 402"},
        {"TIFF IFD pointing to itself", tiff({}, 8, ""), "complete, ends at 14"},
        {"TIFF strip arrays past the end",
         tiff({tiffEntry(0x111, 3, 4, 900), tiffEntry(0x117, 3, 4, 908)}, 0, ""),
         "incomplete: 38 of at least 916"},

        {"PNG whole", PngSignature + ihdr + iend, "complete, ends at 45"},
        {"PNG without IEND", PngSignature + ihdr, "incomplete: 33 of at least 45"},
        {"PNG cut in IEND", (PngSignature + ihdr + iend).substr(0, 44), "incomplete: 44 of 45"},
        {"PNG cut in a chunk", (PngSignature + ihdr).substr(0, 20), "incomplete: 20 of at least 45"},
        {"PNG signature only", PngSignature, "incomplete: 8 of at least 20"},
        {"PNG with an impossible chunk length", PngSignature + "\xff\xff\xff\xffIDAT",
         "complete, ends at 16"},

        {"PCX colour whole", pcxHeader(1, 8) + "\xC8\x01" + palette, "complete, ends at 899"},
        {"PCX colour without its palette", pcxHeader(1, 8) + "\xC8\x01", "incomplete: 130 of 899"},
        {"PCX colour palette cut", pcxHeader(1, 8) + "\xC8\x01" + palette.substr(1),
         "incomplete: 898 of 899"},
        {"PCX mono whole", pcxHeader(1, 1) + std::string("\xC4\x00\x05\xC3\x06", 5), "complete, ends at 133"},
        {"PCX mono run cut before its value", pcxHeader(1, 1) + std::string("\xC4\x00\x05\xC3", 4),
         "incomplete: 132"},
        {"PCX mono lines missing", pcxHeader(1, 1) + std::string("\xC4\x00", 2), "incomplete: 130"},
        {"PCX uncompressed", pcxHeader(0, 1) + "12345678", "complete, ends at 136"},
        {"PCX uncompressed cut", pcxHeader(0, 1) + "1234567", "incomplete: 135 of 136"},

        {"BMP run-length whole", rleBmp(0, std::string("\4\1\0\0\0\1", 6)), "complete, ends at 68"},
        {"BMP run-length cut", rleBmp(0, std::string("\4\1\0\0", 4)), "incomplete: 66"},
        {"BMP run-length cut, size given", rleBmp(6, std::string("\4\1\0\0", 4)), "incomplete: 66 of 68"},
        {"BMP run-length literal run", rleBmp(0, std::string("\0\3\1\2\3\0\0\1", 8)), "complete, ends at 70"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(verdict(c.bytes), c.verdict) << c.name;
}

// Pictures of the simulated scopes: the layout a TDS writes, checked against the real files and
// opened with independent decoders (Qt's image readers, ImageMagick where installed).
#include "gpib/backends/simscope/picture.h"
#include "picture/completeness.h"
#include "simtest.h"
#include "tests/support/files.h"

#include <QCoreApplication>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

namespace vellumix::gpib::sim::test {
namespace {

using ::vellumix::test::realHardCopy;

// Fetches a hard copy as the program does: the settings, then HARDCOPY START, read to END.
std::string fetch(const std::string& model, const char* format, bool ink,
                  std::optional<uint32_t> bmpSize = {}) {
    Scenario s = oneScope("ID TEK/" + model + ",CF:91.1CT,FV:v1.00");
    s.instruments[0].bmpFileSizeField = bmpSize;
    Bus b(s);
    const int32_t ud = b.open(1, T10s);
    for (std::string cmd :
         {std::string("HARDCOPY:FORMAT ") + format, std::string("HARDCOPY:INKSAVER ") + (ink ? "ON" : "OFF"),
          std::string("HARDCOPY:PALLET NORMAL"), std::string("HARDCOPY:COMPRESSION OFF"),
          std::string("HARDCOPY:LAYOUT PORTRAIT"), std::string("HARDCOPY:PORT GPIB")})
        b.write(ud, cmd);
    std::string picture = b.query(ud, "HARDCOPY START");
    EXPECT_TRUE(b.sta & END);
    return picture;
}

uint32_t le32(const std::string& s, std::size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(s[at + static_cast<std::size_t>(i)]);
    return v;
}

// Undoes PCX run-length coding; returns the decoded pixel bytes (stops at the palette marker for 8 bpp).
std::string pcxDecode(const std::string& f, std::size_t expected) {
    std::string out;
    std::size_t i = 128;
    while (i < f.size() && out.size() < expected) {
        const uint8_t b = static_cast<uint8_t>(f[i++]);
        if ((b & 0xC0) == 0xC0 && i < f.size())
            out.append(b & 0x3F, f[i++]);
        else
            out.push_back(static_cast<char>(b));
    }
    return out;
}

struct FormatCase {
    const char* model;
    const char* word;
    int width, height;
    std::string magic;
    std::size_t size; // 0: depends on the content
};

class Formats : public ::testing::TestWithParam<FormatCase> {
public:
    static void SetUpTestSuite() {
        // Qt finds its image plugins (TIFF) only with an application object.
        static int argc = 1;
        static char arg0[] = "sim_picture_test";
        static char* argv[] = {arg0, nullptr};
        if (!QCoreApplication::instance()) app_ = std::make_unique<QCoreApplication>(argc, argv);
    }
    static void TearDownTestSuite() { app_.reset(); }
    static std::unique_ptr<QCoreApplication> app_;
};
std::unique_ptr<QCoreApplication> Formats::app_;

TEST_P(Formats, LayoutSizeAndIndependentDecoding) {
    const FormatCase& c = GetParam();
    for (bool ink : {false, true}) {
        SCOPED_TRACE(ink ? "ink saver on" : "ink saver off");
        const std::string pic = fetch(c.model, c.word, ink);
        ASSERT_GE(pic.size(), c.magic.size());
        EXPECT_EQ(pic.substr(0, c.magic.size()), c.magic);
        if (c.size) {
            EXPECT_EQ(pic.size(), c.size);
        }

        const std::string word = c.word;
        if (word == "PCX" || word == "PCXCOLOR") {
            const bool colour = word == "PCXCOLOR";
            const std::size_t line =
                colour ? static_cast<std::size_t>(c.width) : static_cast<std::size_t>(c.width / 8);
            EXPECT_EQ(pic[3], colour ? 8 : 1);
            EXPECT_EQ(static_cast<uint8_t>(pic[66]) | static_cast<uint8_t>(pic[67]) << 8,
                      static_cast<int>(line));
            const std::string pixels = pcxDecode(pic, line * c.height);
            EXPECT_EQ(pixels.size(), line * c.height);
            if (colour) {
                ASSERT_GT(pic.size(), 769u);
                EXPECT_EQ(pic[pic.size() - 769], '\x0C');
            }
            // The first pixel is background: dark on the screen, white on paper.
            const uint8_t first = static_cast<uint8_t>(pixels[0]);
            if (colour) {
                EXPECT_EQ(first, 0);
            } else {
                EXPECT_EQ((first & 0x80) != 0, ink);
            }
            continue;
        }
        if (word == "TIFF" && !QImageReader::supportedImageFormats().contains("tiff")) continue;
        QImage img = QImage::fromData(QByteArray::fromStdString(pic));
        ASSERT_FALSE(img.isNull()) << "Qt cannot read the " << c.word;
        EXPECT_EQ(img.width(), c.width);
        EXPECT_EQ(img.height(), c.height);
        img = img.convertToFormat(QImage::Format_RGB32);
        EXPECT_EQ(img.pixel(0, 0), ink ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
        const ScopeFamily family = scopeFamily(c.model);
        // The TDS 2000 draws its BMP and TIFF in its own palette, the colours of a colour screen.
        const bool tekColour = family == ScopeFamily::Tds2000 && word != "PNG" && word.substr(0, 3) != "PCX";
        if (word == "BMPCOLOR" || word == "PNG" || tekColour) {
            const auto rgb = [&](uint8_t colour) {
                const Rgb v = tekColour ? tekPaletteRgb(colour, ink, true) : screenRgb(colour, ink);
                return qRgb(v.r, v.g, v.b);
            };
            const QRgb yellow = rgb(Channel1);
            const QRgb cyan = rgb(Channel2);
            int y = 0, cy = 0;
            for (int j = 0; j < img.height(); ++j)
                for (int i = 0; i < img.width(); ++i) {
                    y += img.pixel(i, j) == yellow;
                    cy += img.pixel(i, j) == cyan;
                }
            EXPECT_GT(y, c.width / 2) << "CH1 trace and readout";
            EXPECT_GT(cy, c.width / 2) << "CH2 trace and readout";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, Formats,
    ::testing::Values(FormatCase{"TDS 3054B", "BMP", 640, 480, "BM", 38462},
                      FormatCase{"TDS 210", "BMP", 320, 240, "BM", 9662},
                      FormatCase{"TDS 2024", "BMP", 320, 240, "BM", 77878},
                      FormatCase{"TDS 1012B", "BMP", 320, 240, "BM", 77878},
                      FormatCase{"TDS 3054B", "BMPCOLOR", 640, 480, "BM", 308278},
                      FormatCase{"TDS 2024", "BMPCOLOR", 320, 240, "BM", 77878},
                      FormatCase{"TDS 420A", "TIFF", 640, 480, std::string("MM\0*", 4), 38810},
                      FormatCase{"TDS 1012", "TIFF", 320, 240, std::string("MM\0*", 4), 0},
                      FormatCase{"TDS 2014B", "TIFF", 320, 240, std::string("MM\0*", 4), 0},
                      FormatCase{"TDS 3054B", "PNG", 640, 480, "\x89PNG\r\n\x1a\n", 0},
                      FormatCase{"TDS 2024", "PNG", 320, 240, "\x89PNG\r\n\x1a\n", 0},
                      FormatCase{"TDS 420A", "PCX", 640, 480, "\x0a\x05\x01", 0},
                      FormatCase{"TDS 754C", "PCXCOLOR", 640, 480, "\x0a\x05\x01", 0},
                      FormatCase{"TDS 210", "PCXCOLOR", 320, 240, "\x0a\x05\x01", 0}),
    [](const auto& info) {
        std::string n = std::string(info.param.word) + "_" + info.param.model;
        n.erase(std::remove(n.begin(), n.end(), ' '), n.end());
        return n;
    });

TEST(RealLayout, HeadersMatchTheScopesOwnFiles) {
    VELLUMIX_NEED_REAL_HARDCOPIES();
    struct Case {
        const char* real;
        const char* model;
        const char* word;
        std::size_t from, to; // byte range that must be identical (to = 0: up to the end)
    };
    for (const Case& c : {
             // The false bfSize (975) comes with the family.
             Case{"tds420a_bmp_mono_0.bmp", "TDS 420A", "BMP", 0, 62},
             Case{"tds460a_sine.bmp", "TDS 460A", "BMP", 0, 62},
             Case{"tds420a_tiff_0.tiff", "TDS 420A", "TIFF", 0, 8},
             Case{"tds420a_tiff_0.tiff", "TDS 420A", "TIFF", 38408, 0},
             Case{"tds320_tiff_0.tiff", "TDS 320", "TIFF", 38408, 0},
             Case{"tds420a_pcx_0.pcx", "TDS 420A", "PCX", 0, 128},
             // Headers and palette, the same 1,078 bytes for mono and colour models.
             Case{"tds2002b_F0000TEK.BMP", "TDS 2002B", "BMP", 0, 1078},
             Case{"tds1001b_F0003TEK.BMP", "TDS 1001B", "BMP", 0, 1078},
             Case{"tds2014b_bmp_5.bmp", "TDS 2014B", "BMPCOLOR", 0, 1078},
             // IFD, resolutions and colour map, up to the strip byte counts.
             Case{"tds2000-4ch_tiff_0.tif", "TDS 2024B", "TIFF", 0, 1734},
         }) {
        SCOPED_TRACE(c.real);
        const std::string real = realHardCopy(c.real);
        const std::string ours = fetch(c.model, c.word, true);
        ASSERT_FALSE(real.empty());
        const std::size_t to = c.to ? c.to : real.size();
        ASSERT_GE(ours.size(), to);
        EXPECT_EQ(ours.substr(c.from, to - c.from), real.substr(c.from, to - c.from));
    }
}

TEST(RealLayout, TekPicturesUseOnlyPaletteEntriesTheScopesUse) {
    VELLUMIX_NEED_REAL_HARDCOPIES();
    // The entries the genuine TDS 1000/2000 BMPs draw with (ink saver on, as they were saved).
    std::set<uint8_t> used;
    for (const char* f : {"tds2002b_F0000TEK.BMP", "tds2004b_bmp_4.bmp", "tds2014b_bmp_13.bmp",
                          "tds2014b_bmp_5.bmp", "tds1001b_F0003TEK.BMP", "tds1012b_TEK0002.BMP"}) {
        const std::string real = realHardCopy(f);
        ASSERT_EQ(real.size(), 77878u) << f;
        used.insert(real.begin() + 1078, real.end());
    }
    for (const char* model : {"TDS 2024B", "TDS 1002B"}) {
        const std::string ours = fetch(model, "BMP", true);
        std::set<uint8_t> drawn(ours.begin() + 1078, ours.end());
        for (const uint8_t entry : drawn)
            EXPECT_TRUE(used.count(entry)) << model << " draws with entry " << int(entry);
        EXPECT_EQ(drawn.count(95), 1u) << "black text";
        EXPECT_EQ(drawn.count(15), std::string(model) == "TDS 2024B" ? 1u : 0u)
            << "a CH1 trace in orange on colour models";
    }
}

TEST(Rendering, IsDeterministicAndFollowsTheInkSaver) {
    EXPECT_EQ(fetch("TDS 754C", "PNG", false), fetch("TDS 754C", "PNG", false));
    const std::string dark = fetch("TDS 754C", "BMP", false);
    const std::string light = fetch("TDS 754C", "BMP", true);
    auto lightBits = [](const std::string& bmp) {
        int n = 0;
        for (std::size_t i = le32(bmp, 10); i < bmp.size(); ++i)
            n += __builtin_popcount(static_cast<uint8_t>(bmp[i]));
        return n;
    };
    const int pixels = 640 * 480;
    EXPECT_LT(lightBits(dark), pixels / 10) << "screen: mostly dark";
    EXPECT_GT(lightBits(light), pixels * 9 / 10) << "ink saver: mostly white paper";
}

// Runs a shell command; its exit status and what it printed on stdout and stderr.
std::pair<int, std::string> shell(const std::string& cmd) {
    std::string out;
    int status = -1;
    if (FILE* p = popen((cmd + " 2>&1").c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p))
            out += buf;
        status = pclose(p);
    }
    return {status, out};
}

TEST(Rendering, ImageMagickReadsEveryFamilysLayouts) {
    if (shell("identify -version").first != 0) GTEST_SKIP() << "ImageMagick not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct Case {
        const char* model;
        const char* word;
        const char* ext;
        const char* expect;     // width x height, bits per sample
        bool falseSize = false; // ImageMagick complains of the TDS 400's bfSize, as with the genuine file
    };
    for (const Case& c :
         {Case{"TDS 3054B", "BMP", "bmp", "640x480 1"}, Case{"TDS 3054B", "BMPCOLOR", "bmp", "640x480 8"},
          Case{"TDS 3054B", "TIFF", "tif", "640x480 1"}, Case{"TDS 3054B", "PNG", "png", "640x480 8"},
          Case{"TDS 3054B", "PCX", "pcx", "640x480 1"}, Case{"TDS 3054B", "PCXCOLOR", "pcx", "640x480 8"},
          Case{"TDS 420A", "BMP", "bmp", "640x480 1", true}, Case{"TDS 2024", "BMP", "bmp", "320x240 8"},
          Case{"TDS 2024", "TIFF", "tif", "320x240 8"}, Case{"TDS 1012B", "TIFF", "tif", "320x240 8"},
          Case{"TDS 210", "BMP", "bmp", "320x240 1"}}) {
        SCOPED_TRACE(std::string(c.model) + " " + c.word);
        const std::string path = dir.path().toStdString() + "/pic." + c.ext;
        std::ofstream(path, std::ios::binary) << fetch(c.model, c.word, false);
        const auto [status, out] = shell("identify -format '%wx%h %z' '" + path + "'");
        if (c.falseSize) {
            EXPECT_NE(out.find("length and filesize do not match"), std::string::npos) << out;
            EXPECT_EQ(out.substr(out.find('\n') + 1), c.expect);
            continue;
        }
        EXPECT_EQ(status, 0) << out;
        EXPECT_EQ(out, c.expect);
    }
}

TEST(Rendering, TekTiffAndBmpShowTheSamePixels) {
    // Two writers, one screen: ImageMagick must decode the PackBits strips to the BMP's pixels.
    if (shell("compare -version").first != 0) GTEST_SKIP() << "ImageMagick not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const char* model : {"TDS 2024B", "TDS 1002B"}) {
        for (const bool ink : {false, true}) {
            SCOPED_TRACE(std::string(model) + (ink ? ", ink saver" : ""));
            const std::string bmp = dir.path().toStdString() + "/a.bmp",
                              tif = dir.path().toStdString() + "/a.tif";
            std::ofstream(bmp, std::ios::binary) << fetch(model, "BMP", ink);
            std::ofstream(tif, std::ios::binary) << fetch(model, "TIFF", ink);
            const auto [status, out] = shell("compare -metric AE '" + bmp + "' '" + tif + "' null:");
            EXPECT_EQ(status, 0) << out;
            EXPECT_EQ(out, "0") << "pixels that differ";
        }
    }
}

TEST(Rendering, TekTiffStripsFollowTheirIfd) {
    const std::string t = fetch("TDS 2024B", "TIFF", true);
    auto be32 = [&](std::size_t at) {
        uint32_t v = 0;
        for (std::size_t i = 0; i < 4; ++i)
            v = v << 8 | static_cast<uint8_t>(t[at + i]);
        return v;
    };
    ASSERT_GT(t.size(), 1862u);
    EXPECT_EQ(be32(4), 8u) << "the IFD comes first";
    // 16 strips of 15 rows: byte counts at 1734, offsets at 1798, the first strip right after.
    uint32_t expectedOffset = 1862;
    for (std::size_t k = 0; k < 16; ++k) {
        const uint32_t count = be32(1734 + 4 * k), offset = be32(1798 + 4 * k);
        EXPECT_EQ(offset, expectedOffset) << "strip " << k;
        EXPECT_EQ(count % 2, 0u) << "two bytes per PackBits packet, strip " << k;
        expectedOffset = offset + count;
    }
    EXPECT_EQ(expectedOffset, t.size()) << "the last strip ends the file";
}

TEST(Rendering, EveryPictureIsCompleteAndEveryCutIsNoticed) {
    for (const char* model :
         {"TDS 210", "TDS 320", "TDS 420A", "TDS 754C", "TDS 1012B", "TDS 2024B", "TDS 3054B"}) {
        for (const char* word : {"BMP", "BMPCOLOR", "TIFF", "PNG", "PCX", "PCXCOLOR"}) {
            for (const bool ink : {false, true}) {
                SCOPED_TRACE(std::string(model) + " " + word + (ink ? ", ink saver" : ""));
                const std::string pic = fetch(model, word, ink);
                const picture::PictureCheck whole = picture::checkPicture(pic);
                EXPECT_NE(whole.kind, picture::PictureKind::Unknown);
                EXPECT_TRUE(whole.complete);
                EXPECT_EQ(whole.end, pic.size());
                for (const std::size_t cut :
                     {std::size_t{1}, std::size_t{1000}, pic.size() - 10, pic.size() - 1}) {
                    EXPECT_FALSE(picture::checkPicture(std::string_view(pic).substr(0, cut)).complete)
                        << cut << " of " << pic.size() << " bytes";
                }
            }
        }
    }
}

} // namespace
} // namespace vellumix::gpib::sim::test

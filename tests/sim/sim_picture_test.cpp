// Pictures of the simulated scopes: the layout a TDS writes, checked against the real files and
// opened with independent decoders (Qt's image readers, ImageMagick where installed).
#include "gpib/backends/sim/picture.h"
#include "simtest.h"

#include <QCoreApplication>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

namespace vellumix::gpib::sim::test {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string realFile(const char* name) {
    return readFile(std::string(VELLUMIX_SOURCE_DIR) + "/tests/data/real/" + name);
}

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
        if (word == "BMPCOLOR" || word == "PNG") {
            const QRgb yellow =
                qRgb(screenRgb(Channel1, ink).r, screenRgb(Channel1, ink).g, screenRgb(Channel1, ink).b);
            const QRgb cyan =
                qRgb(screenRgb(Channel2, ink).r, screenRgb(Channel2, ink).g, screenRgb(Channel2, ink).b);
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
                      FormatCase{"TDS 3054B", "BMPCOLOR", 640, 480, "BM", 308278},
                      FormatCase{"TDS 2024", "BMPCOLOR", 320, 240, "BM", 77878},
                      FormatCase{"TDS 420A", "TIFF", 640, 480, std::string("MM\0*", 4), 38810},
                      FormatCase{"TDS 1012", "TIFF", 320, 240, std::string("MM\0*", 4), 9930},
                      FormatCase{"TDS 3054B", "PNG", 640, 480, "\x89PNG\r\n\x1a\n", 0},
                      FormatCase{"TDS 2024", "PNG", 320, 240, "\x89PNG\r\n\x1a\n", 0},
                      FormatCase{"TDS 420A", "PCX", 640, 480, "\x0a\x05\x01", 0},
                      FormatCase{"TDS 754C", "PCXCOLOR", 640, 480, "\x0a\x05\x01", 0},
                      FormatCase{"TDS 210", "PCXCOLOR", 320, 240, "\x0a\x05\x01", 0}),
    [](const auto& info) {
        std::string n = std::string(info.param.word) + "_" + std::to_string(info.param.width);
        return n;
    });

TEST(RealLayout, HeadersMatchTheScopesOwnFiles) {
    struct Case {
        const char* real;
        const char* model;
        const char* word;
        std::optional<uint32_t> bmpSize;
        std::size_t from, to; // byte range that must be identical (to = 0: up to the end)
    };
    for (const Case& c : {Case{"tds420a_bmp_mono_0.bmp", "TDS 420A", "BMP", 975u, 0, 62},
                          Case{"tds2002b_F0000TEK.BMP", "TDS 2002B", "BMPCOLOR", {}, 0, 54},
                          Case{"tds420a_tiff_0.tiff", "TDS 420A", "TIFF", {}, 0, 8},
                          Case{"tds420a_tiff_0.tiff", "TDS 420A", "TIFF", {}, 38408, 0},
                          Case{"tds420a_pcx_0.pcx", "TDS 420A", "PCX", {}, 0, 128}}) {
        const std::string real = realFile(c.real);
        const std::string ours = fetch(c.model, c.word, true, c.bmpSize);
        ASSERT_FALSE(real.empty()) << c.real;
        const std::size_t to = c.to ? c.to : real.size();
        ASSERT_GE(ours.size(), to) << c.real;
        EXPECT_EQ(ours.substr(c.from, to - c.from), real.substr(c.from, to - c.from)) << c.real;
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

TEST(Rendering, ImageMagickReadsEveryFormat) {
    if (std::system("identify -version > /dev/null 2>&1") != 0) GTEST_SKIP() << "ImageMagick not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct Case {
        const char* word;
        const char* ext;
        const char* expect;
    };
    for (const Case& c :
         {Case{"BMP", "bmp", "640x480"}, Case{"BMPCOLOR", "bmp", "640x480"}, Case{"TIFF", "tif", "640x480"},
          Case{"PNG", "png", "640x480"}, Case{"PCX", "pcx", "640x480"}, Case{"PCXCOLOR", "pcx", "640x480"}}) {
        const std::string path = dir.path().toStdString() + "/pic_" + c.word + "." + c.ext;
        std::ofstream(path, std::ios::binary) << fetch("TDS 3054B", c.word, false);
        const std::string cmd = "identify -format '%wx%h' '" + path + "' 2>&1";
        std::string out;
        if (FILE* p = popen(cmd.c_str(), "r")) {
            char buf[256];
            while (fgets(buf, sizeof buf, p))
                out += buf;
            EXPECT_EQ(pclose(p), 0) << c.word << ": " << out;
        }
        EXPECT_EQ(out, c.expect) << c.word;
    }
}

} // namespace
} // namespace vellumix::gpib::sim::test

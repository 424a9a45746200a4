// Model table, identification reply parsing, format table, command sequence and picture lengths.
#include "capture/formats.h"
#include "capture/hardcopy.h"
#include "capture/models.h"
#include "capture/trigger.h"
#include "picture/pcxdecode.h"
#include "picture/pictureinfo.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

using namespace vellumix::capture;
using namespace vellumix::picture;

TEST(ModelTable, RowByRowBoundaries) {
    const struct {
        double number;
        const char* mask; // nullptr: unsupported
        bool relabel;
    } cases[] = {
        {199, nullptr, false},   {200, "1000100", true},   {210, "1000100", true},   {299, "1000100", true},
        {300, "1010100", true},  {399, "1010100", true},   {400, "1010100", true},   {499, "1010100", true},
        {500, nullptr, false},   {510, nullptr, false},    {520, "1010100", true},   {524, "1110110", false},
        {540, "1010100", true},  {544, "1110110", false},  {580, "1010100", true},   {600, nullptr, false},
        {620, "1010100", true},  {640, "1010100", true},   {650, nullptr, false},    {654, "1110110", false},
        {680, "1010100", true},  {684, "1110110", false},  {690, nullptr, false},    {694, "1110110", false},
        {699, nullptr, false},   {700, "1110110", false},  {754, "1110110", false},  {799, "1110110", false},
        {800, nullptr, false},   {820, "1010100", true},   {999, nullptr, false},    {1000, "1010100", true},
        {1099, "1010100", true}, {1100, nullptr, false},   {2000, "1010101", true},  {2099, "1010101", true},
        {2100, nullptr, false},  {3000, "1111111", false}, {3054, "1111111", false}, {3099, "1111111", false},
        {3100, nullptr, false},  {4000, nullptr, false},   {0, nullptr, false},      {299.5, nullptr, false},
    };
    for (const auto& c : cases) {
        const auto caps = capabilitiesFor(c.number);
        if (!c.mask) {
            EXPECT_FALSE(caps) << c.number;
            continue;
        }
        ASSERT_TRUE(caps) << c.number;
        EXPECT_EQ(caps->mask, c.mask) << c.number;
        EXPECT_EQ(caps->relabel, c.relabel) << c.number;
    }
}

TEST(IdentifyReply, ModelNameAndNumber) {
    const struct {
        std::string reply;
        std::string model;
        double number;
        bool found;
    } cases[] = {
        {"ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41 TDS3FFT:v1.00 TDS3TRG:v1.00", "TDS 3054B", 3054, true},
        {"TEK/TDS 210,CF:91.1CT,FV:v2.12", "TDS 210", 210, true},
        {"TEKTRONIX,TDS 754C,0,CF:91.1CT", "TDS 754C", 754, true},
        {"A,B,TDS 420A,FV", "TDS 420A", 420, true},
        {"TDS  2 1,x", "TDS  2 1", 21, true},
        {"TDS XYZ,", "TDS XYZ", 0, true},
        {"TDS,", "TDS", 0, true},
        {"TDS 2024", "TDS 2024", 2024, false},
        {"", "", 0, false},
        {"HEWLETT-PACKARD,34401A", "HEWLETT-PACKARD,34401A", 0, false},
        {"tek/tds 210,", "tek/tds 210,", 0, false},
    };
    for (const auto& c : cases) {
        const auto id = identifyReply(c.reply);
        EXPECT_EQ(id.model, c.model) << c.reply;
        EXPECT_DOUBLE_EQ(id.modelNumber, c.number) << c.reply;
        EXPECT_EQ(id.modelFound, c.found) << c.reply;
    }
    EXPECT_FALSE(identifyReply("HEWLETT-PACKARD,34401A").capabilities);
    EXPECT_TRUE(identifyReply("TDS 2024").capabilities) << "a reply without the firmware part still works";
    EXPECT_EQ(unsupportedModelText("TDS 5104"), "TDS 5104 is NOT supported by this software.");
    EXPECT_NE(unsupportedModelText(""), "");
}

TEST(Formats, WordsAndExtensions) {
    const char* words[] = {"BMP", "BMPCOLOR", "TIFF", "PNG", "PCX", "PCXCOLOR"};
    const char* exts[] = {".bmp", ".bmp", ".tif", ".png", ".pcx", ".pcx"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_STREQ(Formats[static_cast<std::size_t>(i)].formatWord, words[i]);
        EXPECT_STREQ(Formats[static_cast<std::size_t>(i)].fileExt, exts[i]);
        EXPECT_EQ(formatByWord(words[i])->index, i);
    }
    EXPECT_EQ(formatByWord("bmpcolor")->index, 1);
    EXPECT_FALSE(formatByWord("JPEG"));
    EXPECT_FALSE(formatByWord(""));
}

// The extension is the file name's, never a folder's; Windows paths also end a folder at "\" and a
// drive at ":".
TEST(Formats, ExtensionsOfPathsAndTheRejectedName) {
    const struct {
        const char* path;
        PictureKind kind;
        bool format; // a format is chosen by it (a name that is only an extension chooses none)
        const char* rejected;
    } cases[] = {
        {"shot.png", PictureKind::Png, true, "shot.rejected.png"},
        {"out.d/shot", PictureKind::Unknown, false, "out.d/shot.rejected"},
        {"dir/.bmp", PictureKind::Bmp, false, "dir/.bmp.rejected"},
        {".pcx", PictureKind::Pcx, false, ".pcx.rejected"},
        {"a.b/c.TIFF", PictureKind::Tiff, true, "a.b/c.rejected.TIFF"},
#ifdef _WIN32
        {"C:\\pics.d\\shot", PictureKind::Unknown, false, "C:\\pics.d\\shot.rejected"},
        {"C:\\pics\\shot.bmp", PictureKind::Bmp, true, "C:\\pics\\shot.rejected.bmp"},
        {"D:.png", PictureKind::Png, false, "D:.png.rejected"},
        {"\\\\server\\share.x\\s.pcx", PictureKind::Pcx, true, "\\\\server\\share.x\\s.rejected.pcx"},
#endif
    };
    const auto all = [](int) { return true; };
    for (const auto& c : cases) {
        EXPECT_EQ(kindOfExtension(c.path), c.kind) << c.path;
        EXPECT_EQ(formatForExtension(c.path, all).has_value(), c.format) << c.path;
        EXPECT_EQ(rejectedPath(c.path), c.rejected) << c.path;
    }
}

TEST(HardCopyCommands, SequenceAndInkSaver) {
    EXPECT_EQ(hardCopySetupCommands("TIFF", false),
              (std::vector<std::string>{"HARDCOPY:FORMAT TIFF", "HARDCOPY:INKSAVER OFF",
                                        "HARDCOPY:PALLET NORMAL", "HARDCOPY:COMPRESSION OFF",
                                        "HARDCOPY:LAYOUT PORTRAIT", "HARDCOPY:PORT GPIB"}));
    EXPECT_EQ(hardCopySetupCommands("BMPCOLOR", true)[1], "HARDCOPY:INKSAVER ON");
}

TEST(PictureInfo, LengthsOfRealScopeFiles) {
    VELLUMIX_NEED_REAL_HARDCOPIES();
    const struct {
        const char* file;
        PictureKind kind;
        std::optional<std::size_t> length;
    } cases[] = {
        {"tds420a_bmp_mono_0.bmp", PictureKind::Bmp, 38462}, // file header says 975
        {"tds460a_sine.bmp", PictureKind::Bmp, 38462},
        {"tds2002b_F0000TEK.BMP", PictureKind::Bmp, 77878},
        {"tds1000-cf_F0000TEK.BMP", PictureKind::Bmp, 307254},
        {"tds420a_tiff_0.tiff", PictureKind::Tiff, std::nullopt},
        {"tds420a_pcx_0.pcx", PictureKind::Pcx, std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string bytes = vellumix::test::realHardCopy(c.file);
        ASSERT_FALSE(bytes.empty()) << c.file;
        EXPECT_EQ(pictureKind(bytes), c.kind) << c.file;
        EXPECT_EQ(expectedLength(bytes.substr(0, 64)), c.length) << c.file;
        if (c.length) {
            EXPECT_EQ(bytes.size(), *c.length) << c.file;
        }
    }
}

TEST(PictureInfo, SecondsLeftAtTheRateSoFar) {
    const struct {
        std::size_t received;
        std::optional<std::size_t> total;
        std::size_t base;
        double elapsed;
        std::optional<double> left;
    } cases[] = {
        {10000, 30000, 0, 1.0, 2.0},       // 10 kB/s, 20 kB to go
        {12000, 30000, 2000, 1.0, 1.8},    // the first piece's bytes are not counted in the rate
        {30000, 30000, 0, 1.0, 0.0},       // done
        {40000, 30000, 0, 1.0, 0.0},       // more than the header said
        {10000, std::nullopt, 0, 1.0, {}}, // no length in the header
        {2000, 30000, 2000, 1.0, {}},      // no bytes since the first piece
        {10000, 30000, 0, 0.1, {}},        // too soon to tell
    };
    for (const auto& c : cases) {
        const auto left = secondsLeft(c.received, c.total, c.base, c.elapsed);
        ASSERT_EQ(left.has_value(), c.left.has_value()) << c.received;
        if (left) {
            EXPECT_NEAR(*left, *c.left, 1e-9) << c.received;
        }
    }
}

TEST(Trigger, StateRepliesThatMeanStopped) {
    const std::pair<const char*, bool> cases[] = {
        {"0", true},
        {"1", false},
        {":ACQUIRE:STATE 0", true},
        {"ACQ:STATE 1", false},
        {"stop", true},
        {"RUN", false},
        {"OFF", true},
        {"", false},
    };
    for (const auto& [reply, stopped] : cases)
        EXPECT_EQ(acquisitionStopped(reply), stopped) << reply;
}

TEST(PcxDecode, RefusesWhatIsNotAWholePicture) {
    std::string header(128, '\0');
    header[0] = 0x0a;
    header[2] = 1;
    header[3] = 1;
    header[65] = 1;
    header[8] = 15; // 16 x 2 pixels
    header[10] = 1;
    header[66] = 2;                      // bytes per line
    const std::string data = "\xc4\xff"; // a run of 4 bytes: both lines
    EXPECT_TRUE(decodePcx(header + data));
    EXPECT_FALSE(decodePcx(header + data.substr(0, 1))) << "cut inside a run";
    EXPECT_FALSE(decodePcx(header)) << "no data";
    std::string wide = header;
    wide[66] = 1; // a line of 16 pixels cannot fit in one byte
    EXPECT_FALSE(decodePcx(wide + data));
    std::string colour = header;
    colour[3] = 8;
    colour[66] = 16;
    EXPECT_FALSE(decodePcx(colour + "\xe0\x01")) << "256 colours without the palette";
    const auto p = decodePcx(header + data);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->width, 16);
    EXPECT_EQ(p->height, 2);
    EXPECT_EQ(p->pixels.front(), 0xffffffffu);
}

TEST(PictureInfo, ShortOrHostileHeaders) {
    EXPECT_FALSE(expectedLength(""));
    EXPECT_FALSE(expectedLength("BM"));
    VELLUMIX_NEED_REAL_HARDCOPIES();
    std::string h = vellumix::test::realHardCopy("tds420a_bmp_mono_0.bmp").substr(0, 64);
    h[18] = '\xff', h[19] = '\xff', h[20] = '\xff', h[21] = '\x7f'; // absurd width
    EXPECT_FALSE(expectedLength(h));
    std::string png = "\x89PNG\r\n\x1a\n";
    EXPECT_EQ(pictureKind(png), PictureKind::Png);
    EXPECT_FALSE(expectedLength(png));
}

// Scenario files: the reader's errors, the shipped scenarios, payloads given as bytes.
#include "simtest.h"

#include "tests/support/files.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <iterator>

namespace vellumix::gpib::sim::test {
namespace {

const std::string kData = std::string(VELLUMIX_SOURCE_DIR) + "/tests/data/";

struct BadCase {
    const char* name;
    const char* json;
    const char* message; // part of the error
};

class BadScenario : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadScenario, IsRejectedWithAReason) {
    Scenario s;
    std::string error;
    EXPECT_FALSE(parseScenario(GetParam().json, kData, s, error));
    EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, BadScenario,
    ::testing::Values(
        BadCase{"syntax", R"({"instruments": [)", "not valid JSON at offset"},
        BadCase{"hugeNumber", R"({"rate": 1e400})", "not valid JSON"},
        BadCase{"badUtf8", "{\"description\": \"\xff\"}", "not valid JSON"},
        BadCase{"array", R"([1, 2])", "must be a JSON object"},
        BadCase{"unknownTop", R"({"instrumnets": []})", "unknown key \"instrumnets\""},
        BadCase{"unknownInstrumentKey", R"({"instruments": [{"address": 1, "adress": 2}]})",
                "instruments[0]: unknown key \"adress\""},
        BadCase{"noAddress", R"({"instruments": [{"id": "ID TEK/TDS 210,"}]})", "\"address\" is missing"},
        BadCase{"boardAddress", R"({"instruments": [{"address": 0}]})", "outside 1 to 30"},
        BadCase{"address31", R"({"instruments": [{"address": 31}]})", "outside 1 to 30"},
        BadCase{"fraction", R"({"instruments": [{"address": 1.5}]})", "whole number"},
        BadCase{"addressesHuge", R"({"instruments": [{"addresses": [1e300]}]})", "outside 1 to 30"},
        BadCase{"addressesBeyondInt", R"({"instruments": [{"addresses": [4294967297]}]})", "outside 1 to 30"},
        BadCase{"addressesNegative", R"({"instruments": [{"addresses": [-2147483649]}]})", "outside 1 to 30"},
        BadCase{"addressesBoard", R"({"instruments": [{"addresses": [0]}]})", "outside 1 to 30"},
        BadCase{"twice", R"({"instruments": [{"address": 3}, {"addresses": [2, 3]}]})",
                "two instruments at address 3"},
        BadCase{"format", R"({"instruments": [{"address": 1, "format": "JPEG"}]})",
                "unknown format \"JPEG\""},
        BadCase{"kind", R"({"instruments": [{"address": 1, "kind": "dmm"}]})", "\"kind\" must be"},
        BadCase{"rate", R"({"rate": -5})", "rate must be"},
        BadCase{"rateText", R"({"rate": "fast"})", "\"rate\" must be a number"},
        BadCase{"triggerWord", R"({"instruments": [{"address": 1, "trigger": "soon"}]})",
                "\"trigger\" must be a number of seconds or \"never\""},
        BadCase{"triggerNegative", R"({"instruments": [{"address": 1, "trigger": -1}]})",
                "trigger must be \"never\" or between 0 and 604800 seconds"},
        BadCase{"hex", R"({"instruments": [{"address": 1, "hardcopy": {"hex": "4g"}}]})", "not hexadecimal"},
        BadCase{"oddHex", R"({"instruments": [{"address": 1, "hardcopy": {"hex": "424"}}]})", "odd number"},
        BadCase{"base64", R"({"instruments": [{"address": 1, "hardcopy": {"base64": "!!!"}}]})",
                "not valid base64"},
        BadCase{"base64PadInside", R"({"instruments": [{"address": 1, "hardcopy": {"base64": "QQ==QQ=="}}]})",
                "not valid base64"},
        BadCase{"base64Truncated", R"({"instruments": [{"address": 1, "hardcopy": {"base64": "QUJDR"}}]})",
                "not valid base64"},
        BadCase{"twoSources", R"({"instruments": [{"address": 1, "hardcopy": {"hex": "00", "size": 4}}]})",
                "only one of"},
        BadCase{"missingFile", R"({"instruments": [{"address": 1, "hardcopy": {"file": "nope/none.bmp"}}]})",
                "cannot read"},
        BadCase{"faultType", R"({"instruments": [{"address": 1, "faults": [{"type": "explode"}]}]})",
                "\"type\" must be"},
        BadCase{"readErrorIberr",
                R"({"instruments": [{"address": 1, "faults": [{"type": "readError", "chunk": 2}]}]})",
                "\"iberr\" is needed"},
        BadCase{"chunk0",
                R"({"instruments": [{"address": 1, "faults": [{"type": "readTimeout", "chunk": 0}]}]})",
                "chunk counts from 1"},
        BadCase{"reply",
                R"({"instruments": [{"address": 1, "faults": [{"type": "readTimeout", "reply": "all"}]}]})",
                "\"reply\" must be"},
        BadCase{"screen", R"({"instruments": [{"address": 1, "screen": {"width": 320}}]})",
                "needs both width and height"}),
    [](const auto& info) { return std::string(info.param.name); });

// A path may name something that never ends; the reader must give up at its bound, not exhaust memory.
TEST(ScenarioFile, EndlessFilesAreRefused) {
    if (!std::filesystem::exists("/dev/zero")) GTEST_SKIP() << "no /dev/zero on this system";
    Scenario s;
    std::string error;
    EXPECT_FALSE(parseScenario(R"({"instruments": [{"address": 1, "hardcopy": {"file": "/dev/zero"}}]})",
                               kData, s, error));
    EXPECT_NE(error.find("larger than 256 MiB"), std::string::npos) << error;
    EXPECT_FALSE(loadScenarioFile("/dev/zero", s, error));
    EXPECT_NE(error.find("larger than"), std::string::npos) << error;
}

TEST(ScenarioFile, MissingFileGivesNoBusAndSaysWhich) {
    VirtualClock clock;
    std::string error;
    EXPECT_EQ(createSimBus(kData + "does-not-exist.json", clock, error), nullptr);
    EXPECT_NE(error.find("does-not-exist.json"), std::string::npos) << error;
}

// What each shipped scenario must show to the program's bus scan and search.
struct Shipped {
    const char* file;
    int findLstnErr; // -1: the scan succeeds
    int listeners;   // instruments found by the scan
    int scope;       // address of the scope, 0: none
    const char* model;
    int width;
    bool inkSaver;
};

class ShippedScenario : public ::testing::TestWithParam<Shipped> {};

TEST_P(ShippedScenario, LoadsAndShowsWhatItIsFor) {
    const Shipped& c = GetParam();
    Scenario s;
    std::string error;
    ASSERT_TRUE(loadScenarioFile(kData + c.file, s, error)) << error;
    Bus b(s);
    std::array<uint16_t, 32> list{};
    for (uint16_t a = 0; a <= 30; ++a)
        list[a] = a;
    list[31] = 0xFFFF;
    std::array<uint16_t, 15> results{};
    b.bus->FindLstn(0, list.data(), results.data(), 15);
    if (c.findLstnErr >= 0) {
        EXPECT_TRUE(b.failed());
        EXPECT_EQ(b.err, c.findLstnErr);
        return;
    }
    ASSERT_FALSE(b.failed());
    const int count = b.cnt;
    EXPECT_EQ(count - 1, c.listeners);
    EXPECT_EQ(results[0], 0);
    int found = 0;
    for (int i = 1; i < count; ++i) {
        const int32_t ud = b.open(results[static_cast<std::size_t>(i)], T1s);
        const std::string reply = b.query(ud, "ID?");
        if (reply.find("TDS") != std::string::npos) {
            EXPECT_EQ(reply.rfind("ID TEK/", 0), 0u) << reply;
            EXPECT_EQ(reply.back(), '\n');
            if (!found) found = results[static_cast<std::size_t>(i)];
        }
    }
    EXPECT_EQ(found, c.scope);
    if (!found) return;
    const InstrumentSetup& setup = b.bus->instrumentAt(found)->setup();
    EXPECT_EQ(setup.effectiveModel(), c.model);
    EXPECT_EQ(setup.effectiveWidth(), c.width);
    EXPECT_EQ(setup.inkSaver, c.inkSaver);
}

INSTANTIATE_TEST_SUITE_P(Files, ShippedScenario,
                         ::testing::Values(Shipped{"tds210.json", -1, 1, 1, "TDS 210", 320, false},
                                           Shipped{"tds420a.json", -1, 1, 2, "TDS 420A", 640, false},
                                           Shipped{"tds2024.json", -1, 1, 1, "TDS 2024", 320, true},
                                           Shipped{"tds754c.json", -1, 1, 3, "TDS 754C", 640, false},
                                           Shipped{"tds3054b.json", -1, 1, 1, "TDS 3054B", 640, false},
                                           Shipped{"tds3054b-slow.json", -1, 1, 1, "TDS 3054B", 640, false},
                                           Shipped{"no-listeners.json", EBUS, 0, 0, "", 0, false},
                                           Shipped{"too-many.json", ETAB, 0, 0, "", 0, false},
                                           Shipped{"fourteen.json", -1, 14, 9, "TDS 3054B", 640, false},
                                           Shipped{"no-match.json", -1, 1, 0, "", 0, false},
                                           Shipped{"unsupported.json", -1, 1, 1, "TDS 5104", 640, false},
                                           Shipped{"silent.json", -1, 2, 5, "TDS 3054B", 640, false},
                                           Shipped{"multi.json", -1, 4, 7, "TDS 754C", 640, false}),
                         [](const auto& info) {
                             std::string n = info.param.file;
                             n = n.substr(0, n.find('.'));
                             for (char& ch : n)
                                 if (ch == '-') ch = '_';
                             return n;
                         });

TEST(DefaultScenario, IsTheTds3054bAndMatchesItsFile) {
    VirtualClock clock;
    std::string error;
    auto fromDefault = createSimBus("", clock, error);
    ASSERT_TRUE(fromDefault) << error;
    auto fromFile = createSimBus(kData + "tds3054b.json", clock, error);
    ASSERT_TRUE(fromFile) << error;
    for (GpibDriver* d : {fromDefault.get(), fromFile.get()}) {
        int32_t w[4] = {};
        d->RegisterGpibGlobalsForThread(&w[0], &w[1], &w[2], &w[3]);
        const int32_t ud = d->ibdev(0, 1, 0, T3s, 1, 0);
        d->ibwrt(ud, "ID?", 3);
        char buf[256];
        d->ibrd(ud, buf, 256);
        EXPECT_TRUE(w[0] & END);
        EXPECT_EQ(std::string(buf, static_cast<std::size_t>(w[3])),
                  "ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41 TDS3FFT:v1.00 TDS3TRG:v1.00\n");
    }
    const Scenario a = Scenario::defaultScenario();
    Scenario b;
    ASSERT_TRUE(loadScenarioFile(kData + "tds3054b.json", b, error));
    EXPECT_EQ(a.rate, b.rate);
    EXPECT_EQ(a.latency, b.latency);
    EXPECT_EQ(a.instruments[0].idnReply, b.instruments[0].idnReply);
}

TEST(Payloads, FileHexBase64AndSizeArriveByteForByte) {
    vellumix::test::ScratchDir dir;
    const std::string picture("BM\x00\x7f\xff  \n", 8);
    {
        std::filesystem::create_directories(dir.path() / "pics");
        std::ofstream(dir.path() / "pics/p.bin", std::ios::binary) << picture;
    }
    const std::string json = R"({"instruments": [
        {"address": 1, "id": "ID TEK/TDS 210,CF:91.1CT,FV:v2.12",
         "hardcopy": {"file": "pics/p.bin", "append": "20 0d 0a"},
         "hardcopyByFormat": {"TIFF": {"hex": "4d4d002a"}, "PNG": {"base64": "iVBORw==", "append": "0a"},
                              "PCX": {"size": 1000}, "BMPCOLOR": {"append": "0d0a"}}}]})";
    const std::string path = (dir.path() / "s.json").string();
    std::ofstream(path) << json;
    Scenario s;
    std::string error;
    ASSERT_TRUE(loadScenarioFile(path, s, error)) << error;
    Bus b(s);
    const int32_t ud = b.open(1);
    struct Case {
        const char* format;
        std::string expect;
    };
    for (const Case& c : {Case{"BMP", picture + " \r\n"}, Case{"TIFF", std::string("MM\0*", 4)},
                          Case{"PNG", std::string("\x89PNG\n", 5)}}) {
        b.write(ud, std::string("HARDCOPY:FORMAT ") + c.format);
        EXPECT_EQ(b.query(ud, "HARDCOPY START"), c.expect) << c.format;
        EXPECT_TRUE(b.sta & END);
    }
    b.write(ud, "HARDCOPY:FORMAT PCX");
    const std::string block = b.query(ud, "HARDCOPY START");
    EXPECT_EQ(block.size(), 1000u);
    EXPECT_EQ(block.find_first_of(" \r\n"), std::string::npos) << "a generated block has no trimmable bytes";
    b.write(ud, "HARDCOPY:FORMAT BMPCOLOR");
    const std::string rendered = b.query(ud, "HARDCOPY START");
    EXPECT_EQ(rendered.size(), 77878u + 2) << "rendered 320x240 colour BMP plus CR LF";
    EXPECT_EQ(rendered.substr(rendered.size() - 2), "\r\n");
}

// Scenario files are UTF-8; the instrument sends one byte per character, as a TDS does.
TEST(Payloads, TextsReachTheInstrumentAsLatin1) {
    const struct {
        const char* json;
        std::string reply;
    } cases[] = {
        {R"(caf\u00e9)", "caf\xe9"},
        {"caf\xc3\xa9 \xc2\xb5s", "caf\xe9 \xb5s"},
        {R"(\u20ac 5)", "? 5"},
        {"\xf0\x9f\x93\x88 up", "? up"},
    };
    for (const auto& c : cases) {
        Scenario s;
        std::string error;
        const std::string json =
            std::string(R"({"instruments": [{"address": 1, "kind": "instrument", "id": ")") + c.json +
            "\"}]}";
        ASSERT_TRUE(parseScenario(json, kData, s, error)) << error;
        EXPECT_EQ(s.instruments.at(0).idReply, c.reply) << c.json;
    }
}

TEST(Payloads, FaultsAndOptionsFromJson) {
    const std::string json = R"({"registerReturnCode": 3, "latency": 0.5, "rate": 1000,
      "instruments": [{"address": 4, "id": "ID TEK/TDS 754C,CF:91.1CT,FV:v6.4e", "replyEnding": "0d0a",
        "screen": {"width": 320, "height": 200}, "inkSaver": true, "port": "CENTRONICS", "format": "pcxc",
        "faults": [{"type": "writeError", "match": "INKSAVER", "iberr": 2, "times": 1},
                   {"type": "readTimeout", "chunk": 2, "reply": "any"},
                   {"type": "readError", "chunk": 3, "iberr": 1, "reply": "hardcopy"},
                   {"type": "ibtmoError", "iberr": 4}]}]})";
    Scenario s;
    std::string error;
    ASSERT_TRUE(parseScenario(json, kData, s, error)) << error;
    EXPECT_EQ(s.registerReturnCode, 3);
    EXPECT_EQ(s.latency, 0.5);
    EXPECT_EQ(s.rate, 1000);
    const InstrumentSetup& in = s.instruments.at(0);
    EXPECT_EQ(in.replyEnding, "\r\n");
    EXPECT_EQ(in.effectiveWidth(), 320);
    EXPECT_EQ(in.effectiveHeight(), 200);
    EXPECT_TRUE(in.inkSaver);
    EXPECT_EQ(in.port, "CENTRONICS");
    EXPECT_EQ(in.format, PictureFormat::PcxColor);
    ASSERT_EQ(in.faults.size(), 4u);
    EXPECT_EQ(in.faults[0].kind, Fault::Kind::WriteError);
    EXPECT_EQ(in.faults[0].times, 1);
    EXPECT_EQ(in.faults[1].kind, Fault::Kind::ReadTimeout);
    EXPECT_EQ(in.faults[1].iberr, EABO);
    EXPECT_EQ(in.faults[1].reply, ReplyKind::Any);
    EXPECT_EQ(in.faults[2].kind, Fault::Kind::ReadError);
    EXPECT_EQ(in.faults[3].kind, Fault::Kind::TimeoutSetError);
    EXPECT_EQ(in.faults[3].iberr, EARG);
}

} // namespace
} // namespace vellumix::gpib::sim::test

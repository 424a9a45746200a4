// vellumix-cli run in-process on the simulated bus (virtual clock) and on a scripted driver.
#include "capture/hardcopy.h"
#include "cli/cli.h"
#include "cli/consoletext.h"
#include "cli/exitstatus.h"
#include "cli/outputname.h"
#include "cli/progressbar.h"
#include "cli/terminaldesktop.h"
#include "gpib/backends/sim/simbus.h"
#include "tests/support/fakes.h"
#include "tests/support/files.h"
#include "tests/support/pictures.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vellumix::cli {
namespace {

namespace fs = std::filesystem;
using gpib::sim::Fault;
using gpib::sim::Payload;
using gpib::sim::Scenario;

const std::string DataDir = std::string(VELLUMIX_SOURCE_DIR) + "/tests/data/";
const std::string Id3054 = "ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41 TDS3FFT:v1.00 TDS3TRG:v1.00";

using test::readFile;

// A scratch folder that is also the working folder while it lives (default names land there).
struct ScratchDir : test::ScratchDir {
    ScratchDir() : test::ScratchDir("cli-test", Enter::Yes) {}
};

struct Cli {
    gpib::VirtualClock clock;
    std::ostringstream out, err;
    std::map<std::string, std::string> env;
    std::unique_ptr<gpib::sim::SimBus> bus;
    gpib::GpibDriver* driver = nullptr;
    bool progress = false;

    Cli() = default;
    explicit Cli(Scenario s) : bus(gpib::sim::createSimBus(std::move(s), clock)), driver(bus.get()) {}

    int run(const std::vector<std::string>& args) {
        CliContext ctx(out, err, clock);
        ctx.progress = progress;
        ctx.driver = driver;
        ctx.environment = [this](const std::string& name) -> std::optional<std::string> {
            const auto it = env.find(name);
            if (it == env.end()) return std::nullopt;
            return it->second;
        };
        ctx.localTime = [] {
            std::tm tm{};
            tm.tm_year = 2026 - 1900;
            tm.tm_mon = 11;
            tm.tm_mday = 7;
            tm.tm_hour = 15;
            tm.tm_min = 30;
            tm.tm_sec = 12;
            return tm;
        };
        return runCli(args, ctx);
    }
    gpib::sim::SimInstrument& scope(int address = 1) { return *bus->instrumentAt(address); }
};

Scenario scopeWith(Payload picture, const std::string& id = Id3054) {
    Scenario s;
    s.addScope(1, id).hardcopy = std::move(picture);
    return s;
}

// --- Exit statuses ------------------------------------------------------------------------------

struct StatusCase {
    const char* name;
    std::function<Scenario()> scenario; // empty: the bus comes from the arguments
    std::vector<std::string> args;
    int status;
    const char* message; // part of stderr
};

class ExitStatusTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(ExitStatusTest, EndsWithItsStatusAndSaysWhy) {
    const StatusCase& c = GetParam();
    ScratchDir dir;
    Cli cli = c.scenario ? Cli(c.scenario()) : Cli();
    EXPECT_EQ(cli.run(c.args), c.status) << cli.err.str();
    EXPECT_NE(cli.err.str().find(c.message), std::string::npos) << cli.err.str();
    if (c.status != ExitOk && c.status != ExitIncompletePicture) {
        EXPECT_EQ(cli.out.str(), "");
    }
}

Scenario withFault(Fault f) {
    Scenario s;
    s.addScope(1, Id3054).faults.push_back(f);
    return s;
}

Scenario failingRegistration() {
    Scenario s;
    s.addScope(1, Id3054);
    s.registerReturnCode = 3;
    return s;
}

const StatusCase StatusCases[] = {
    {"NoCommand", {}, {}, ExitUsage, "a command is needed"},
    {"UnknownCommand", {}, {"shoot"}, ExitUsage, "unknown command"},
    {"UnknownOption", {}, {"capture", "--colour"}, ExitUsage, "unknown option --colour"},
    {"BusWithoutValue", {}, {"scan", "--bus"}, ExitUsage, "--bus needs a bus"},
    {"CountZero", {}, {"capture", "--count", "0"}, ExitUsage, "--count"},
    {"NegativeInterval", {}, {"capture", "--interval", "-1"}, ExitUsage, "--interval"},
    {"SeveralToStdout", {}, {"capture", "-o", "-", "--count", "2"}, ExitUsage, "single picture"},
    {"TriggerTimeoutAlone", {}, {"capture", "--trigger-timeout", "5"}, ExitUsage, "needs --on-trigger"},
    {"TriggerTimeoutZero", {}, {"capture", "--on-trigger", "--trigger-timeout", "0"}, ExitUsage, "above 0"},
    {"UnknownFormat", {}, {"--bus", "sim", "capture", "--format", "JPEG"}, ExitUsage, "BMP, BMPCOLOR"},
    {"AddressOutOfRange", {}, {"--bus", "sim", "query", "--address", "31", "ID?"}, ExitUsage, "1 to 30"},
    {"BadBusUri", {}, {"--bus", "usb:3", "scan"}, ExitBus, "--bus"},
    {"MissingScenario", {}, {"--bus", "sim:/nonexistent/none.json", "scan"}, ExitBus, "Simulated Bus Error"},
    {"NoListeners",
     {},
     {"--bus", "sim:" + DataDir + "no-listeners.json", "scan"},
     ExitScan,
     "No listeners found."},
    {"UsbtmcSimulatedNone",
     {},
     {"--bus", "usbtmc:sim:" + DataDir + "no-listeners.json", "scan"},
     ExitBus,
     "USBTMC Error: No simulated USBTMC scope is present: the scenario describes no instrument."},
    {"TooManyListeners",
     {},
     {"--bus", "sim:" + DataDir + "too-many.json", "identify"},
     ExitScan,
     "Max 14 listeners allowed."},
    {"NoMatch",
     {},
     {"--bus", "sim:" + DataDir + "no-match.json", "identify"},
     ExitNoInstrument,
     "Received Response(s):\n  HEWLETT-PACKARD,34401A"},
    {"QuietNoMatch",
     {},
     {"--bus", "sim:" + DataDir + "no-match.json", "capture", "--expect", "!TDS"},
     ExitNoInstrument,
     "no instrument answered"},
    {"NoListenerAtAddress",
     {},
     {"--bus", "sim", "query", "--address", "9", "ID?"},
     ExitNoInstrument,
     "listeners: 1"},
    {"Unsupported",
     {},
     {"--bus", "sim:" + DataDir + "unsupported.json", "capture"},
     ExitUnsupportedModel,
     "TDS: TDS 5104 is NOT supported"},
    {"FormatNotOffered",
     {},
     {"--bus", "sim:" + DataDir + "tds210.json", "capture", "--format", "tiff"},
     ExitNotOffered,
     "does not offer the format TIFF; it offers BMP PCX"},
    {"InkSaverNotOffered",
     {},
     {"--bus", "sim:" + DataDir + "tds210.json", "capture", "--ink-saver"},
     ExitNotOffered,
     "no ink saver"},
    {"WriteErrorOnSetup",
     [] {
         return withFault({Fault::Kind::WriteError, "HARDCOPY:LAYOUT", false, 1, {}, gpib::ENOL, 0});
     },
     {"capture", "-o", "x.bmp"},
     ExitIo,
     "GPIB ERROR # 2: No listener on write function."},
    {"WriteErrorOnQuery",
     [] {
         return withFault({Fault::Kind::WriteError, "ID?", true, 1, {}, gpib::EABO, 0});
     },
     {"query", "ID?"},
     ExitIo,
     "I/O operation aborted - timeout."},
    {"ReadTimeoutThirdChunk",
     [] {
         return withFault({Fault::Kind::ReadTimeout, "", false, 3, gpib::sim::ReplyKind::Hardcopy, 6, 0});
     },
     {"capture", "-o", "x.bmp"},
     ExitIo,
     "I/O Error: Read cycle failed\n  Operation aborted."},
    {"SilentQuery",
     [] {
         Scenario s;
         s.addInstrument(4, std::nullopt).silent = true;
         return s;
     },
     {"query", "ID?"},
     ExitIo,
     "Read cycle failed"},
    // Without its status registration the driver cannot tell a read's length or end: every command
    // that reads says so, rather than reading for ever or blaming the scope.
    {"RegistrationFailsScan", [] { return failingRegistration(); }, {"scan"}, ExitBus, "GPIB Driver Error"},
    {"RegistrationFailsQuery",
     [] { return failingRegistration(); },
     {"query", "ID?"},
     ExitBus,
     "registering the status words failed (code 3)"},
    {"RegistrationFailsIdentify",
     [] { return failingRegistration(); },
     {"identify"},
     ExitBus,
     "GPIB Driver Error"},
    {"RegistrationFailsCapture",
     [] { return failingRegistration(); },
     {"capture", "-o", "x.bmp"},
     ExitBus,
     "GPIB Driver Error"},
    {"FolderMissing",
     {},
     {"--bus", "sim:" + DataDir + "tds210.json", "capture", "-o", "no/such/dir/x.bmp"},
     ExitWrite,
     "could not be written to no/such/dir/x.bmp"},
};

INSTANTIATE_TEST_SUITE_P(Cli, ExitStatusTest, ::testing::ValuesIn(StatusCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CliBus, EnvironmentChoosesTheBusUnlessTheCommandLineDoes) {
    Cli cli;
    cli.env["VELLUMIX_BUS"] = "sim:" + DataDir + "no-listeners.json";
    EXPECT_EQ(cli.run({"scan"}), ExitScan);
    EXPECT_EQ(cli.run({"--bus", "sim", "scan"}), ExitOk);
    cli.env["VELLUMIX_BUS"] = "nonsense:";
    EXPECT_EQ(cli.run({"scan"}), ExitBus);
    EXPECT_NE(cli.err.str().find("VELLUMIX_BUS"), std::string::npos);
}

TEST(CliBus, HelpAndVersionNeedNoBus) {
    Cli cli;
    cli.env["VELLUMIX_BUS"] = "nonsense:";
    EXPECT_EQ(cli.run({"--version"}), ExitOk);
    EXPECT_EQ(cli.out.str(), "vellumix-cli 1.2.5\n");
    cli.out.str("");
    EXPECT_EQ(cli.run({"capture", "--help"}), ExitOk);
    EXPECT_NE(cli.out.str().find("(default: from -o's extension, else BMPCOLOR when the model"),
              std::string::npos);
}

// --- The picture, byte for byte -------------------------------------------------------------------

struct PayloadCase {
    const char* name;
    std::string bytes;
    int status = ExitOk; // a cut picture is delivered all the same
};

class StdoutBytesTest : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(StdoutBytesTest, StdoutHoldsExactlyTheScopesBytes) {
    const std::string& bytes = GetParam().bytes;
    Cli cli(scopeWith(Payload::fromBytes(bytes)));
    ASSERT_EQ(cli.run({"capture", "--format", "PNG", "-o", "-"}), GetParam().status) << cli.err.str();
    EXPECT_EQ(cli.out.str(), bytes);
    if (GetParam().status == ExitOk) {
        EXPECT_EQ(cli.err.str(), "");
    }
}

const PayloadCase PayloadCases[] = {
    {"TrailingSpaces", std::string("\x89PNG\r\n\x1a\n data   ", 17), ExitIncompletePicture},
    {"TrailingLineEnds", std::string("\x89PNG\r\n\x1a\n\0\0\r\n\r\n", 14), ExitIncompletePicture},
    // Bytes that are no PNG still reach a stream whole; the status says what they are.
    {"LeadingSpacesTrailingCR", "   picture\r", ExitIncompletePicture},
    {"SingleLF", "\n", ExitIncompletePicture}, // the first byte of a PCX
    {"ExactlyOneChunk", std::string(512, '\xff'), ExitIncompletePicture},
    {"OneByteOverAChunk", std::string(512, '\0') + " ", ExitIncompletePicture},
    {"AllByteValues",
     [] {
         std::string s;
         for (int i = 0; i < 2048; ++i)
             s += static_cast<char>(i % 256);
         return s + "  \n";
     }(),
     ExitIncompletePicture},
};

INSTANTIATE_TEST_SUITE_P(Cli, StdoutBytesTest, ::testing::ValuesIn(PayloadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CliCapture, FilePayloadScenarioReachesStdoutUnchanged) {
    Cli cli;
    const std::string dir = std::string(VELLUMIX_SOURCE_DIR) + "/tests/cli/data/";
    ASSERT_EQ(cli.run({"--bus", "sim:" + dir + "cli-scope.json", "capture", "--format", "PNG", "-o", "-"}),
              ExitOk)
        << cli.err.str();
    EXPECT_EQ(cli.out.str(), readFile(dir + "cli-picture.bin"));
}

TEST(CliCapture, RenderedColourBmpIsWrittenWholeWithTheGuisSevenCommands) {
    ScratchDir dir;
    Cli cli(Scenario::defaultScenario()); // its transfer rate costs virtual time only
    ASSERT_EQ(cli.run({"capture", "--ink-saver", "-o", "shot.bmp"}), ExitOk) << cli.err.str();
    EXPECT_EQ(cli.out.str(), "shot.bmp\n");
    const std::string file = readFile(dir.path() / "shot.bmp");
    EXPECT_EQ(file, *cli.scope().picture());
    EXPECT_EQ(file.size(), 308278u);

    auto expected = capture::hardCopySetupCommands("BMPCOLOR", true);
    expected.push_back(capture::HardCopyStart);
    const auto& received = cli.scope().received();
    ASSERT_GE(received.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(received.end() - static_cast<long>(expected.size()), received.end()),
              expected);
}

TEST(CliCapture, ShortBmpIsKeptAsideAndReportedIncomplete) {
    ScratchDir dir;
    Cli full(Scenario::defaultScenario());
    ASSERT_EQ(full.run({"capture", "--format", "BMP", "-o", "-"}), ExitOk);
    const std::string whole = full.out.str();
    ASSERT_EQ(whole.size(), 38462u);
    // The file header's size field is not what decides: it is the info header.
    const std::string cut = whole.substr(0, 20000);

    Cli cli(scopeWith(Payload::fromBytes(cut)));
    EXPECT_EQ(cli.run({"capture", "--format", "BMP", "-o", "cut.bmp"}), ExitIncompletePicture);
    EXPECT_NE(cli.err.str().find("incomplete: 20000 of 38462 bytes"), std::string::npos) << cli.err.str();
    EXPECT_TRUE(readFile(dir.path() / "cut.rejected.bmp") == cut);
    EXPECT_FALSE(fs::exists(dir.path() / "cut.bmp"));
}

TEST(CliCapture, EveryFormatIsCheckedByItsOwnStructure) {
    VELLUMIX_NEED_REAL_HARDCOPIES();
    const auto real = [](const char* name, std::size_t drop = 0, const std::string& add = "") {
        const std::string whole = test::realHardCopy(name);
        return whole.substr(0, whole.size() - drop) + add;
    };
    const struct {
        const char* format;
        std::string picture;
        int status;
        const char* message; // the whole of stderr
    } cases[] = {
        {"TIFF", real("tds2000-4ch_tiff_0.tif", 1), ExitIncompletePicture,
         "vellumix-cli: the hard copy is incomplete: 19223 of 19224 bytes came (kept in p.rejected.tif; "
         "p.tif is "
         "unchanged)\n"},
        {"TIFF", real("tds420a_tiff_0.tiff", 1000), ExitIncompletePicture,
         "vellumix-cli: the hard copy is incomplete: 37810 of at least 38410 bytes came (kept in "
         "p.rejected.tif; "
         "p.tif is unchanged)\n"},
        {"PCX", real("tds420a_pcx_0.pcx", 1), ExitIncompletePicture,
         "vellumix-cli: the hard copy is incomplete: 17965 bytes came (kept in p.rejected.pcx; p.pcx is "
         "unchanged)\n"},
        {"TIFF", real("tds420a_tiff_0.tiff"), ExitOk, ""},
        {"BMP", real("tds2002b_F0000TEK.BMP", 0, "\r\n"), ExitOk,
         "vellumix-cli: 2 bytes came after the end of the picture and were kept (p.bmp)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        ScratchDir dir;
        Cli cli(scopeWith(Payload::fromBytes(c.picture)));
        const std::string name = std::string("p") + (c.format == std::string("BMP")   ? ".bmp"
                                                     : c.format == std::string("PCX") ? ".pcx"
                                                                                      : ".tif");
        EXPECT_EQ(cli.run({"capture", "--format", c.format, "-o", name}), c.status);
        EXPECT_EQ(cli.err.str(), c.message);
        // A good picture is written as it came; a bad one beside the target, which stays away.
        const std::string kept = c.status == ExitOk ? name : capture::rejectedPath(name);
        EXPECT_TRUE(readFile(dir.path() / kept) == c.picture) << kept;
        EXPECT_EQ(fs::exists(dir.path() / name), c.status == ExitOk);
    }
}

TEST(CliCapture, Tds2024WritesItsOwnEightBitBmp) {
    ScratchDir dir;
    Cli cli;
    ASSERT_EQ(
        cli.run({"--bus", "sim:" + DataDir + "tds2024.json", "capture", "--format", "BMP", "-o", "s.bmp"}),
        ExitOk)
        << cli.err.str();
    const std::string bmp = readFile(dir.path() / "s.bmp");
    ASSERT_EQ(bmp.size(), 77878u);
    EXPECT_EQ(bmp[28], 8) << "bits per pixel";
    if (test::haveRealHardCopies()) {
        EXPECT_EQ(bmp.substr(0, 1078), test::realHardCopy("tds2002b_F0000TEK.BMP").substr(0, 1078))
            << "the B-series headers and palette";
    }
}

TEST(CliCapture, WithoutFormatTheOutputsExtensionChoosesIt) {
    // The default TDS 3054B offers every format; the TDS 420A has no PNG and no colour.
    const struct {
        std::string scenario, output, word;
        int status;
        int address = 1;
    } cases[] = {
        {"", "x.png", "PNG", ExitOk},
        {"", "x.TIFF", "TIFF", ExitOk},
        {"", "x.tif", "TIFF", ExitOk},
        {"", "x.pcx", "PCXCOLOR", ExitOk},
        {"", "x.bmp", "BMPCOLOR", ExitOk},
        {"", "x.picture", "BMPCOLOR", ExitOk},
        {"", "dir.png/x", "BMPCOLOR", ExitOk},
        {"tds420a.json", "x.pcx", "PCX", ExitOk, 2},
        {"tds420a.json", "x.bmp", "BMP", ExitOk, 2},
        {"tds420a.json", "x.png", "PNG", ExitNotOffered, 2},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        std::filesystem::create_directories(dir.path() / "dir.png");
        Scenario scenario = Scenario::defaultScenario();
        if (!c.scenario.empty()) {
            std::string error;
            ASSERT_TRUE(gpib::sim::parseScenario(readFile(DataDir + c.scenario), DataDir, scenario, error))
                << error;
        }
        Cli cli(std::move(scenario));
        EXPECT_EQ(cli.run({"capture", "-o", c.output}), c.status) << c.output << cli.err.str();
        if (c.status != ExitOk) {
            EXPECT_NE(cli.err.str().find("does not offer the format " + c.word), std::string::npos)
                << cli.err.str();
            EXPECT_FALSE(std::filesystem::exists(dir.path() / c.output));
            continue;
        }
        const auto& received = cli.scope(c.address).received();
        EXPECT_NE(std::find(received.begin(), received.end(), "HARDCOPY:FORMAT " + c.word), received.end())
            << c.scenario << " " << c.output;
    }
}

TEST(CliCapture, FailedWriteLeavesTheOldFile) {
    ScratchDir dir;
    { std::ofstream(dir.path() / "keep.bmp", std::ios::binary) << "old picture"; }
    Scenario s = withFault({Fault::Kind::ReadTimeout, "", false, 2, gpib::sim::ReplyKind::Hardcopy, 6, 0});
    Cli cli(std::move(s));
    EXPECT_EQ(cli.run({"capture", "-o", "keep.bmp"}), ExitIo);
    EXPECT_EQ(readFile(dir.path() / "keep.bmp"), "old picture");

    // A target that is a folder cannot be replaced: the write fails, the folder stays.
    fs::create_directory(dir.path() / "taken.bmp");
    Cli again(Scenario::defaultScenario());
    EXPECT_EQ(again.run({"capture", "-o", "taken.bmp"}), ExitWrite);
    EXPECT_TRUE(fs::is_directory(dir.path() / "taken.bmp"));
}

TEST(CliCapture, ScriptedReplies) {
    struct Case {
        const char* name;
        std::string picture;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"EmptyReply", "", ExitIo, "empty hard copy"},
        {"BmpHeaderCut", "BM" + std::string(30, '\x01'), ExitIncompletePicture, "32 of at least 54"},
        {"UnknownFormatShort", "ZZ", ExitIncompletePicture,
         "the scope sent 2 bytes that are not a BMP picture"},
        {"MissingFirstByte", "M" + std::string(60, '\x01'), ExitIncompletePicture,
         "61 bytes that are not a BMP"},
        {"ImpossibleHeader", "BM" + std::string(60, '\0'), ExitIncompletePicture,
         "62 bytes that are not a BMP"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        test::ScriptedDriver driver;
        driver.reads = {{Id3054 + "\n"}, {Id3054 + "\n"}, {c.picture}};
        Cli cli;
        cli.driver = &driver;
        EXPECT_EQ(cli.run({"capture", "--format", "BMP", "-o", "p.bmp"}), c.status) << cli.err.str();
        EXPECT_NE(cli.err.str().find(c.message), std::string::npos) << cli.err.str();
        EXPECT_EQ(fs::exists(dir.path() / "p.bmp"), c.status == ExitOk);
        EXPECT_EQ(fs::exists(dir.path() / "p.rejected.bmp"), c.status == ExitIncompletePicture);
    }
}

TEST(CliIdentify, IdentificationReadTimeoutIsAnIoErrorNotAnUnsupportedModel) {
    test::ScriptedDriver driver;
    driver.reads = {{Id3054 + "\n"}}; // the search's probe; the identification read then times out
    Cli cli;
    cli.driver = &driver;
    EXPECT_EQ(cli.run({"identify"}), ExitIo);
    EXPECT_NE(cli.err.str().find("Read cycle failed"), std::string::npos) << cli.err.str();
    EXPECT_EQ(cli.err.str().find("NOT supported"), std::string::npos);
    EXPECT_EQ(cli.out.str(), "");
}

// A bus that works but has no instrument, and a scan the driver fails: the terminal says more than the
// window's box, and nothing is ever sent to address 0, the board itself.
TEST(CliBus, EmptyOrFailingScanSaysWhatTheBoxLeavesOut) {
    struct Case {
        const char* name;
        std::vector<uint16_t> listeners;
        test::ScriptedDriver::Result scan;
        std::vector<std::string> args;
        std::vector<std::string> says;
    };
    const test::ScriptedDriver::Result ok;
    const std::string empty = "no instrument answered on GPIB board 0";
    const std::vector<Case> cases = {
        {"scan, board only", {0}, ok, {"scan"}, {empty}},
        {"scan, nothing reported", {}, ok, {"scan"}, {empty}},
        {"query without address", {0}, ok, {"query", "ID?"}, {empty}},
        {"query with address", {}, ok, {"query", "--address", "5", "ID?"}, {empty}},
        {"identify", {0}, ok, {"identify"}, {empty}},
        {"capture", {}, ok, {"capture"}, {empty}},
        {"no listeners", {0}, {gpib::ERR, gpib::EBUS, 0}, {"scan"}, {"No listeners found.", empty}},
        {"driver error with errno",
         {0, 1},
         {gpib::ERR, gpib::EDVR, 19},
         {"scan"},
         {"Initialization Error 0:", "bus scan on GPIB board 0 failed: the driver reports error 0 (EDVR): "
                                     "Operating system error. System error 19: No such device."}},
        {"driver error without errno",
         {0, 1},
         {gpib::ERR, gpib::ECAP, 0},
         {"identify"},
         {"error 11 (ECAP): No capability for operation."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScriptedDriver driver;
        driver.listeners = c.listeners;
        driver.findLstnResult = c.scan;
        Cli cli;
        cli.driver = &driver;
        EXPECT_EQ(cli.run(c.args), ExitScan) << cli.err.str();
        for (const auto& part : c.says)
            EXPECT_NE(cli.err.str().find(part), std::string::npos) << part << " missing in:\n"
                                                                   << cli.err.str();
        EXPECT_EQ(cli.out.str(), "");
        EXPECT_TRUE(driver.written.empty()) << "sent " << driver.written.front();
        for (const auto& call : driver.calls)
            EXPECT_EQ(call.rfind("ibdev", 0), std::string::npos) << call;
    }
}

// Each bus is named in the messages as its row in the table of buses names it: a USB scope or a GPIB
// controller is not "GPIB board 0". The driver behind each URI is scripted: an empty bus, then a
// failing scan.
TEST(CliBus, MessagesNameTheBusTheUriChose) {
    struct Case {
        const char* uri;
        std::string name;
        std::string hint;
    };
    const std::string gpibHint = "set to GPIB addresses from 1 to 30";
    const std::vector<Case> cases = {
        {"sim", "the simulated bus", gpibHint},
        {"gpib:3", "GPIB board 3", gpibHint},
        {"prologix:/dev/ttyUSB0", "the GPIB controller on /dev/ttyUSB0", gpibHint},
        {"prologix:lab-gpib:5025", "the GPIB controller at lab-gpib:5025", gpibHint},
        {"usbtmc", "the USBTMC devices", "USB device port"},
        {"usbtmc:/dev/usbtmc2", "the USBTMC device /dev/usbtmc2", "USB device port"},
        {"usbtmc:sim", "the simulated USBTMC devices", "USB device port"},
    };
    for (const Case& c : cases) {
        for (const bool scanFails : {false, true}) {
            SCOPED_TRACE(std::string(c.uri) + (scanFails ? ", scan fails" : ", empty bus"));
            Cli cli;
            std::string opened;
            const auto open = [&](const gpib::BusUri& uri, gpib::Clock&) {
                opened = uri.toString();
                auto driver = std::make_unique<test::ScriptedDriver>();
                driver->listeners = {0};
                if (scanFails) driver->findLstnResult = {gpib::ERR, gpib::EDVR, 19};
                gpib::BusOpenResult result;
                result.driver = std::move(driver);
                return result;
            };
            std::ostringstream out, err;
            CliContext ctx(out, err, cli.clock);
            ctx.environment = [](const std::string&) { return std::optional<std::string>(); };
            ctx.openBus = open;
            EXPECT_EQ(runCli({"--bus", c.uri, "scan"}, ctx), ExitScan) << err.str();
            std::string why;
            EXPECT_EQ(opened, gpib::parseBusUri(c.uri, why)->toString())
                << "the bus the option named is opened";
            const std::string said = err.str();
            const std::string expected = scanFails ? "the bus scan on " + c.name + " failed"
                                                   : "no instrument answered on " + c.name + ": ";
            EXPECT_NE(said.find(expected), std::string::npos) << said;
            if (!scanFails) {
                EXPECT_NE(said.find(c.hint), std::string::npos) << said;
            }
            if (std::string(c.uri).rfind("gpib", 0) != 0) {
                EXPECT_EQ(said.find("GPIB board"), std::string::npos) << said;
            }
        }
    }
}

// The help's list of exit statuses is written from the table in exitstatus.h: every status once, in
// order, with the wording and line breaks scripts and the manual page have always seen.
TEST(CliHelp, ExitStatusesComeFromTheirTable) {
    const std::string help = helpText();
    EXPECT_NE(
        help.find("\nExit statuses: 0 done, 1 usage, 2 bus or driver, 3 bus scan, 4 no matching instrument,\n"
                  "5 unsupported model, 6 GPIB I/O error, 7 format or ink saver not offered,\n"
                  "8 no whole picture (kept as NAME.rejected.EXT), 9 file or stdout write error,\n"
                  "10 no trigger within --trigger-timeout, 130 cancelled by SIGINT (Ctrl+C),\n"
                  "143 cancelled by SIGTERM.\n"),
        std::string::npos)
        << help;
    // Consecutive up to the trigger's status; then the cancelling signals' statuses.
    const std::vector<int> signals = {SignalStatusBase + 2, SignalStatusBase + 15};
    int expected = ExitOk;
    std::size_t signal = 0;
    for (const auto& m : ExitStatusMeanings) {
        if (expected > ExitNoTrigger) {
            ASSERT_LT(signal, signals.size()) << m.meaning;
            expected = signals[signal++];
        }
        EXPECT_EQ(m.status, expected++) << m.meaning;
    }
    EXPECT_EQ(signal, signals.size());
    EXPECT_EQ(ExitInterrupted, signals[0]);
    EXPECT_EQ(ExitTerminated, signals[1]);
}

// --- File names and numbering ---------------------------------------------------------------------

TEST(CliCapture, DefaultNamesCarryModelDateAndTimeWithoutColons) {
    struct Case {
        const char* scenario;
        std::vector<std::string> extra;
        std::vector<std::string> files;
    };
    const Case cases[] = {
        {"tds3054b.json", {}, {"TDS3054B_2026-12-07_153012.bmp"}},
        {"tds2024.json", {}, {"TDS2024_2026-12-07_153012.bmp"}},
        {"tds3054b.json", {"--format", "PCXCOLOR"}, {"TDS3054B_2026-12-07_153012.pcx"}},
        {"tds754c.json",
         {"--format", "TIFF", "--count", "2"},
         {"TDS754C_2026-12-07_153012_001.tif", "TDS754C_2026-12-07_153012_002.tif"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        ScratchDir dir;
        Cli cli;
        std::vector<std::string> args{"--bus", "sim:" + DataDir + c.scenario, "capture"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        ASSERT_EQ(cli.run(args), ExitOk) << cli.err.str();
        EXPECT_EQ(dir.files(), c.files);
        std::string listed;
        for (const auto& f : c.files)
            listed += f + "\n";
        EXPECT_EQ(cli.out.str(), listed);
    }
}

TEST(CliCapture, CountNumbersTheFilesAndWaitsBetweenCaptures) {
    ScratchDir dir;
    Cli cli(scopeWith(Payload::fromBytes(test::wholePng())));
    const auto start = cli.clock.now();
    ASSERT_EQ(cli.run({"capture", "--format", "PNG", "--count", "3", "--interval", "2.5", "-o", "run.png"}),
              ExitOk)
        << cli.err.str();
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"run_001.png", "run_002.png", "run_003.png"}));
    EXPECT_EQ(cli.scope().hardcopies(), 3);
    EXPECT_GE(cli.clock.now() - start, std::chrono::seconds(5));
    EXPECT_LT(cli.clock.now() - start, std::chrono::seconds(7));
}

// A repeat (--count above 1, or a name pattern) never replaces a file: taken names are skipped.
TEST(CliCapture, RepeatNamesNeverReplaceAFile) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> existing;
        std::vector<std::string> written; // in the order printed
        bool noPicture = false;           // the scope sends bytes that are no PNG: kept beside, status 8
    };
    const Case cases[] = {
        {"counter pattern",
         {"--count", "3", "-o", "shot-{n}.png"},
         {},
         {"shot-001.png", "shot-002.png", "shot-003.png"}},
        {"counter goes past taken names",
         {"--count", "2", "-o", "shot-{n}.png"},
         {"shot-001.png", "shot-003.png"},
         {"shot-002.png", "shot-004.png"}},
        {"implicit counter skips too",
         {"--count", "2", "-o", "run.png"},
         {"run_001.png"},
         {"run_002.png", "run_003.png"}},
        {"time pattern, same second",
         {"--count", "2", "-o", "s-{time}.png"},
         {},
         {"s-2026-12-07T15-30-12.png", "s-2026-12-07T15-30-12_002.png"}},
        {"both patterns", {"-o", "{time}_{n}.png"}, {}, {"2026-12-07T15-30-12_001.png"}},
        {"a single pattern capture does not replace", {"-o", "s{n}.png"}, {"s001.png"}, {"s002.png"}},
        {"no picture: kept beside the names, which go on counting",
         {"--count", "2", "-o", "shot-{n}.png"},
         {"shot-001.png", "shot-002.rejected.png"},
         {"shot-003.rejected.png", "shot-004.rejected.png"},
         true},
        {"no picture under a time pattern",
         {"-o", "s-{time}.png"},
         {"s-2026-12-07T15-30-12.png"},
         {"s-2026-12-07T15-30-12_002.rejected.png"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        for (const auto& f : c.existing)
            std::ofstream(dir.path() / f, std::ios::binary) << "old " << f;
        const std::string bytes = c.noPicture ? std::string("picture") : test::wholePng();
        Cli cli(scopeWith(Payload::fromBytes(bytes)));
        std::vector<std::string> args{"capture", "--format", "PNG"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ASSERT_EQ(cli.run(args), c.noPicture ? ExitIncompletePicture : ExitOk) << cli.err.str();
        std::string listed;
        for (const auto& f : c.written) {
            if (!c.noPicture) listed += f + "\n"; // stdout names good files only
            EXPECT_TRUE(readFile(dir.path() / f) == bytes) << f;
            if (c.noPicture) {
                EXPECT_NE(cli.err.str().find("(kept in " + f + ")"), std::string::npos) << cli.err.str();
            }
        }
        EXPECT_EQ(cli.out.str(), listed);
        for (const auto& f : c.existing)
            EXPECT_EQ(readFile(dir.path() / f), "old " + f);
    }
}

TEST(CliCapture, ThreeRenderedPngsFromACounterPattern) {
    ScratchDir dir;
    Cli cli(Scenario::defaultScenario());
    ASSERT_EQ(cli.run({"capture", "--count", "3", "-o", "shot-{n}.png"}), ExitOk) << cli.err.str();
    for (const char* f : {"shot-001.png", "shot-002.png", "shot-003.png"})
        EXPECT_EQ(readFile(dir.path() / f), *cli.scope().picture()) << f;
    const auto& received = cli.scope().received();
    EXPECT_EQ(std::count(received.begin(), received.end(), "HARDCOPY:FORMAT PNG"), 3);
}

// --- Capture on trigger, and cancelling by signal --------------------------------------------------

Scenario triggeredScope(std::optional<double> after) {
    Scenario s = scopeWith(Payload::fromBytes(test::wholePng()));
    s.instruments[0].triggerAfter = after;
    return s;
}

TEST(CliCapture, OnTriggerArmsWaitsCapturesAndRestores) {
    struct Case {
        const char* name;
        std::optional<double> triggerAfter;
        std::vector<std::string> args;
        int status;
        std::vector<std::string> files;
        int triggers;
        double seconds; // virtual time the run took, at least
    };
    const Case cases[] = {
        {"trigger after 2 s", 2.0, {"-o", "t.png"}, ExitOk, {"t.png"}, 1, 2.0},
        {"three triggered screens",
         1.0,
         {"--count", "3", "-o", "t{n}.png"},
         ExitOk,
         {"t001.png", "t002.png", "t003.png"},
         3,
         3.0},
        {"trigger in time", 4.0, {"--trigger-timeout", "5", "-o", "t.png"}, ExitOk, {"t.png"}, 1, 4.0},
        {"no trigger", std::nullopt, {"--trigger-timeout", "5", "-o", "t.png"}, ExitNoTrigger, {}, 0, 5.0},
        {"trigger too late", 9.0, {"--trigger-timeout", "5", "-o", "t.png"}, ExitNoTrigger, {}, 0, 5.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        Cli cli(triggeredScope(c.triggerAfter));
        std::vector<std::string> args{"capture", "--format", "PNG", "--on-trigger"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto start = cli.clock.now();
        EXPECT_EQ(cli.run(args), c.status) << cli.err.str();
        EXPECT_EQ(dir.files(), c.files);
        const auto& acq = cli.scope().acquisition();
        EXPECT_EQ(acq.triggers, c.triggers);
        EXPECT_TRUE(acq.running && !acq.sequence) << "the power-on acquisition settings are back";
        EXPECT_GE(cli.clock.now() - start, std::chrono::duration<double>(c.seconds));
        EXPECT_LT(cli.clock.now() - start, std::chrono::duration<double>(c.seconds + 2));
        const auto& got = cli.scope().received();
        const std::vector<std::string> tail{"ACQUIRE:STOPAFTER RUNSTOP", "ACQUIRE:STATE 1"};
        ASSERT_GE(got.size(), 2u);
        EXPECT_EQ(std::vector<std::string>(got.end() - 2, got.end()), tail);
        EXPECT_EQ(std::count(got.begin(), got.end(), "ACQUIRE:STATE RUN"), std::max(c.triggers, 1));
        if (c.status == ExitNoTrigger) {
            EXPECT_NE(cli.err.str().find("no trigger came within 5 s"), std::string::npos) << cli.err.str();
        }
        // Polled gently: a few times a second.
        const auto polls = std::count(got.begin(), got.end(), "ACQUIRE:STATE?");
        EXPECT_LE(polls, static_cast<long>(c.seconds * 4 + 2 + c.triggers));
    }
}

// SIGINT or SIGTERM during a capture: nothing written or replaced, no temporary left, the scope's
// output cleared, and the next run captures at once and exactly.
TEST(CliCapture, SignalCancelsAndTheNextRunIsExact) {
    struct Case {
        const char* name;
        int signal;
        std::vector<std::string> args;
        std::string after; // the message after which reads count
        int reads;         // the read during which the signal comes
        std::optional<double> triggerAfter = 0.0;
        bool refusesWhileCancelled = false;
    };
    const Case cases[] = {
        {"SIGINT mid-picture", SIGINT, {"-o", "keep.bmp"}, "HARDCOPY START", 3},
        {"SIGTERM mid-picture", SIGTERM, {"-o", "keep.bmp"}, "HARDCOPY START", 2},
        {"SIGINT while the scope is asked who it is", SIGINT, {"-o", "keep.bmp"}, "ID?", 1},
        {"SIGINT in a repeat's first capture",
         SIGINT,
         {"--count", "3", "--interval", "60", "-o", "r.bmp"},
         "HARDCOPY START",
         40},
        {"SIGINT waiting for the trigger",
         SIGINT,
         {"--on-trigger", "-o", "keep.bmp"},
         "ACQUIRE:STATE RUN",
         3,
         std::nullopt},
        {"SIGTERM waiting for the trigger, on a bus that refuses every call after a cancel",
         SIGTERM,
         {"--on-trigger", "-o", "keep.bmp"},
         "ACQUIRE:STATE RUN",
         3,
         std::nullopt,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        { std::ofstream(dir.path() / "keep.bmp", std::ios::binary) << "old picture"; }
        Scenario s = Scenario::defaultScenario();
        s.instruments[0].triggerAfter = c.triggerAfter;
        Cli cli(std::move(s));
        test::InterposedDriver driver(*cli.bus);
        driver.refusesWhileCancelled = c.refusesWhileCancelled;
        int reads = -1;
        driver.before = [&](const std::string& call) {
            if (call == c.after) reads = 0;
            if (call == "ibrd" && reads >= 0 && ++reads == c.reads) cancelRun(c.signal);
        };
        cli.driver = &driver;
        std::vector<std::string> args{"capture", "--format", "BMP"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(cli.run(args), SignalStatusBase + c.signal) << cli.err.str();
        clearCancel();
        EXPECT_NE(cli.err.str().find("cancelled"), std::string::npos) << cli.err.str();
        EXPECT_EQ(cli.err.str().find("no instrument answered"), std::string::npos) << cli.err.str();
        EXPECT_EQ(readFile(dir.path() / "keep.bmp"), "old picture");
        const std::vector<std::string> files = dir.files();
        EXPECT_LE(files.size(), 2u) << "no temporary file";
        EXPECT_FALSE(cli.scope().pending().active()) << "the device clear dropped the rest";
        EXPECT_EQ(driver.cancels, 1);
        EXPECT_TRUE(cli.scope().acquisition().running && !cli.scope().acquisition().sequence);

        // The same bus again: the next capture is whole and exact.
        cli.bus->clearCancel();
        driver.before = {};
        cli.out.str("");
        ASSERT_EQ(cli.run({"capture", "--format", "BMP", "-o", "next.bmp"}), ExitOk) << cli.err.str();
        EXPECT_EQ(readFile(dir.path() / "next.bmp"), *cli.scope().picture());
    }
}

TEST(CliNames, FileNamePartsAndNumbers) {
    const std::pair<std::string, std::string> parts[] = {
        {"TDS 3054B", "TDS3054B"},
        {"TDS 7/../x:y", "TDS7_.._x_y"},
        {"TDS\t210*", "TDS210_"},
        {"..", "TDS.."},
    };
    for (const auto& [model, part] : parts)
        EXPECT_EQ(fileNamePart(model), part) << model;

    const std::tuple<std::string, int, std::string> numbered[] = {
        {"shot.bmp", 1, "shot_001.bmp"}, {"out.d/shot", 2, "out.d/shot_002"},
        {"dir/.bmp", 3, "dir/.bmp_003"}, {"a.b.tif", 12, "a.b_012.tif"},
        {"x", 1000, "x_1000"},           {"C:\\pics\\s.pcx", 4, "C:\\pics\\s_004.pcx"},
    // Where the name starts is the platform's (platform/paths.h), as for the extension's format.
#ifdef _WIN32
        {"a.b\\c", 2, "a.b\\c_002"},     {"D:.png", 1, "D:.png_001"},
#else
        {"a.b\\c", 2, "a_002.b\\c"},     {"D:.png", 1, "D:_001.png"},
#endif
    };
    for (const auto& [path, n, expected] : numbered)
        EXPECT_EQ(numberedPath(path, n), expected) << path;

    std::tm time{};
    time.tm_year = 2026 - 1900;
    time.tm_mon = 11;
    time.tm_mday = 8;
    time.tm_hour = 10;
    time.tm_min = 15;
    time.tm_sec = 30;
    const std::tuple<std::string, int, std::string> patterns[] = {
        {"shot-{n}.png", 7, "shot-007.png"},
        {"{time}.tif", 1, "2026-12-08T10-15-30.tif"},
        {"d/{n}-{n}-{time}", 1234, "d/1234-1234-2026-12-08T10-15-30"},
        {"{N}{ n}{time", 1, "{N}{ n}{time"},
    };
    for (const auto& [pattern, n, expected] : patterns) {
        EXPECT_EQ(expandPattern(pattern, n, time), expected) << pattern;
        EXPECT_EQ(hasNamePattern(pattern), expected != pattern) << pattern;
    }
}

// --- scan, query, identify ------------------------------------------------------------------------

TEST(CliListing, OutputLines) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const std::string multi = "sim:" + DataDir + "multi.json";
    const Case cases[] = {
        {{"--bus", multi, "scan"},
         "2\tHEWLETT-PACKARD,34401A,0,11-5-2\n4\t\n7\tID TEK/TDS 754C,CF:91.1CT,FV:v6.4e\n"
         "12\tHEWLETT-PACKARD,E3631A,0,2.1-5.0-1.0\n"},
        {{"--bus", multi, "query", "ID?"}, "HEWLETT-PACKARD,34401A,0,11-5-2\n"},
        {{"--bus", multi, "query", "--address", "7", "ID?"}, "ID TEK/TDS 754C,CF:91.1CT,FV:v6.4e\n"},
        {{"--bus", multi, "identify"},
         "Model: TDS 754C\nAddress: 7\nCapabilities: 1110110\nFormats: BMP BMPCOLOR TIFF PCX PCXCOLOR\n"
         "Ink saver: no\n"},
        {{"--bus", "sim", "query", "ID?"}, Id3054 + "\n"},
        {{"--bus", "sim:" + DataDir + "tds2024.json", "identify", "--expect", "tds 2024"},
         "Model: TDS 2024\nAddress: 1\nCapabilities: 1010101\nFormats: BMP TIFF PCX\nInk saver: yes\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        Cli cli;
        EXPECT_EQ(cli.run(c.args), ExitOk) << cli.err.str();
        EXPECT_EQ(cli.out.str(), c.out);
    }
}

// --- Terminal desktop and progress ----------------------------------------------------------------

TEST(TerminalDesktop, BoxesBecomeReadableLinesAndStopRatherThanGoOn) {
    struct Case {
        std::string prompt;
        int flags;
        std::string title;
        std::string text;
        MsgAnswer answer;
    };
    const Case cases[] = {
        {"Read cycle failed\nOperation aborted.", MbExclamation | MbOk, "I/O Error",
         "I/O Error: Read cycle failed\n  Operation aborted.\n", MsgAnswer::Ok},
        {"No listener on write function.\nSelect OK to continue or Cancel to terminate program.",
         MbExclamation | MbOkCancel, "GPIB ERROR # 2",
         "GPIB ERROR # 2: No listener on write function.\n  Select OK to continue or Cancel to terminate "
         "program.\n",
         MsgAnswer::Cancel},
        {"Open it?", MbYesNo, "Show", "Show: Open it?\n", MsgAnswer::No},
        {"A\n\nB", MbCritical, "Title" + std::string(40, ' '), "Title: A\n\n  B\n", MsgAnswer::Ok},
    };
    for (const Case& c : cases) {
        std::ostringstream err;
        TerminalDesktop desktop(err);
        EXPECT_EQ(desktop.messageBox(c.prompt, c.flags, c.title), c.answer);
        EXPECT_EQ(err.str(), c.text);
        EXPECT_EQ(desktop.boxesShown(), 1);
    }

    std::ostringstream err;
    TerminalDesktop desktop(err);
    desktop.writeSetting("Last FileName", "x.bmp");
    EXPECT_EQ(desktop.readSetting("Last FileName"), "");
    EXPECT_THROW(desktop.endProgram(FatalReason::IdNotFound), ProgramEnd);
    EXPECT_EQ(err.str(), "");
}

TEST(ProgressBar, Lines) {
    const std::tuple<std::size_t, std::optional<std::size_t>, std::string> cases[] = {
        {0, 308278, "[------------------------------]   0%  0.0 of 301.1 KiB"},
        {154139, 308278, "[###############---------------]  50%  150.5 of 301.1 KiB"},
        {400000, 308278, "[##############################] 100%  390.6 of 301.1 KiB"},
        {1024, std::nullopt, "1.0 KiB received"},
    };
    for (const auto& [received, total, line] : cases)
        EXPECT_EQ(progressLine(received, total), line);
}

TEST(ProgressBar, DrawnOnStderrWhenATerminalAndNeverOnStdout) {
    Scenario s = Scenario::defaultScenario(); // 300 kB/s: the virtual clock moves during the read
    Cli cli(std::move(s));
    cli.progress = true;
    ASSERT_EQ(cli.run({"capture", "-o", "-"}), ExitOk);
    EXPECT_EQ(cli.out.str(), *cli.scope().picture());
    const std::string err = cli.err.str();
    EXPECT_NE(err.find("\r[#"), std::string::npos);
    EXPECT_NE(err.find("100%  301.1 of 301.1 KiB\n"), std::string::npos) << err;
    // Redrawn a few times a second, not per chunk.
    EXPECT_LT(std::count(err.begin(), err.end(), '\r'), 30);
}

#ifdef _WIN32
// A model name with Latin-1 bytes reaches the messages as UTF-8; a console shows it in its code page.
TEST(ConsoleText, MessagesInTheConsolesCodePage) {
    const struct {
        unsigned codePage;
        std::string utf8;
        std::string shown;
    } cases[] = {
        {850,
         "TDS 3054B at 20 \xC2\xB0"
         "C",
         "TDS 3054B at 20 \xF8"
         "C"},
        {437, "\xC3\xA9t\xC3\xA9", "\x82t\x82"},
        {1252, "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", "\xE9t\xE9 \x80"},
        {850, "arrow \xE2\x86\x92 here", "arrow ? here"}, // not in the code page
        {437, "\xC3\xA5", "\x86"},                        // not a look-alike "a"
        {1252, "cut \xC3", "cut ?"},                      // an invalid byte
        {65001,
         "\xC2\xB0"
         "C",
         "\xC2\xB0"
         "C"},
        {850, "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(utf8ToCodePage(c.utf8, c.codePage), c.shown) << c.codePage << " " << c.utf8;
}

TEST(ConsoleText, CharactersCutBetweenWritesArriveWhole) {
    std::ostringstream sink;
    {
        CodePageBuffer buffer(sink.rdbuf(), 850);
        std::ostream out(&buffer);
        out << "a \xC2";
        EXPECT_EQ(sink.str(), "a ") << "the first byte of the degree sign waits for the second";
        out << "\xB0"
               "C\n";
        EXPECT_EQ(sink.str(), "a \xF8"
                              "C\n");
        out << "end \xE2\x86";
        EXPECT_EQ(sink.str(), "a \xF8"
                              "C\nend ");
    }
    EXPECT_EQ(sink.str().rfind("a \xF8"
                               "C\nend ?",
                               0),
              0u)
        << "an unfinished character at the end: " << sink.str();
}
#endif

} // namespace
} // namespace vellumix::cli

// vellumix-sim-adapter over real transports: TCP on 127.0.0.1 and a pseudo-terminal, both
// flavours, every genuine hard copy byte for byte; the messages for what can go wrong on opening.
#include "gpib/backends/prologix/prologixbus.h"
#include "gpib/backends/schemes.h"
#include "gpib/exchange.h"
#include "gpib/status.h"
#include "tests/adapter/adapterrun.h"
#include "tests/support/loopback.h"
#include "tools/sim-adapter/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

using namespace vellumix;
using namespace vellumix::gpib;
namespace fs = std::filesystem;

namespace {

const char* const kRealFiles[] = {
    "tds1000-cf_F0000TEK.BMP", "tds1001b_F0003TEK.BMP",  "tds1002b_bmp_0.bmp",     "tds1002b_bmp_1.bmp",
    "tds1012b_TEK0002.BMP",    "tds2000-4ch_tiff_0.tif", "tds2000-4ch_tiff_1.tif", "tds2000-4ch_tiff_5.tif",
    "tds2002b_F0000TEK.BMP",   "tds2004b_bmp_4.bmp",     "tds2014b_bmp_13.bmp",    "tds2014b_bmp_5.bmp",
    "tds320_tiff_0.tiff",      "tds420a_bmp_mono_0.bmp", "tds420a_pcx_0.pcx",      "tds420a_tiff_0.tiff",
    "tds460a_sine.bmp",        "tds460a_sine.tif"};

struct AdapterProcess : simadapter::AdapterProcess {
    explicit AdapterProcess(const std::vector<std::string>& args)
        : simadapter::AdapterProcess(VELLUMIX_SIM_ADAPTER, args) {}
};

BusOpenResult open(const std::string& uriText, Clock& clock) {
    std::string why;
    const auto uri = parseBusUri(uriText, why);
    if (!uri) return {nullptr, {}, why, {}, {}};
    return openBus(*uri, clock);
}

// One scope per real file, at addresses 1 to 18.
std::string realFilesScenario(const fs::path& dir) {
    std::string json = "{\"instruments\": [";
    for (std::size_t i = 0; i < std::size(kRealFiles); ++i) {
        const fs::path file = test::realHardCopiesDir() / kRealFiles[i];
        json += (i ? ",\n" : "\n") + std::string("{\"address\": ") + std::to_string(i + 1) +
                ", \"id\": \"ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41\", \"hardcopy\": {\"file\": \"" +
                file.string() + "\"}}";
    }
    json += "]}";
    const fs::path path = dir / "real.json";
    test::writeFile(path, json);
    return path.string();
}

} // namespace

TEST(AdapterProgram, EveryRealHardCopyOverBothTransportsAndFlavours) {
    VELLUMIX_NEED_REAL_HARDCOPIES();
    test::ScratchDir dir("tool-real");
    const std::string scenario = realFilesScenario(dir.path());
    for (const char* transport : {"--pty", "--tcp"}) {
        for (const char* fl : {"prologix", "ar488"}) {
            SCOPED_TRACE(std::string(transport) + " " + fl);
            std::vector<std::string> args = {transport};
            if (std::string(transport) == "--tcp") args.push_back("0");
            for (const char* a : {"--flavour", fl, "--scenario", scenario.c_str(), "--rate", "0"})
                args.push_back(a);
            AdapterProcess adapter(args);
            ASSERT_FALSE(adapter.uri().empty());
            MonotonicClock clock;
            BusOpenResult bus = open(adapter.uri(), clock);
            ASSERT_TRUE(bus.driver) << bus.error;
            EXPECT_NE(bus.description.find(std::string(fl) == "ar488" ? "AR488" : "Prologix"),
                      std::string::npos);
            test::FakeDesktop desktop;
            InstrumentLink link(*bus.driver, desktop, clock);
            for (std::size_t i = 0; i < std::size(kRealFiles); ++i) {
                int16_t ud = 0;
                link.ibdev(0, static_cast<int16_t>(i + 1), 0, T10s, 1, 0, ud);
                // Write and read without QueryDevice's 0.1 s pause: 72 pictures should not cost 7 s.
                WriteCommand(link, ud, "HARDCOPY START");
                EXPECT_TRUE(ReadResponse(link, ud, ReadMode::Raw) == test::realHardCopy(kRealFiles[i]))
                    << kRealFiles[i];
            }
            EXPECT_TRUE(desktop.boxes.empty());
        }
    }
}

TEST(AdapterProgram, CommandLineCaptureWritesTheScopesBytes) {
    VELLUMIX_NEED_REAL_HARDCOPIES();
    test::ScratchDir dir("tool-cli");
    const fs::path file = test::realHardCopiesDir() / "tds420a_bmp_mono_0.bmp";
    test::writeFile(dir / "one.json",
                    "{\"instruments\": [{\"address\": 1, \"id\": \"ID TEK/TDS 3054B,CF:91.1CT,"
                    "FV:v3.41\", \"hardcopy\": {\"file\": \"" +
                        file.string() + "\"}}]}");
    AdapterProcess adapter({"--tcp", "0", "--scenario", (dir / "one.json").string(), "--rate", "0"});
    ASSERT_FALSE(adapter.uri().empty());
    const fs::path shot = dir / "shot.bmp";
    const std::string command = std::string(VELLUMIX_CLI) + " --bus " + adapter.uri() +
                                " capture --format BMP -o " + shot.string() + " 2>/dev/null >/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_TRUE(test::readFile(shot) == test::readFile(file));
}

TEST(AdapterProgram, OpeningFailuresSayWhatAndWhere) {
    // A port nobody listens on: bind one, note it, close it.
    int freePort = 0;
    ::close(test::bindLoopback(freePort, false));

    test::ScratchDir dir("tool-open");
    test::writeFile(dir / "plain-file", "not a tty");
    // A pseudo-terminal nobody answers on: a serial device that is not a controller.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ::grantpt(master);
    ::unlockpt(master);
    const std::string silentPty = ::ptsname(master);

    const struct {
        std::string uri;
        std::vector<std::string> mentions;
    } cases[] = {
        {"prologix:127.0.0.1:" + std::to_string(freePort),
         {"127.0.0.1 port " + std::to_string(freePort), "refused"}},
        {"prologix:/dev/ttyVellumixNone", {"/dev/ttyVellumixNone", "does not exist"}},
        {"prologix:" + (dir / "plain-file").string(), {"plain-file", "not a serial device"}},
        {"prologix:" + silentPty, {silentPty, "no answer to ++ver", "Prologix or AR488"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uri);
        MonotonicClock clock;
        BusOpenResult bus = open(c.uri, clock);
        EXPECT_FALSE(bus.driver);
        EXPECT_EQ(bus.title, AdapterErrorTitle);
        for (const std::string& m : c.mentions)
            EXPECT_NE(bus.error.find(m), std::string::npos) << bus.error;
    }
    ::close(master);

    if (::geteuid() != 0) {
        // Access refused: the message names the group that grants it.
        const fs::path locked = dir / "locked";
        test::writeFile(locked, "");
        fs::permissions(locked, fs::perms::none);
        MonotonicClock clock;
        BusOpenResult bus = open("prologix:" + locked.string(), clock);
        EXPECT_NE(bus.error.find("permission denied"), std::string::npos) << bus.error;
        EXPECT_NE(bus.error.find("usermod -aG"), std::string::npos) << bus.error;
    }
}

TEST(AdapterProgram, FirmwareChoiceShowsInWhatItAnswers) {
    const std::string v050 = "AR488 GPIB controller, ver. 0.50.16, 02/06/2021\r\n";
    const std::string v053 = "AR488 GPIB controller, ver. 0.53.04, 13/04/2025\r\n";
    const std::string ethernet = "Prologix GPIB-ETHERNET Controller version 01.06.06.00\r\n";
    const struct {
        std::vector<std::string> args;
        std::string reply; // to "++ver real", "++fndl 1-3", "++ver" sent at once
    } rows[] = {
        {{"--firmware", "ar488-0.50"}, v050 + "Unrecognized command\r\n" + v050},
        {{"--firmware", "ar488-0.53"}, v053 + "1\r\n" + v053},
        {{"--flavour", "ar488"}, v053 + "1\r\n" + v053},
        // 0.47 takes the three lines, all waiting, as one: "ver real++fndl 1-3++ver".
        {{"--firmware", "ar488-0.47"}, "AR488 GPIB controller, ver. 0.47.60, 05/12/2019\r\n"},
        {{"--firmware", "immediate"}, ethernet + ethernet},
        {{"--firmware", "ar488-9"}, ""}, // refused: the program does not start
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[1]);
        std::vector<std::string> args = {"--tcp", "0"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        AdapterProcess adapter(args);
        if (row.reply.empty()) {
            EXPECT_EQ(adapter.port(), 0);
            continue;
        }
        ASSERT_NE(adapter.port(), 0);
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval quiet{0, 500000}; // the answers are complete once the line is quiet this long
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(adapter.port()));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        const std::string ask = "++ver real\n++fndl 1-3\n++ver\n";
        ASSERT_EQ(::write(s, ask.data(), ask.size()), static_cast<ssize_t>(ask.size()));
        std::string got;
        char buffer[512];
        for (ssize_t n; (n = ::read(s, buffer, sizeof buffer)) > 0;)
            got.append(buffer, static_cast<std::size_t>(n));
        ::close(s);
        EXPECT_EQ(got, row.reply);
    }
}

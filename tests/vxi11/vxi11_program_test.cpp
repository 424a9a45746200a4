// vellumix-vxi11-sim over the machine's sockets on 127.0.0.1: the command-line tool's capture by
// every way of naming the instrument, every genuine hard copy byte for byte, a cancel from another
// thread, and a portmapper that answers on UDP only.
#include "capture/hardcopy.h"
#include "gpib/backends/schemes.h"
#include "gpib/backends/vxi11/client.h"
#include "gpib/backends/vxi11/vxi11bus.h"
#include "gpib/status.h"
#include "tests/support/fakes.h"
#include "tests/support/files.h"
#include "tests/support/loopback.h"
#include "tools/vxi11-sim/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace vellumix;
using namespace vellumix::gpib;
namespace fs = std::filesystem;

namespace {

struct Sim : vxi11sim::SimProcess {
    explicit Sim(const std::vector<std::string>& args) : vxi11sim::SimProcess(VELLUMIX_VXI11_SIM, args) {}
};

struct TempDir {
    fs::path path;
    explicit TempDir(const std::string& tag)
        : path(fs::temp_directory_path() / ("vellumix-vxi11-prog-" + tag)) {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
};

// One TDS 3054B per file, at addresses 1, 2, ...
std::string scenario(const fs::path& dir, const std::vector<std::string>& files) {
    std::string json = "{\"instruments\": [";
    for (std::size_t i = 0; i < files.size(); ++i)
        json += (i ? ",\n" : "\n") + std::string("{\"address\": ") + std::to_string(i + 1) +
                ", \"id\": \"ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41\", \"hardcopy\": {\"file\": \"" + files[i] +
                "\"}}";
    json += "]}";
    const fs::path path = dir / "scenario.json";
    test::writeFile(path, json);
    return path.string();
}

BusOpenResult open(const std::string& text, Clock& clock) {
    std::string why;
    const auto uri = parseBusUri(text, why);
    if (!uri) return {nullptr, {}, why, {}, {}};
    return openBus(*uri, clock);
}

TEST(Vxi11Program, TheCommandLineCaptureWritesTheExactBytesByEveryName) {
    VELLUMIX_NEED_REAL_HARDCOPIES();
    TempDir dir("cli");
    const std::string file = (test::realHardCopiesDir() / "tds1000-cf_F0000TEK.BMP").string();
    const std::string picture = test::readFile(file);
    const std::string json = scenario(dir.path, {file});
    Sim inst({"--scenario", json, "--rate", "0"});
    Sim gateway({"--scenario", json, "--rate", "0", "--gateway", "--chunk", "4096"});
    ASSERT_NE(inst.core(), 0);
    ASSERT_NE(gateway.core(), 0);
    struct Case {
        std::string bus;
        int portmapper; // 0: none given
    };
    const std::vector<Case> cases = {
        {inst.uri(), 0},
        {"vxi11:127.0.0.1", inst.portmapper()},
        {"TCPIP0::127.0.0.1::INSTR", inst.portmapper()},
        {gateway.uri("gpib0,1"), 0},
        {"TCPIP::127.0.0.1::gpib0,1::INSTR", gateway.portmapper()},
        {"vxi11:127.0.0.1/gpib0", gateway.portmapper()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bus);
        const fs::path shot = dir.path / "shot.bmp";
        fs::remove(shot);
        std::string command = "VELLUMIX_BUS= ";
        if (c.portmapper)
            command += std::string(vxi11::PortmapperVariable) + "=" + std::to_string(c.portmapper) + " ";
        command += std::string(VELLUMIX_CLI) + " --bus '" + c.bus + "' capture --format BMPCOLOR -o " +
                   shot.string() + " 2>" + (dir.path / "err.txt").string();
        const int status = std::system(command.c_str());
        EXPECT_EQ(WEXITSTATUS(status), 0) << test::readFile(dir.path / "err.txt");
        EXPECT_TRUE(test::readFile(shot) == picture) << "not the exact bytes";
    }
}

TEST(Vxi11Program, EveryGenuineHardCopyThroughAGatewayByteForByte) {
    VELLUMIX_NEED_REAL_HARDCOPIES();
    TempDir dir("real");
    std::vector<std::string> files;
    for (const std::string& name : test::realHardCopyNames())
        files.push_back((test::realHardCopiesDir() / name).string());
    ASSERT_EQ(files.size(), 18u);
    Sim gateway({"--scenario", scenario(dir.path, files), "--rate", "0", "--gateway", "--chunk", "1000",
                 "--padding", "3", "--fragment", "1500", "--max-recv", "0"});
    MonotonicClock clock;
    BusOpenResult bus = open(gateway.uri("gpib0"), clock);
    ASSERT_TRUE(bus.driver) << bus.error;
    test::FakeDesktop desktop;
    InstrumentLink link(*bus.driver, desktop, clock);
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i]);
        int16_t ud = 0;
        link.ibdev(0, static_cast<int16_t>(i + 1), 0, T10s, 1, 0, ud);
        EXPECT_TRUE(capture::requestHardCopy(link, ud, "BMP", false) == test::readFile(files[i]));
    }
    EXPECT_TRUE(desktop.boxes.empty());
}

TEST(Vxi11Program, ACancelFromAnotherThreadEndsAReadAtOnce) {
    Sim inst({"--delay", "30"});
    MonotonicClock clock;
    BusOpenResult bus = open(inst.uri(), clock);
    ASSERT_TRUE(bus.driver) << bus.error;
    test::FakeDesktop desktop;
    InstrumentLink link(*bus.driver, desktop, clock);
    int16_t ud = 0;
    link.ibdev(0, 1, 0, 15 /* T100s */, 1, 0, ud);
    link.ibwrt(ud, "ID?");
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        link.requestCancel();
    });
    const auto start = std::chrono::steady_clock::now();
    std::string buf(100, '\0');
    link.ibrd(ud, buf);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    canceller.join();
    // Far below the 30 s the instrument keeps silent, with room for a loaded machine: the cancel
    // ended the wait, the wait did not run out.
    EXPECT_LT(took, 10.0);
    EXPECT_EQ(link.iberr, EABO);
    EXPECT_NE(link.failureDetail().find("cancelled"), std::string::npos) << link.failureDetail();
}

TEST(Vxi11Program, PortmappersOnOneProtocolAndHostsThatRefuse) {
    for (const char* only : {"--udp-only", "--tcp-only"}) {
        SCOPED_TRACE(only);
        Sim inst({only});
        ::setenv(vxi11::PortmapperVariable, std::to_string(inst.portmapper()).c_str(), 1);
        MonotonicClock clock;
        BusOpenResult bus = open("vxi11:127.0.0.1", clock);
        ::unsetenv(vxi11::PortmapperVariable);
        ASSERT_TRUE(bus.driver) << bus.error;
        EXPECT_NE(bus.description.find(":" + std::to_string(inst.core())), std::string::npos)
            << bus.description;
    }
    // A port nobody listens on.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);
    ::close(fd);
    MonotonicClock clock;
    const BusOpenResult refused = open("vxi11:127.0.0.1:" + std::to_string(port) + "/inst0", clock);
    EXPECT_FALSE(refused.driver);
    EXPECT_NE(refused.error.find("127.0.0.1 refuses the VXI-11 connection on port " + std::to_string(port)),
              std::string::npos)
        << refused.error;
    ::setenv(vxi11::PortmapperVariable, std::to_string(port).c_str(), 1);
    const BusOpenResult none = open("vxi11:127.0.0.1", clock);
    ::unsetenv(vxi11::PortmapperVariable);
    EXPECT_NE(none.error.find("No portmapper answers at 127.0.0.1 (port " + std::to_string(port)),
              std::string::npos)
        << none.error;
}

TEST(Vxi11Program, TheCommandLineNamesTheDevicesErrorWhereIdentificationFails) {
    struct Case {
        std::vector<std::string> sim;
        const char* command;
        int exit;
        const char* words;          // on stderr
        const char* link = nullptr; // the link name, where not the instrument's default
    };
    const std::string mixedBench = std::string(VELLUMIX_SOURCE_DIR) + "/tests/data/multi.json";
    const std::vector<Case> cases = {
        {{"--locked"},
         "scan",
         6,
         "address 1 did not answer ID?: The device inst0 at 127.0.0.1: another client"},
        {{"--overlong", "3"}, "scan", 6, "were asked for; the reply was refused"},
        {{"--locked"},
         "identify",
         4,
         "(address 1) The device inst0 at 127.0.0.1: another client holds its lock"},
        {{"--overlong", "3"}, "capture -o -", 4, "(address 1) The device inst0 at 127.0.0.1 sent"},
        {{"--gateway", "--device-error", "17"}, "identify", 4, "an I/O error on the gateway's GPIB bus"},
        // A listener that does not answer ID? (address 4 of a mixed bench) is no failure of the scan.
        {{"--gateway", "--scenario", mixedBench}, "scan", 0, "", "gpib0"},
    };
    TempDir dir("ident");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command + std::string(" ") + c.sim.front());
        Sim inst(c.sim);
        ASSERT_NE(inst.core(), 0);
        const std::string bus = c.link                         ? inst.uri(c.link)
                                : c.sim.front() == "--gateway" ? inst.uri("gpib0,1")
                                                               : inst.uri();
        const std::string command = "VELLUMIX_BUS= " + std::string(VELLUMIX_CLI) + " --bus '" + bus + "' " +
                                    c.command + " >/dev/null 2>" + (dir.path / "err.txt").string();
        const int status = std::system(command.c_str());
        const std::string err = test::readFile(dir.path / "err.txt");
        EXPECT_EQ(WEXITSTATUS(status), c.exit) << err;
        EXPECT_NE(err.find(c.words), std::string::npos) << err;
        if (!*c.words) {
            EXPECT_EQ(err, "");
        }
    }
}

TEST(Vxi11Program, TheSocketsEndASendAtItsDeadlineOrAnInterrupt) {
    // A listener that accepts nothing and reads nothing: the kernel's buffers fill, then the send waits.
    int port = 0;
    const int listener = test::bindLoopback(port);
    ASSERT_GE(listener, 0);
    const std::string bytes(64u << 20, 'x');
    using Sent = vxi11::Stream::Sent;
    struct Case {
        const char* what;
        std::chrono::milliseconds deadline;
        bool interrupt;
        Sent sent;
    };
    for (const Case& c :
         std::vector<Case>{{"deadline", std::chrono::milliseconds(300), false, Sent::Timeout},
                           {"interrupt", std::chrono::seconds(60), true, Sent::Interrupted}}) {
        SCOPED_TRACE(c.what);
        MonotonicClock clock;
        auto network = vxi11::createSocketNetwork(clock);
        vxi11::NetError error;
        auto stream = network->connect("127.0.0.1", port, clock.now() + std::chrono::seconds(5), error);
        ASSERT_TRUE(stream) << error.text;
        std::thread interrupter;
        if (c.interrupt)
            interrupter = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                stream->interrupt();
            });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(stream->send(bytes, clock.now() + c.deadline), c.sent);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (interrupter.joinable()) interrupter.join();
        EXPECT_LT(took, 10.0) << "not the minute the interrupted send was given";
    }
    ::close(listener);
}

TEST(Vxi11Program, ThePortmapperIsFoundByNameOverUdpWhicheverAddressComesFirst) {
    Sim inst({"--udp-only"});
    ASSERT_NE(inst.portmapper(), 0);
    MonotonicClock clock;
    auto network = vxi11::createSocketNetwork(clock);
    // "localhost" may resolve to ::1 first, where nothing listens: the answer from 127.0.0.1 counts.
    const vxi11::PortLookup lookup =
        vxi11::lookUpPort(*network, "localhost", inst.portmapper(), vxi11::CoreProgram, vxi11::Vxi11Version,
                          std::chrono::seconds(4));
    EXPECT_TRUE(lookup.answered) << lookup.error.text;
    EXPECT_FALSE(lookup.overTcp);
    EXPECT_EQ(lookup.port, inst.core());
}

} // namespace

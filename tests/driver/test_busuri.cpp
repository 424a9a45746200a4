// Bus URI parsing, the --bus option and the precedence of its sources.
#include "gpib/backends/busuri.h"
#include "gpib/backends/prologix/prologixbus.h"
#include "gpib/backends/schemes.h"

#include "tests/support/environment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

using vellumix::gpib::BusUri;
using vellumix::gpib::chooseBus;
using vellumix::gpib::findBusArgument;
using vellumix::gpib::parseBusUri;

namespace {

BusUri sim(std::string path = {}) {
    BusUri u;
    u.scheme = "sim";
    u.scenarioPath = std::move(path);
    return u;
}
BusUri gpib(int board) {
    BusUri u;
    u.board = board;
    return u;
}
BusUri serial(std::string device) {
    BusUri u;
    u.scheme = "prologix";
    u.device = std::move(device);
    return u;
}
BusUri tcp(std::string host, int port) {
    BusUri u;
    u.scheme = "prologix";
    u.host = std::move(host);
    u.port = port;
    return u;
}

BusUri vxi11(std::string host, int port = 0, std::string device = "inst0") {
    BusUri u;
    u.scheme = "vxi11";
    u.host = std::move(host);
    u.port = port;
    u.device = std::move(device);
    return u;
}

TEST(BusUri, ParsesTheAcceptedForms) {
    const std::vector<std::pair<std::string, BusUri>> cases = {
        {"sim", sim()},
        {"SIM", sim()},
        {"sim:scope.json", sim("scope.json")},
        {"sim:/tmp/a:b.json", sim("/tmp/a:b.json")},
        {"gpib", gpib(0)},
        {"Gpib", gpib(0)},
        {"gpib:0", gpib(0)},
        {"gpib:7", gpib(7)},
        {"gpib:15", gpib(15)},
        {"gpib:09", gpib(9)},
        {"prologix:/dev/ttyUSB0", serial("/dev/ttyUSB0")},
        {"Prologix:/dev/serial/by-id/usb-Prologix:1", serial("/dev/serial/by-id/usb-Prologix:1")},
        {"prologix:192.168.1.20", tcp("192.168.1.20", 1234)},
        {"prologix:gpib-lab:5025", tcp("gpib-lab", 5025)},
        {"prologix:127.0.0.1:65535", tcp("127.0.0.1", 65535)},
        {"prologix:[::1]", tcp("::1", 1234)},
        {"prologix:[fe80::2]:1", tcp("fe80::2", 1)},
#ifdef _WIN32
        // Windows serial ports: by name, and by device path (the only way from COM10 on).
        {"prologix:COM3", serial("COM3")},
        {"prologix:com12", serial("com12")},
        {"prologix:\\\\.\\COM10", serial("\\\\.\\COM10")},
#else
        // Elsewhere COM3 is a host name like any other.
        {"prologix:COM3", tcp("COM3", 1234)},
#endif
        {"vxi11:192.168.1.30", vxi11("192.168.1.30")},
        {"VXI11:tds3054b.lab", vxi11("tds3054b.lab")},
        {"vxi11:e5810/gpib0,5", vxi11("e5810", 0, "gpib0,5")},
        {"vxi11:e5810/hpib", vxi11("e5810", 0, "hpib")},
        {"vxi11:127.0.0.1:40001", vxi11("127.0.0.1", 40001)},
        {"vxi11:127.0.0.1:40001/inst1", vxi11("127.0.0.1", 40001, "inst1")},
        {"vxi11:[fe80::1]", vxi11("fe80::1")},
        {"vxi11:[::1]:111/gpib0", vxi11("::1", 111, "gpib0")},
        {"vxi11:[fe80::1%eth0]", vxi11("fe80::1%eth0")},
        {"vxi11:[fe80::1%enp0s31f6]:5/gpib0,3", vxi11("fe80::1%enp0s31f6", 5, "gpib0,3")},
        {"vxi11:[fe80::1%wlan_0.1-x]", vxi11("fe80::1%wlan_0.1-x")},
        {"vxi11:[fe80::1%12]", vxi11("fe80::1%12")},
        // VISA resource names come down to the bus they name.
        {"TCPIP::10.0.0.7::INSTR", vxi11("10.0.0.7")},
        {"tcpip0::10.0.0.7::gpib0,5::instr", vxi11("10.0.0.7", 0, "gpib0,5")},
        {"TCPIP::[fe80::1]::INSTR", vxi11("fe80::1")},
        {"TCPIP::[fe80::1%eth0]::INSTR", vxi11("fe80::1%eth0")},
        {"TCPIP0::[fe80::1%eth0]::gpib0,5::INSTR", vxi11("fe80::1%eth0", 0, "gpib0,5")},
        {"TCPIP0::10.0.0.8::1234::SOCKET", tcp("10.0.0.8", 1234)},
        {"GPIB0::1::INSTR", gpib(0)},
        {"GPIB2::5::96::INSTR", gpib(2)},
        {"GPIB::INTFC", gpib(0)},
        {"USB0::0x0699::0x0368::C040000::INSTR",
         [] {
             BusUri u;
             u.scheme = "usbtmc";
             return u;
         }()},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        std::string error;
        const auto uri = parseBusUri(text, error);
        ASSERT_TRUE(uri) << error;
        EXPECT_EQ(*uri, expected);
    }
}

TEST(BusUri, RejectsEverythingElseWithAClearReason) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Unknown bus"},
        {"gpib0", "Unknown bus"},
        {"usb:1", "Unknown bus"},
        {" gpib", "Unknown bus"},
        {"sim:", "no scenario file"},
        {"gpib:", "board index"},
        {"gpib:16", "board index"},
        {"gpib:-1", "board index"},
        {"gpib:+1", "board index"},
        {"gpib: 1", "board index"},
        {"gpib:1x", "board index"},
        {"gpib:99999999999", "board index"},
        {"prologix", "no GPIB controller"},
        {"prologix:", "no GPIB controller"},
        {"prologix:host:0", "no GPIB controller"},
        {"prologix:host:65536", "no GPIB controller"},
        {"prologix:host:", "no GPIB controller"},
        {"prologix::1234", "no GPIB controller"},
        {"prologix:::1", "no GPIB controller"},
        {"prologix:[::1]x", "no GPIB controller"},
        {"prologix:host:12a", "no GPIB controller"},
        {"prologix:a b", "no GPIB controller"},
        {"vxi11", "names no instrument"},
        {"vxi11:", "names no instrument"},
        {"vxi11:host:0", "names no instrument"},
        {"vxi11:host:65536", "names no instrument"},
        {"vxi11:host/", "names no instrument"},
        {"vxi11:host/a b", "names no instrument"},
        {"vxi11:fe80::1", "names no instrument"},
        {"vxi11:[zz::1]", "names no instrument"},
        {"vxi11:[fe80::1%]", "names no instrument"},
        {"vxi11:[%eth0]", "names no instrument"},
        {"vxi11:[fe80::1%eth 0]", "names no instrument"},
        {"vxi11:[fe80::1%eth0%1]", "names no instrument"},
        {"vxi11:[fe80::1%eth0/x]", "names no instrument"},
        {"vxi11:[fe80::%1:1]", "names no instrument"},
        {"TCPIP::[fe80::1%eth 0]::INSTR", "names no instrument"},
        {"vxi11:a,b", "names no instrument"},
        {"TCPIP::host::hislip0::INSTR", "HiSLIP is not supported"},
        {"TCPIP::host", "has no bus here"},
        {"GPIB0::x::INSTR", "has no bus here"},
        {"ASRL1::INSTR", "has no bus here"},
        {"USB::0x0699::INSTR", "has no bus here"},
    };
    for (const auto& [text, reason] : cases) {
        SCOPED_TRACE(text);
        std::string error;
        EXPECT_FALSE(parseBusUri(text, error));
        EXPECT_NE(error.find(reason), std::string::npos) << error;
        EXPECT_NE(error.find("\"" + text + "\""), std::string::npos)
            << "the message quotes the input: " << error;
    }
}

TEST(BusUri, UsbtmcFormsParseAndPrintBack) {
    auto usbtmc = [](std::string device, bool simulated = false, std::string scenario = {}) {
        BusUri u;
        u.scheme = "usbtmc";
        u.scenarioPath = std::move(scenario);
        u.device = std::move(device);
        u.simulated = simulated;
        return u;
    };
    const std::vector<std::tuple<std::string, BusUri, std::string>> cases = {
        {"usbtmc", usbtmc({}), "usbtmc"},
        {"USBTMC", usbtmc({}), "usbtmc"},
        {"usbtmc:/dev/usbtmc0", usbtmc("/dev/usbtmc0"), "usbtmc:/dev/usbtmc0"},
        {"usbtmc:sim", usbtmc({}, true), "usbtmc:sim"},
        {"usbtmc:SIM:a:b.json", usbtmc({}, true, "a:b.json"), "usbtmc:sim:a:b.json"},
    };
    for (const auto& [text, expected, printed] : cases) {
        SCOPED_TRACE(text);
        std::string error;
        const auto uri = parseBusUri(text, error);
        ASSERT_TRUE(uri) << error;
        EXPECT_EQ(*uri, expected);
        EXPECT_EQ(uri->toString(), printed);
        EXPECT_EQ(parseBusUri(printed, error), uri) << "the printed form reads back the same";
    }
    for (const auto& [text, reason] : std::vector<std::pair<std::string, std::string>>{
             {"usbtmc:", "names no device"},
             {"usbtmc:usbtmc0", "names no device"},
             {"usbtmc:sim:", "no scenario file"},
         }) {
        SCOPED_TRACE(text);
        std::string error;
        EXPECT_FALSE(parseBusUri(text, error));
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
}

TEST(BusUri, Vxi11FormsPrintBackAsTheyRead) {
    for (const auto& [text, printed] : std::vector<std::pair<std::string, std::string>>{
             {"vxi11:scope", "vxi11:scope"},
             {"vxi11:scope/inst0", "vxi11:scope"},
             {"vxi11:[::1]:5/gpib0,3", "vxi11:[::1]:5/gpib0,3"},
             {"TCPIP::[fe80::1%eth0]::INSTR", "vxi11:[fe80::1%eth0]"},
             {"TCPIP::gw::hpib,7::INSTR", "vxi11:gw/hpib,7"},
         }) {
        SCOPED_TRACE(text);
        std::string error;
        const auto uri = parseBusUri(text, error);
        ASSERT_TRUE(uri) << error;
        EXPECT_EQ(uri->toString(), printed);
        EXPECT_EQ(parseBusUri(printed, error), uri);
    }
}

TEST(BusArgument, FindsTheOptionAndKeepsTheRest) {
    using Args = std::vector<std::string>;
    struct Case {
        Args args;
        std::optional<std::string> value;
        Args remaining;
        bool error;
    };
    const std::vector<Case> cases = {
        {{"prog"}, std::nullopt, {"prog"}, false},
        {{"prog", "--bus", "sim"}, "sim", {"prog"}, false},
        {{"prog", "--bus=gpib:2", "file.bmp"}, "gpib:2", {"prog", "file.bmp"}, false},
        {{"prog", "--bus", "sim", "--bus=gpib"}, "gpib", {"prog"}, false},
        {{"prog", "--bus="}, "", {"prog"}, false},
        {{"prog", "--", "--bus", "sim"}, std::nullopt, {"prog", "--", "--bus", "sim"}, false},
        {{"prog", "--busy", "x"}, std::nullopt, {"prog", "--busy", "x"}, false},
        {{"prog", "--bus"}, std::nullopt, {"prog"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Args original = c.args;
        const auto found = findBusArgument(c.args);
        EXPECT_EQ(found.value, c.value);
        EXPECT_EQ(found.remaining, c.remaining);
        EXPECT_EQ(!found.error.empty(), c.error) << found.error;
        EXPECT_EQ(c.args, original);
    }
}

TEST(BusChoice, CommandLineWinsOverEnvironmentOverDefault) {
    using Opt = std::optional<std::string>;
    struct Case {
        Opt commandLine, environment;
        std::optional<BusUri> uri;
        std::string origin;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, gpib(0), "default"},
        {std::nullopt, "", gpib(0), "default"},
        {std::nullopt, "sim", sim(), "VELLUMIX_BUS"},
        {"gpib:4", "sim", gpib(4), "--bus"},
        {"sim:a.json", std::nullopt, sim("a.json"), "--bus"},
        {"bogus", "sim", std::nullopt, "--bus"},
        {std::nullopt, "gpib:42", std::nullopt, "VELLUMIX_BUS"},
        {std::nullopt, "prologix:10.0.0.5", tcp("10.0.0.5", 1234), "VELLUMIX_BUS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commandLine.value_or("-") + " / " + c.environment.value_or("-"));
        const auto choice = chooseBus(c.commandLine, c.environment);
        EXPECT_EQ(choice.uri, c.uri);
        EXPECT_EQ(choice.origin, c.origin);
        if (!c.uri) {
            EXPECT_NE(choice.error.find(c.origin), std::string::npos) << choice.error;
        }
    }
}

TEST(BusUri, WindowsSerialPortNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"COM1", "\\\\.\\COM1"},
        {"com3", "\\\\.\\COM3"},
        {"Com255", "\\\\.\\COM255"},
        {"\\\\.\\COM10", "\\\\.\\COM10"},
        {"\\\\.\\cOm7", "\\\\.\\COM7"},
        {"COM0", ""},
        {"COM256", ""},
        {"COM01", ""},
        {"COM", ""},
        {"COM1x", ""},
        {"LPT1", ""},
        {"COM1234", ""},
        {"\\\\?\\COM1", ""},
        {"/dev/ttyS0", ""},
    };
    for (const auto& [name, path] : cases)
        EXPECT_EQ(vellumix::gpib::prologix::windowsSerialPath(name), path) << name;
}

TEST(BusUri, PrologixFormsSurviveARoundTrip) {
    for (const BusUri& u : {serial("/dev/ttyACM0"), tcp("lab", 1234), tcp("::1", 99)}) {
        std::string error;
        const auto back = parseBusUri(u.toString(), error);
        ASSERT_TRUE(back) << u.toString() << ": " << error;
        EXPECT_EQ(*back, u);
    }
}

// The table of buses is sound: each scheme has one row, each form it lists (placeholders filled in)
// is read by that row and printed back the same, and the unknown-bus message names every form.
TEST(BusSchemes, EveryListedFormIsAcceptedByItsRow) {
    const auto filled = [](std::string form) {
        if (const auto open = form.find('['); open != std::string::npos) form.erase(open); // optional part
        if (!form.empty() && form.back() == 'N') form.back() = '1';
        return form;
    };
    std::string error;
    parseBusUri("nothing-like-it", error);
    std::vector<std::string> names;
    for (const auto& scheme : vellumix::gpib::busSchemes()) {
        SCOPED_TRACE(scheme.name);
        EXPECT_EQ(std::find(names.begin(), names.end(), scheme.name), names.end()) << "one row per scheme";
        names.emplace_back(scheme.name);
        EXPECT_EQ(vellumix::gpib::findBusScheme(scheme.name), &scheme);
        EXPECT_FALSE(scheme.emptyBusHint.empty());
        // A failed scan points to a guide that exists, named as the packages ship it.
        const std::size_t md = scheme.scanGuide.find(".md");
        ASSERT_NE(md, std::string::npos) << scheme.scanGuide;
        const std::size_t start = scheme.scanGuide.find_last_of("/ ", md) + 1;
        const std::string guide = scheme.scanGuide.substr(start, md + 3 - start);
        EXPECT_TRUE(std::filesystem::exists(std::string(VELLUMIX_SOURCE_DIR) + "/docs/" + guide)) << guide;
#ifndef _WIN32
        EXPECT_EQ(scheme.scanGuide.substr(start - 1), "/" + guide + ".gz") << "in the package's doc folder";
#endif
        EXPECT_FALSE(scheme.forms.empty());
        for (const auto& form : scheme.forms) {
            const std::string text = filled(form.text);
            SCOPED_TRACE(text);
            EXPECT_EQ(std::string(form.text).rfind(std::string(scheme.name), 0), 0u);
            EXPECT_NE(error.find(std::string(form.text) + form.note), std::string::npos) << error;
            EXPECT_FALSE(std::string(form.help).empty());
            std::string why;
            const auto uri = parseBusUri(text, why);
            ASSERT_TRUE(uri) << why;
            EXPECT_EQ(uri->scheme, scheme.name);
            EXPECT_EQ(&vellumix::gpib::busScheme(*uri), &scheme);
            EXPECT_EQ(parseBusUri(uri->toString(), why), uri);
            EXPECT_FALSE(vellumix::gpib::busName(*uri).empty());
        }
    }
}

TEST(BusChoice, ReadsTheProcessEnvironment) {
    setenv("VELLUMIX_BUS", "sim:env.json", 1);
    EXPECT_EQ(chooseBus(std::vector<std::string>{"prog"}).uri, sim("env.json"));
    EXPECT_EQ(chooseBus(std::vector<std::string>{"prog", "--bus", "gpib:1"}).uri, gpib(1));
    unsetenv("VELLUMIX_BUS");
    EXPECT_EQ(chooseBus(std::vector<std::string>{"prog"}).uri, gpib(0));
    const auto missing = chooseBus(std::vector<std::string>{"prog", "--bus"});
    EXPECT_FALSE(missing.uri);
    EXPECT_NE(missing.error.find("--bus"), std::string::npos);
}

} // namespace

#pragma once
// A run of the instrument link over the VXI-11 bus, with the virtual instrument in the same process
// on a virtual clock (tools/vxi11-sim/loopback.h).
#include "app/session.h"
#include "gpib/backends/schemes.h"
#include "gpib/backends/vxi11/vxi11bus.h"
#include "gpib/backends/vxi11/vxi11port.h"
#include "gpib/exchange.h"
#include "tests/support/fakes.h"
#include "tests/support/files.h"
#include "tools/vxi11-sim/loopback.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

namespace vellumix::test {

struct Vxi11Run {
    gpib::VirtualClock clock;
    FakeDesktop desktop;
    FakeView view;
    std::unique_ptr<vxi11sim::Server> server;
    vxi11sim::LoopbackNetwork* network = nullptr;
    gpib::BusOpenResult bus;
    std::unique_ptr<gpib::InstrumentLink> link;
    std::unique_ptr<HardCopySession> session;
    std::filesystem::path home;

    // uriText: "vxi11:127.0.0.1", "vxi11:127.0.0.1/gpib0", ... (the loopback serves 127.0.0.1).
    Vxi11Run(gpib::sim::Scenario scenario, vxi11sim::ServerOptions options, const std::string& uriText,
             const std::string& tag, vxi11sim::LoopbackPorts ports = {}) {
        home = std::filesystem::temp_directory_path() / ("vellumix-vxi11-" + tag);
        std::filesystem::remove_all(home);
        std::filesystem::create_directories(home);
        desktop.env["AppData"] = home.string();
        server = std::make_unique<vxi11sim::Server>(std::move(scenario), options, clock);
        auto net = std::make_unique<vxi11sim::LoopbackNetwork>(*server, clock, ports);
        network = net.get();
        std::string why;
        const auto uri = gpib::parseBusUri(uriText, why);
        EXPECT_TRUE(uri) << why;
        if (!uri) return;
        bus = gpib::vxi11::openVxi11(*uri, std::move(net), ports.portmapper);
        if (!bus.driver) return;
        link = std::make_unique<gpib::InstrumentLink>(*bus.driver, desktop, clock);
        session = std::make_unique<HardCopySession>(*link, desktop, view);
    }
    ~Vxi11Run() { std::filesystem::remove_all(home); }
    Vxi11Run(const Vxi11Run&) = delete;
    Vxi11Run& operator=(const Vxi11Run&) = delete;

    void start() {
        session->Load("");
        session->Activate();
    }
    std::string captureBmp() {
        session->Option_HCFormat_Click(0);
        session->Button_GetHardCopy_Click();
        return readFile(home / "Vellumix" / "Vellumix_Temp..bmp");
    }
    int16_t device(int address, int16_t tmo = gpib::T3s) {
        int16_t ud = 0;
        link->ibdev(0, address, 0, tmo, 1, 0, ud);
        return ud;
    }
    gpib::vxi11::Vxi11Devices& port() { return static_cast<gpib::vxi11::Vxi11Driver&>(*bus.driver).devices(); }
    double seconds() { return std::chrono::duration<double>(clock.now()).count(); }
};

// One TDS 3054B at each address given, each sending `picture` for every format.
inline gpib::sim::Scenario tds3000(const std::string& picture, std::vector<int> addresses = {1}) {
    gpib::sim::Scenario s;
    for (int a : addresses) {
        auto& scope = s.addScope(a, "ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41");
        if (!picture.empty()) scope.hardcopy = gpib::sim::Payload::fromBytes(picture);
    }
    return s;
}

} // namespace vellumix::test

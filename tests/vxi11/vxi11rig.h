#pragma once
// A run of the instrument link over the VXI-11 bus, with the virtual instrument in the same process
// on a virtual clock (tools/vxi11-sim/loopback.h).
#include "app/session.h"
#include "gpib/backends/schemes.h"
#include "gpib/backends/vxi11/vxi11bus.h"
#include "gpib/backends/vxi11/vxi11port.h"
#include "gpib/exchange.h"
#include "tests/support/capturerig.h"
#include "tests/support/files.h"
#include "tools/vxi11-sim/loopback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vellumix::test {

struct Vxi11Run : CaptureRig {
    std::unique_ptr<vxi11sim::Server> server;
    vxi11sim::LoopbackNetwork* network = nullptr; // null once a failed open has destroyed it
    std::shared_ptr<int> datagrams;
    gpib::BusOpenResult bus; // what opening said; its driver is the rig's once open

    // uriText: "vxi11:127.0.0.1", "vxi11:127.0.0.1/gpib0", ... (the loopback serves 127.0.0.1).
    Vxi11Run(gpib::sim::Scenario scenario, vxi11sim::ServerOptions options, const std::string& uriText,
             const std::string& tag, vxi11sim::LoopbackPorts ports = {})
        : CaptureRig("vxi11-" + tag) {
        server = std::make_unique<vxi11sim::Server>(std::move(scenario), options, clock);
        auto net = std::make_unique<vxi11sim::LoopbackNetwork>(*server, clock, ports);
        network = net.get();
        datagrams = net->datagrams;
        std::string why;
        const auto uri = gpib::parseBusUri(uriText, why);
        EXPECT_TRUE(uri) << why;
        if (!uri) return;
        bus = gpib::vxi11::openVxi11(*uri, std::move(net), ports.portmapper);
        if (!bus.driver) {
            network = nullptr;
            return;
        }
        attach(std::move(bus.driver));
    }
    // The links close (destroy_link) while the virtual instrument still serves them.
    ~Vxi11Run() { detach(); }

    // The listeners FindLstn reports over every instrument address.
    std::vector<int16_t> listeners() {
        std::vector<int16_t> list;
        for (int a = 1; a <= gpib::MaxPrimaryAddress; ++a)
            list.push_back(static_cast<int16_t>(a));
        list.push_back(gpib::NOADDR);
        std::vector<int16_t> found(list.size(), 0);
        link->FindLstn(0, list.data(), found.data(), static_cast<int32_t>(found.size()));
        found.resize(static_cast<std::size_t>(std::max<int32_t>(link->ibcntl, 0)));
        return found;
    }

    std::string captureBmp() {
        session->Option_HCFormat_Click(0);
        session->Button_GetHardCopy_Click();
        return readFile(file(".bmp"));
    }
    int16_t device(int address, int16_t tmo = gpib::T3s) {
        int16_t ud = 0;
        link->ibdev(0, address, 0, tmo, 1, 0, ud);
        return ud;
    }
    gpib::vxi11::Vxi11Devices& port() { return static_cast<gpib::vxi11::Vxi11Driver&>(*driver).devices(); }
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

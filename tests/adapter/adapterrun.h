#pragma once
// A run of the instrument link over the driver for "++" controllers, with the virtual adapter in
// the same process on a virtual clock.
#include "app/session.h"
#include "gpib/backends/prologix/prologixdriver.h"
#include "gpib/exchange.h"
#include "tests/support/fakes.h"
#include "tests/support/files.h"
#include "tools/sim-adapter/emulator.h"
#include "tools/sim-adapter/loopback.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

namespace vellumix::test {

struct AdapterRun {
    gpib::VirtualClock clock;
    FakeDesktop desktop;
    FakeView view;
    std::unique_ptr<simadapter::AdapterEmulator> adapter;
    simadapter::LoopbackPipe* pipe = nullptr;
    std::unique_ptr<gpib::prologix::PrologixDriver> driver;
    std::unique_ptr<gpib::InstrumentLink> link;
    std::unique_ptr<HardCopySession> session;
    std::filesystem::path home;
    std::string connectError;

    AdapterRun(gpib::sim::Scenario scenario, simadapter::AdapterOptions options, const std::string& tag) {
        home = std::filesystem::temp_directory_path() / ("vellumix-adapter-" + tag);
        std::filesystem::remove_all(home);
        std::filesystem::create_directories(home);
        desktop.env["AppData"] = home.string();
        adapter = std::make_unique<simadapter::AdapterEmulator>(std::move(scenario), std::move(options));
        auto t = std::make_unique<simadapter::LoopbackPipe>(*adapter, clock);
        pipe = t.get();
        driver = std::make_unique<gpib::prologix::PrologixDriver>(std::move(t), clock);
        if (!driver->connect(connectError)) return;
        link = std::make_unique<gpib::InstrumentLink>(*driver, desktop, clock);
        session = std::make_unique<HardCopySession>(*link, desktop, view);
    }
    ~AdapterRun() { std::filesystem::remove_all(home); }
    AdapterRun(const AdapterRun&) = delete;
    AdapterRun& operator=(const AdapterRun&) = delete;

    void start() {
        session->Load("");
        session->Activate();
    }
    std::filesystem::path file(const std::string& ext) const {
        return home / "Vellumix" / ("Vellumix_Temp." + ext);
    }
    double seconds() { return std::chrono::duration<double>(clock.now()).count(); }
};

inline simadapter::AdapterOptions flavour(gpib::prologix::Flavour f, double rate = 0) {
    simadapter::AdapterOptions o;
    o.flavour = f;
    o.rate = rate;
    return o;
}

} // namespace vellumix::test

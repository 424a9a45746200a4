#pragma once
// A run of the instrument link over the driver for "++" controllers, with the virtual adapter in
// the same process on a virtual clock.
#include "gpib/backends/prologix/prologixdriver.h"
#include "gpib/exchange.h"
#include "tests/support/capturerig.h"
#include "tests/support/files.h"
#include "tools/sim-adapter/emulator.h"
#include "tools/sim-adapter/loopback.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

namespace vellumix::test {

struct AdapterRun : CaptureRig {
    std::unique_ptr<simadapter::AdapterEmulator> adapter;
    simadapter::LoopbackPipe* pipe = nullptr;
    gpib::prologix::PrologixDriver* prologix = nullptr;
    std::string connectError;

    AdapterRun(gpib::sim::Scenario scenario, simadapter::AdapterOptions options, const std::string& tag)
        : CaptureRig("adapter-" + tag) {
        adapter = std::make_unique<simadapter::AdapterEmulator>(std::move(scenario), std::move(options));
        auto t = std::make_unique<simadapter::LoopbackPipe>(*adapter, clock);
        pipe = t.get();
        auto d = std::make_unique<gpib::prologix::PrologixDriver>(std::move(t), clock);
        if (!d->connect(connectError)) {
            driver = std::move(d); // kept for what it saw, without a link
            return;
        }
        prologix = attach(std::move(d));
    }
    // The driver's pipe leads into the adapter: the driver goes first.
    ~AdapterRun() { detach(); }
};

inline simadapter::AdapterOptions flavour(gpib::prologix::Flavour f, double rate = 0) {
    simadapter::AdapterOptions o;
    o.flavour = f;
    o.rate = rate;
    return o;
}

} // namespace vellumix::test

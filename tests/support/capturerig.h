#pragma once
// The main window's logic end to end over any driver: the real instrument link and session, a fake
// desktop and view, a virtual clock, and the session's files in a scratch folder. Each bus's test
// gives it the driver (attach) and keeps a typed pointer for what only that bus can do.
#include "app/session.h"
#include "gpib/clock.h"
#include "gpib/driver.h"
#include "gpib/exchange.h"
#include "tests/support/fakes.h"
#include "tests/support/idleclock.h"
#include "tests/support/scratch.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

namespace vellumix::test {

struct CaptureRig {
    RecordingClock clock;
    FakeDesktop desktop;
    FakeView view;
    ScratchDir home;
    // Declared before the link and the session, so that it outlives them.
    std::unique_ptr<gpib::GpibDriver> driver;
    std::unique_ptr<gpib::InstrumentLink> link;
    std::unique_ptr<HardCopySession> session;

    explicit CaptureRig(const std::string& tag) : home(tag) { desktop.env["AppData"] = home.path().string(); }
    CaptureRig(const CaptureRig&) = delete;
    CaptureRig& operator=(const CaptureRig&) = delete;

    // Takes the driver and builds the link and the session over it; returns the driver as its type.
    template <typename Driver> Driver* attach(std::unique_ptr<Driver> d) {
        Driver* typed = d.get();
        driver = std::move(d);
        link = std::make_unique<gpib::InstrumentLink>(*driver, desktop, clock);
        session = std::make_unique<HardCopySession>(*link, desktop, view);
        return typed;
    }
    // Ends the session, the link and the driver now: for a rig whose own members (a simulated
    // adapter behind the driver's pipe) must outlive the driver.
    void detach() {
        session.reset();
        link.reset();
        driver.reset();
    }
    void start() {
        session->Load("");
        session->Activate();
    }
    // The session's current hard copy file for an extension ("bmp" or ".bmp" as the format names it).
    std::filesystem::path file(const std::string& ext) const {
        return home / "Vellumix" / ("Vellumix_Temp." + ext);
    }
    double seconds() { return std::chrono::duration<double>(clock.now()).count(); }
};

} // namespace vellumix::test

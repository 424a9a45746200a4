// While the scope is silent the drivers wait in pieces and call the clock's idle() between them,
// where the window runs its events: over every bus that runs in this process, the capture stays
// byte exact, the waits leave no long stretch without idle(), and a Cancel pressed there (the
// window's events, run by the session's hook) ends the capture at once and spoils no later one.
#include "gpib/backends/sim/simbus.h"
#include "gpib/backends/usbtmc/simpipe.h"
#include "gpib/backends/usbtmc/usbtmcdriver.h"
#include "tests/adapter/adapterrun.h"
#include "tests/support/capturerig.h"
#include "tests/support/files.h"
#include "tests/support/pictures.h"
#include "tests/vxi11/vxi11rig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

using namespace vellumix;
using gpib::Clock;
using gpib::prologix::Flavour;
using gpib::sim::Scenario;

namespace {

constexpr double Silence = 5.0; // seconds from HARDCOPY START to the picture's first byte

struct SimRun : test::CaptureRig {
    explicit SimRun(Scenario s) : CaptureRig("idle-sim") {
        attach(gpib::sim::createSimBus(std::move(s), clock));
    }
};

struct UsbRun : test::CaptureRig {
    explicit UsbRun(const Scenario& s) : CaptureRig("idle-usbtmc") {
        auto* usb = attach(std::make_unique<gpib::usbtmc::UsbtmcDriver>(
            std::make_unique<gpib::usbtmc::SimUsbtmcPipe>(s, clock)));
        EXPECT_EQ(usb->openDevices(), "");
    }
};

simadapter::AdapterOptions adapterOf(Flavour f, std::optional<simadapter::Firmware> firmware = {}) {
    simadapter::AdapterOptions o = test::flavour(f, 11520);
    o.firmware = firmware;
    return o;
}

// Each bus builds its rig around the scenario and hands it to the body, started.
using Body = std::function<void(test::CaptureRig&)>;
struct BusRow {
    const char* name;
    std::function<void(Scenario, const Body&)> run;
};

template <typename Rig> void started(Rig& rig, const Body& body) {
    ASSERT_TRUE(rig.session) << "the rig did not open";
    rig.start();
    rig.session->Option_HCFormat_Click(0);
    body(rig);
}

const BusRow kBuses[] = {
    {"simulated bus",
     [](Scenario s, const Body& b) {
         SimRun r(std::move(s));
         started(r, b);
     }},
    {"usbtmc simulator",
     [](Scenario s, const Body& b) {
         UsbRun r(s);
         started(r, b);
     }},
    {"vxi11 loopback",
     [](Scenario s, const Body& b) {
         test::Vxi11Run r(std::move(s), {}, "vxi11:127.0.0.1", "idle");
         started(r, b);
     }},
    {"prologix",
     [](Scenario s, const Body& b) {
         test::AdapterRun r(std::move(s), adapterOf(Flavour::Prologix), "idle-prologix");
         started(r, b);
     }},
    {"ar488 0.53",
     [](Scenario s, const Body& b) {
         test::AdapterRun r(std::move(s), adapterOf(Flavour::Ar488), "idle-ar488");
         started(r, b);
     }},
    {"ar488 0.49 (repeats the last byte at its timeout)",
     [](Scenario s, const Body& b) {
         test::AdapterRun r(std::move(s), adapterOf(Flavour::Ar488, simadapter::Firmware::Ar488_049),
                            "idle-ar488-049");
         started(r, b);
     }},
};

Scenario silentThenPicture(const std::string& picture) {
    Scenario s;
    auto& scope = s.addScope(1, "ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41");
    scope.hardcopy = gpib::sim::Payload::fromBytes(picture);
    s.hardcopyLatency = Silence;
    return s;
}

double secondsOf(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace

TEST(IdleWhileWaiting, TheSilenceBeforeThePictureIsWaitedInShortPieces) {
    const std::string picture = test::bmp320x240('S');
    for (const BusRow& bus : kBuses) {
        SCOPED_TRACE(bus.name);
        bus.run(silentThenPicture(picture), [&](test::CaptureRig& rig) {
            const int pollsBefore = rig.view.polls;
            const auto start = rig.clock.now();
            rig.session->Button_GetHardCopy_Click();
            const auto end = rig.clock.now();
            EXPECT_TRUE(test::readFile(rig.file(".bmp")) == picture);
            EXPECT_TRUE(rig.desktop.boxes.empty()) << rig.desktop.boxes.front().prompt;
            EXPECT_GE(secondsOf(end - start), Silence);
            const double gap = secondsOf(rig.clock.longestGap(start, end));
            EXPECT_LE(gap, 0.15) << "the longest wait without idle()";
            // The window's events ran during the silence, not only between pieces of the picture:
            // at most every 50 ms of the clock, at least every 150 ms.
            EXPECT_GE(rig.view.polls - pollsBefore, static_cast<int>(Silence / 0.15));

            // Outside a capture the hook is gone: a wait then runs no window events.
            const int pollsAfter = rig.view.polls;
            rig.clock.idle();
            EXPECT_EQ(rig.view.polls, pollsAfter);
        });
    }
}

TEST(IdleWhileWaiting, ACancelPressedDuringTheSilenceEndsTheCaptureAtOnce) {
    const std::string previous = test::bmp320x240('p');
    const std::string picture = test::bmp320x240('S');
    const struct {
        const char* what;
        double cancelAfter; // seconds after Get Hard Copy
    } moments[] = {
        {"while the scope prepares the picture", 1.0},
        {"as the capture begins (an adapter may still be ending the cancelled read)", 0.02},
    };
    for (const BusRow& bus : kBuses) {
        SCOPED_TRACE(bus.name);
        bus.run(silentThenPicture(picture), [&](test::CaptureRig& rig) {
            test::writeFile(rig.file(".bmp"), previous);
            rig.session->CurrentFileName = "Vellumix_Temp.bmp";
            for (const auto& m : moments) {
                SCOPED_TRACE(m.what);
                const double start = rig.seconds();
                double cancelledAt = -1;
                rig.view.onPoll = [&] {
                    if (cancelledAt < 0 && rig.seconds() - start >= m.cancelAfter) {
                        cancelledAt = rig.seconds();
                        rig.session->Cancel_Click();
                    }
                };
                rig.session->Button_GetHardCopy_Click();
                rig.view.onPoll = {};
                ASSERT_GE(cancelledAt, 0) << "no window events ran before the capture ended";
                EXPECT_LT(rig.seconds() - cancelledAt, 0.25)
                    << "took " << rig.seconds() - cancelledAt << " s";
                EXPECT_EQ(rig.view.note, "Hard copy cancelled.");
                EXPECT_TRUE(test::readFile(rig.file(".bmp")) == previous) << "the previous file is kept";
                EXPECT_EQ(rig.session->CurrentFileName, "Vellumix_Temp.bmp");
                EXPECT_TRUE(rig.desktop.boxes.empty()) << rig.desktop.boxes.front().prompt;
            }
            rig.session->Button_GetHardCopy_Click();
            EXPECT_TRUE(test::readFile(rig.file(".bmp")) == picture) << "the capture after the cancels";
            EXPECT_TRUE(rig.desktop.boxes.empty()) << rig.desktop.boxes.front().prompt;
        });
    }
}

// The whole capture over USBTMC: start-up, identification and hard copy through the instrument link
// and the main window's logic, with simulated TDS B-series scopes on their USB device port.
#include "app/session.h"
#include "capture/hardcopy.h"
#include "gpib/backends/schemes.h"
#include "gpib/backends/usbtmc/simpipe.h"
#include "gpib/backends/usbtmc/usbtmcbus.h"
#include "gpib/backends/usbtmc/usbtmcdriver.h"
#include "tests/support/capturerig.h"
#include "tests/support/fakes.h"
#include "tests/support/files.h"
#include "tests/support/pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace vellumix;
using namespace vellumix::gpib;
using vellumix::test::FakeDesktop;
using vellumix::test::FakeView;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t BSeriesBmpSize = 77878;

struct UsbRun : test::CaptureRig {
    usbtmc::SimUsbtmcPipe* port = nullptr;

    UsbRun(const sim::Scenario& scenario, const std::string& tag) : CaptureRig("usbtmc-" + tag) {
        auto p = std::make_unique<usbtmc::SimUsbtmcPipe>(scenario, clock);
        port = p.get();
        usbtmc::UsbtmcDriver* usb = attach(std::make_unique<usbtmc::UsbtmcDriver>(std::move(p)));
        EXPECT_EQ(usb->openDevices(), "");
        start();
    }

    std::string captureBmp() {
        session->Option_HCFormat_Click(0);
        session->Button_GetHardCopy_Click();
        return test::readFile(file(".bmp"));
    }
    const std::vector<std::string>& received() { return port->instrument("/dev/usbtmc0")->received(); }
};

sim::Fault fault(sim::Fault::Kind kind) {
    sim::Fault f;
    f.kind = kind;
    return f;
}

// A TDS 2024B that powers up with its hard copy port on GPIB (as one with a TDS2CM module would)
// and sends `picture` for BMP.
sim::Scenario tds2024b(const std::string& picture) {
    sim::Scenario s;
    s.rate = 500000;
    s.hardcopyLatency = 0.5;
    auto& scope = s.addScope(1, "ID TEK/TDS 2024B,CF:91.1CT,FV:v22.11");
    scope.hardcopyByFormat[sim::PictureFormat::Bmp] = sim::Payload::fromBytes(picture);
    return s;
}

TEST(CaptureOverUsbtmc, AGenuineBSeriesBmpArrivesByteForByte) {
    const fs::path genuine = fs::path(VELLUMIX_SHARED_DIR) / "real-hardcopies" / "tds2004b_bmp_4.bmp";
    if (!fs::exists(genuine)) GTEST_SKIP() << "the genuine hard copies are not at " << genuine;
    const std::string picture = test::readFile(genuine);
    ASSERT_EQ(picture.size(), BSeriesBmpSize);

    UsbRun run(tds2024b(picture), "genuine");
    EXPECT_NE(run.view.captionText.find("Connected to TDS 2024B @ GPIB Addr: 1"), std::string::npos)
        << run.view.captionText;
    EXPECT_EQ(run.captureBmp(), picture);
    EXPECT_EQ(run.view.picture, run.file(".bmp").string());
    EXPECT_TRUE(run.desktop.boxes.empty()) << run.desktop.boxes.front().prompt;

    // The port word follows the connection; everything else is the usual sequence.
    const auto& got = run.received();
    EXPECT_NE(std::find(got.begin(), got.end(), "HARDCOPY:PORT USB"), got.end());
    EXPECT_EQ(std::find(got.begin(), got.end(), "HARDCOPY:PORT GPIB"), got.end());
    EXPECT_EQ(got.back(), "HARDCOPY START");
}

TEST(CaptureOverUsbtmc, SimulatedTds2024bFromTheBusUri) {
    const std::string file = std::string(VELLUMIX_SOURCE_DIR) + "/tests/data/tds2024b-usb.json";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"usbtmc:sim", "simulated USBTMC, default scenario: /dev/usbtmc0 at address 1"},
        {"usbtmc:sim:" + file, "simulated USBTMC, " + file + ": /dev/usbtmc0 at address 1"},
    };
    for (const auto& [text, description] : cases) {
        SCOPED_TRACE(text);
        VirtualClock clock;
        std::string error;
        const auto uri = parseBusUri(text, error);
        ASSERT_TRUE(uri) << error;
        BusOpenResult bus = openBus(*uri, clock);
        ASSERT_TRUE(bus.driver) << bus.error;
        EXPECT_EQ(bus.description, description);
        EXPECT_STREQ(bus.driver->hardCopyPort(), "USB");

        FakeDesktop desktop;
        InstrumentLink link(*bus.driver, desktop, clock);
        int16_t ud = 0;
        link.ibdev(0, 1, 0, T3s, 1, 0, ud);
        std::vector<std::string> pictures;
        for (const bool inkSaver : {true, false}) {
            pictures.push_back(capture::requestHardCopy(link, ud, "BMP", inkSaver));
            EXPECT_EQ(pictures.back().size(), BSeriesBmpSize);
            EXPECT_EQ(pictures.back().substr(0, 2), "BM");
        }
        EXPECT_NE(pictures[0], pictures[1]) << "the ink saver changes the picture";
        EXPECT_TRUE(desktop.boxes.empty());
    }
    VirtualClock clock;
    std::string error;
    const auto missing = openBus(*parseBusUri("usbtmc:sim:/nonexistent/s.json", error), clock);
    EXPECT_FALSE(missing.driver);
    EXPECT_EQ(missing.title, usbtmc::UsbtmcErrorTitle);
    EXPECT_NE(missing.error.find("/nonexistent/s.json"), std::string::npos) << missing.error;
}

TEST(CaptureOverUsbtmc, AScopeThatStopsAnsweringKeepsThePreviousFile) {
    sim::Scenario s = tds2024b(test::bmp320x240('A'));
    sim::Fault stop = fault(sim::Fault::Kind::ReadTimeout);
    stop.chunk = 40;
    stop.times = 1;
    s.instruments[0].faults.push_back(stop);
    UsbRun run(s, "stops");
    const fs::path file = run.file(".bmp");
    test::writeFile(file, "previous good picture");

    run.captureBmp();
    ASSERT_EQ(run.desktop.boxes.size(), 1u);
    EXPECT_EQ(run.desktop.boxes[0].title, "I/O Error");
    EXPECT_EQ(run.desktop.boxes[0].prompt.rfind("Read cycle failed\nOperation aborted.\n\n", 0), 0u);
    EXPECT_NE(run.desktop.boxes[0].prompt.find("/dev/usbtmc0 stopped answering after 19968 bytes"),
              std::string::npos)
        << run.desktop.boxes[0].prompt;
    EXPECT_EQ(test::readFile(file), "previous good picture");

    EXPECT_EQ(run.captureBmp().size(), BSeriesBmpSize) << "the next capture goes through";
}

TEST(CaptureOverUsbtmc, ACommandTheScopeDoesNotTakeIsReportedWithItsCause) {
    sim::Scenario s = tds2024b("BM");
    sim::Fault refuse = fault(sim::Fault::Kind::WriteError);
    refuse.match = "HARDCOPY:PORT";
    s.instruments[0].faults.push_back(refuse);
    UsbRun run(s, "refuse");
    run.captureBmp();
    ASSERT_FALSE(run.desktop.boxes.empty());
    EXPECT_EQ(run.desktop.boxes[0].title, "GPIB ERROR # 6");
    EXPECT_EQ(
        run.desktop.boxes[0].prompt,
        "I/O operation aborted - timeout.\nThe scope on /dev/usbtmc0 did not take the command within 3 s.\n"
        "Select OK to continue or Cancel to terminate program.");
}

} // namespace

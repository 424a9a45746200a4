// Start-up and capture end to end on the simulated bus: the main window's logic talks to simulated
// scopes through the real instrument link; files must hold the scope's bytes exactly.
#include "app/session.h"
#include "gpib/backends/sim/simbus.h"
#include "tests/support/capturerig.h"
#include "tests/support/fakes.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace vellumix;
using namespace vellumix::gpib;
using namespace vellumix::gpib::sim;
using vellumix::test::FakeDesktop;
using vellumix::test::FakeView;
using vellumix::test::ProgramEnded;
namespace fs = std::filesystem;

namespace {

struct SimRun : test::CaptureRig {
    SimBus* bus;
    SimRun(Scenario scenario, const std::string& tag)
        : CaptureRig("e2e-" + tag), bus(attach(createSimBus(std::move(scenario), clock))) {}
};

} // namespace

TEST(CaptureOnSimulatedBus, DefaultScopeStartsUpConnected) {
    SimRun run(Scenario::defaultScenario(), "default");
    run.start();
    EXPECT_EQ(run.view.captionText,
              "Vellumix, v1.25 - Dec 2024 / QZ   -   Connected to TDS 3054B @ GPIB Addr: 1");
    EXPECT_EQ(run.view.enabled, (std::array<bool, 6>{true, true, true, true, true, true}));
    EXPECT_TRUE(run.view.inkEnabled);
    EXPECT_EQ(run.view.checked, 1);
    EXPECT_TRUE(run.desktop.boxes.empty());
}

TEST(CaptureOnSimulatedBus, EveryFormatArrivesWithItsOwnLayout) {
    const struct {
        int option;
        const char* ext;
        std::string magic;
        std::size_t size; // 0: varies
    } cases[] = {
        {0, ".bmp", "BM", 38462},  {1, ".bmp", "BM", 308278}, {2, ".tif", std::string("MM\0*", 4), 0},
        {3, ".png", "\x89PNG", 0}, {4, ".pcx", "\x0a", 0},    {5, ".pcx", "\x0a", 0},
    };
    SimRun run(Scenario::defaultScenario(), "formats");
    run.start();
    for (int ink = 0; ink < 2; ++ink) {
        for (const auto& c : cases) {
            run.view.inkChecked = ink == 1;
            run.session->Option_HCFormat_Click(static_cast<int16_t>(c.option));
            run.session->Button_GetHardCopy_Click();
            const std::string bytes = test::readFile(run.file(c.ext));
            ASSERT_GE(bytes.size(), c.magic.size()) << c.option;
            EXPECT_EQ(bytes.substr(0, c.magic.size()), c.magic) << c.option;
            if (c.size) {
                EXPECT_EQ(bytes.size(), c.size) << c.option;
            }
            const auto& settings = run.bus->instrumentAt(1)->settings();
            EXPECT_EQ(settings.inkSaver, ink == 1);
            EXPECT_EQ(settings.port, "GPIB");
        }
    }
    // Progress was shown with the picture's own length once the header was in.
    bool sawTotal = false;
    for (const auto& [received, total] : run.view.progress)
        sawTotal |= total == std::optional<std::size_t>(308278);
    EXPECT_TRUE(sawTotal || run.view.progress.empty());
}

TEST(CaptureOnSimulatedBus, RealScopeFilesAndAdversarialEndingsArriveByteForByte) {
    VELLUMIX_NEED_REAL_HARDCOPIES();
    const auto names = test::realHardCopyNames();
    ASSERT_EQ(names.size(), 18u);
    const std::string endings[] = {"", " ", "\n", "\r", "\r\n", "   ", "\n\r\n\r"};
    for (const auto& name : names) {
        std::string lower = fs::path(name).extension().string();
        for (char& ch : lower)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        const int option = lower == ".bmp" ? 0 : lower == ".pcx" ? 4 : 2;
        const std::string ext = lower == ".bmp" ? ".bmp" : lower == ".pcx" ? ".pcx" : ".tif";
        const std::string whole = test::realHardCopy(name);
        // Each ending is kept without a word; the file cut by one byte is kept and reported.
        std::vector<std::pair<std::string, bool>> deliveries;
        for (const auto& ending : endings)
            deliveries.emplace_back(whole + ending, false);
        deliveries.emplace_back(whole.substr(0, whole.size() - 1), true);
        for (const auto& [bytes, cut] : deliveries) {
            SCOPED_TRACE(name + ", " + std::to_string(bytes.size()) + " bytes");
            Scenario scenario;
            auto& scope = scenario.addScope(1, "ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41");
            scope.hardcopy = Payload::fromBytes(bytes);
            SimRun run(std::move(scenario), "real");
            run.start();
            run.session->Option_HCFormat_Click(static_cast<int16_t>(option));
            run.desktop.answers = {MsgAnswer::Ok, MsgAnswer::No};
            run.session->Button_GetHardCopy_Click();
            // A cut picture never becomes the current hard copy; it is kept aside and said so.
            const fs::path rejected = run.file(ext).parent_path() / ("Vellumix_Rejected." + ext);
            EXPECT_TRUE(test::readFile(cut ? rejected : run.file(ext)) == bytes);
            EXPECT_EQ(fs::exists(run.file(ext)), !cut);
            const bool told = !run.desktop.boxes.empty() &&
                              run.desktop.boxes[0].prompt.find("is incomplete") != std::string::npos;
            EXPECT_EQ(told, cut);
        }
    }
}

TEST(CaptureOnSimulatedBus, TimeoutLeavesFilesAndButtonsAsTheyWere) {
    Scenario scenario = Scenario::defaultScenario();
    scenario.rate = 0;
    scenario.latency = 0;
    scenario.hardcopyLatency.reset();
    Fault fault;
    fault.kind = Fault::Kind::ReadTimeout;
    fault.chunk = 3;
    fault.times = 1;
    scenario.instruments[0].faults.push_back(fault);
    SimRun run(std::move(scenario), "timeout");
    run.start();
    run.session->Button_GetHardCopy_Click(); // times out at the third chunk
    EXPECT_FALSE(fs::exists(run.file(".bmp")));
    EXPECT_FALSE(run.view.buttons[Button::SaveToFile]);
    ASSERT_EQ(run.desktop.boxes.size(), 1u);
    EXPECT_EQ(run.desktop.boxes[0].title, "I/O Error");
    EXPECT_GE(run.clock.now(), std::chrono::seconds(10)) << "the ten-second read timeout passed, virtually";

    run.session->Button_GetHardCopy_Click(); // works again
    EXPECT_EQ(test::readFile(run.file(".bmp")).size(), 308278u);
    EXPECT_TRUE(run.view.buttons[Button::SaveToFile]);
}

TEST(CaptureOnSimulatedBus, ScenarioFilesForEachFamily) {
    const struct {
        const char* file;
        const char* captionEnd;
        std::array<bool, 6> enabled;
        bool ink;
        std::size_t bmpSize = 0; // of the first capture, in the preselected BMP format; 0: not checked
    } cases[] = {
        {"tds210.json", "Connected to TDS 210 @ GPIB Addr: 1", {1, 0, 0, 0, 1, 0}, false, 9662},
        {"tds420a.json", "@ GPIB Addr:", {1, 0, 1, 0, 1, 0}, false, 38462},
        {"tds2024.json", "@ GPIB Addr:", {1, 0, 1, 0, 1, 0}, true, 77878},
        {"tds754c.json", "@ GPIB Addr:", {1, 1, 1, 0, 1, 1}, false},
        {"tds3054b.json", "Connected to TDS 3054B @ GPIB Addr: 1", {1, 1, 1, 1, 1, 1}, true},
        {"multi.json", "Connected to TDS 754C @ GPIB Addr: 7", {1, 1, 1, 0, 1, 1}, false},
        {"fourteen.json", "@ GPIB Addr:", {}, false},
    };
    for (const auto& c : cases) {
        Scenario scenario;
        std::string error;
        ASSERT_TRUE(
            loadScenarioFile(std::string(VELLUMIX_SOURCE_DIR) + "/tests/data/" + c.file, scenario, error))
            << error;
        scenario.rate = 0;
        scenario.latency = 0;
        scenario.hardcopyLatency.reset();
        SimRun run(std::move(scenario), "family");
        run.start();
        EXPECT_NE(run.view.captionText.find(c.captionEnd), std::string::npos)
            << c.file << ": " << run.view.captionText;
        if (std::string(c.file) != "fourteen.json") {
            EXPECT_EQ(run.view.enabled, c.enabled) << c.file;
            EXPECT_EQ(run.view.inkEnabled, c.ink) << c.file;
        }
        run.desktop.boxes.clear();
        run.session->Button_GetHardCopy_Click();
        EXPECT_TRUE(run.view.buttons[Button::SaveToFile]) << c.file;
        for (const auto& box : run.desktop.boxes)
            EXPECT_EQ(box.prompt.find("incomplete"), std::string::npos) << c.file << ": " << box.prompt;
        if (c.bmpSize) {
            EXPECT_EQ(fs::file_size(run.file(".bmp")), c.bmpSize) << c.file;
        }
    }
}

TEST(CaptureOnSimulatedBus, StartUpFailuresEndWithTheirMessage) {
    const struct {
        const char* file;
        const char* title;
        FatalReason reason;
    } cases[] = {
        {"no-listeners.json", "Initialization Error 14", FatalReason::NoListeners},
        {"too-many.json", "Initialization Error 20", FatalReason::TooManyListeners},
        {"no-match.json", "Expected Id-response from device not found", FatalReason::IdNotFound},
        {"unsupported.json", "TDS", FatalReason::UnsupportedModel},
        // The scope is found, but no read can end without status words: the driver is named.
        {"no-status.json", "GPIB Driver Error", FatalReason::DriverUnusable},
    };
    for (const auto& c : cases) {
        Scenario scenario;
        std::string error;
        ASSERT_TRUE(
            loadScenarioFile(std::string(VELLUMIX_SOURCE_DIR) + "/tests/data/" + c.file, scenario, error))
            << error;
        SimRun run(std::move(scenario), "fail");
        try {
            run.start();
            FAIL() << c.file << " did not end";
        } catch (const ProgramEnded& e) {
            EXPECT_EQ(e.reason, c.reason) << c.file;
        }
        ASSERT_FALSE(run.desktop.boxes.empty()) << c.file;
        EXPECT_EQ(run.desktop.boxes.back().title.substr(0, std::string(c.title).size()), c.title) << c.file;
        EXPECT_EQ(run.desktop.boxes.back().flags, 16);
        EXPECT_TRUE(run.desktop.settingWrites.empty());
    }
}

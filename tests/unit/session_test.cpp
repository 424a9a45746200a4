// The main window's logic without widgets: start-up, first activation, format choice, capture,
// shutdown, save and import, against a scripted driver, a fake view and a scripted desktop.
#include "app/session.h"
#include "tests/support/fakes.h"
#include "tests/support/files.h"
#include "tests/support/pictures.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

using namespace vellumix;
using namespace vellumix::gpib;
using vellumix::test::FakeDesktop;
using vellumix::test::FakeView;
using vellumix::test::ProgramEnded;
using vellumix::test::ScriptedDriver;
namespace fs = std::filesystem;

namespace {

// Records when the busy pointer changes, relative to the commands already written.
struct TracingDesktop : FakeDesktop {
    ScriptedDriver* driver = nullptr;
    std::vector<std::string> events;
    void setBusyPointer(bool busy) override {
        FakeDesktop::setBusyPointer(busy);
        events.push_back(std::string(busy ? "busy after " : "idle after ") +
                         std::to_string(driver->written.size()));
    }
    MsgAnswer messageBox(const std::string& prompt, int flags, const std::string& title) override {
        events.push_back("box " + title);
        return FakeDesktop::messageBox(prompt, flags, title);
    }
};

struct SessionFixture : ::testing::Test {
    ScriptedDriver driver;
    TracingDesktop desktop;
    VirtualClock clock;
    FakeView view;
    InstrumentLink link{driver, desktop, clock};
    HardCopySession session{link, desktop, view};
    test::ScratchDir scratch{"session"};
    fs::path home = scratch.path();

    void SetUp() override {
        fs::create_directories(home / "appdata");
        desktop.env["AppData"] = (home / "appdata").string();
        desktop.env["HOME"] = home.string();
        desktop.driver = &driver;
        view.onShowPicture = [this](const std::string&) { desktop.events.push_back("show"); };
    }

    // A bus with the scope at address 1 answering with this identification.
    void start(const std::string& id = "ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41\n",
               const std::string& args = "") {
        driver.listeners = {0, 1};
        driver.reads.push_back({id}); // the search's probe
        driver.reads.push_back({id}); // identification
        session.Load(args);
        session.Activate();
    }

    fs::path dataFolder() const { return home / "appdata" / "Vellumix"; }

    void capture(const std::string& picture) {
        driver.reads.push_back({picture});
        driver.written.clear();
        session.Button_GetHardCopy_Click();
    }
};

} // namespace

TEST_F(SessionFixture, ScopeTypePromptOnSel) {
    // The program's own --bus option is not searched: a scenario path may well hold "sel".
    const struct {
        std::vector<std::string> args;
        bool prompt;
    } cases[] = {
        {{}, false},
        {{"/SEL"}, true},
        {{"-Select"}, true},
        {{"sel"}, true},
        {{"--bus", "sim"}, false},
        {{"--bus", "sim:/home/vessel/selftest.json"}, false},
        {{"--bus=sim:/tmp/selftest.json"}, false},
        {{"--bus", "sim:/tmp/selftest.json", "/sel"}, true},
        {{"s", "e", "l"}, false},
        {{"XSeLy"}, true},
    };
    for (const auto& c : cases) {
        FakeDesktop d;
        d.inputAnswer = "tds 3054b";
        ScriptedDriver drv;
        drv.reads = {{"TEK/TDS 3054B,x\n"}};
        InstrumentLink l(drv, d, clock);
        FakeView v;
        HardCopySession s(l, d, v);
        const std::string arguments = programArguments(c.args);
        s.Load(arguments);
        EXPECT_EQ(d.inputPrompts.size(), c.prompt ? 1u : 0u) << arguments;
        if (c.prompt) {
            EXPECT_EQ(d.inputPrompts[0], "Enter the TDS type you want to connect to");
        }
    }
}

TEST_F(SessionFixture, PromptAnswerBecomesTheExpectedTextInUpperCase) {
    const struct {
        std::string answer;
        std::string reply;
        std::string expectedInBox; // empty: found
    } cases[] = {
        {"tds 210", "TEK/TDS 220,CF\n", "TDS 210"},
        {"tds 210", "TEK/TDS 210,CF\n", ""},
        {"TDS ", "TEK/TDS2024,CF\n", "TDS "},
        {"", "ANYTHING\n", ""}, // Cancel: the empty text matches any reply
    };
    for (const auto& c : cases) {
        FakeDesktop d;
        d.inputAnswer = c.answer;
        ScriptedDriver drv;
        drv.reads = {{c.reply}};
        InstrumentLink l(drv, d, clock);
        FakeView v;
        HardCopySession s(l, d, v);
        try {
            s.Load("/sel");
            EXPECT_TRUE(c.expectedInBox.empty()) << c.answer;
        } catch (const ProgramEnded&) {
            ASSERT_EQ(d.boxes.size(), 1u);
            EXPECT_NE(d.boxes[0].prompt.find("Expected Response: " + c.expectedInBox + "\n"),
                      std::string::npos)
                << d.boxes[0].prompt;
        }
    }
}

TEST_F(SessionFixture, LoadBuildsCaptionAndOpensTheScopeWithThreeSeconds) {
    driver.listeners = {0, 1};
    driver.reads = {{"ID TEK/TDS 3054B,CF\n"}};
    session.Load("");
    EXPECT_EQ(view.captionText, "Vellumix, v1.25 - Dec 2024 / QZ");
    EXPECT_EQ(session.AppVersion, "1.25");
    EXPECT_EQ(session.AppDate, "Dec 2024");
    EXPECT_EQ(session.ScopeDevice, 16);
    EXPECT_EQ(driver.timeouts[16], T3s);
    EXPECT_EQ(link.ListenerDevices[1], 16);
}

TEST_F(SessionFixture, QuietSearchWithoutDeviceStopsAtLoad) {
    desktop.inputAnswer = "!tds 999";
    driver.reads = {{"TEK/TDS 210,x\n"}};
    EXPECT_THROW(session.Load("sel"), ProgramEnded);
    EXPECT_EQ(desktop.ended, FatalReason::DeviceNotConfigured);
}

TEST_F(SessionFixture, FirstActivationForEachFamily) {
    const struct {
        std::string id;
        std::array<bool, 6> enabled;
        bool ink;
        int checked;
        std::string cap0, cap4, model;
    } cases[] = {
        {"ID TEK/TDS 210,CF:91.1CT,FV:v2.12\n", {1, 0, 0, 0, 1, 0}, false, 0, "BMP", "PCX", "TDS 210"},
        {"TEKTRONIX,TDS 420A,0,CF\n", {1, 0, 1, 0, 1, 0}, false, 0, "BMP", "PCX", "TDS 420A"},
        {"ID TEK/TDS 2024,CF\n", {1, 0, 1, 0, 1, 0}, true, 0, "BMP", "PCX", "TDS 2024"},
        {"ID TEK/TDS 754C,CF\n", {1, 1, 1, 0, 1, 1}, false, 1, "BMP (MONO)", "PCX (MONO)", "TDS 754C"},
        {"ID TEK/TDS 3054B,CF\n", {1, 1, 1, 1, 1, 1}, true, 1, "BMP (MONO)", "PCX (MONO)", "TDS 3054B"},
    };
    for (const auto& c : cases) {
        ScriptedDriver drv;
        TracingDesktop d;
        d.driver = &drv;
        d.env = desktop.env;
        InstrumentLink l(drv, d, clock);
        FakeView v;
        HardCopySession s(l, d, v);
        drv.listeners = {0, 1};
        drv.reads = {{c.id}, {c.id}};
        s.Load("");
        s.Activate();
        EXPECT_EQ(v.enabled, c.enabled) << c.id;
        EXPECT_EQ(v.inkEnabled, c.ink) << c.id;
        EXPECT_EQ(v.checked, c.checked) << c.id;
        EXPECT_EQ(v.captions[0], c.cap0);
        EXPECT_EQ(v.captions[4], c.cap4);
        EXPECT_EQ(v.captionText,
                  "Vellumix, v1.25 - Dec 2024 / QZ   -   Connected to " + c.model + " @ GPIB Addr: 1");
        EXPECT_FALSE(v.buttons[Button::ImportLastFile]) << "no last file";
        ASSERT_EQ(v.splashes.size(), 1u);
        EXPECT_EQ(v.splashes[0], (std::pair<std::string, int>("Vellumix, v1.25 - Dec 2024 / QZ", 2000)));
        EXPECT_TRUE(s.Activated);
    }
    EXPECT_TRUE(fs::is_directory(home / "appdata" / "Vellumix"));
}

TEST_F(SessionFixture, AddressInCaptionComesFromTheListenerSlot) {
    driver.listeners = {0, 3, 12, 27};
    driver.reads = {{"FLUKE 45\n"}, {"KEITHLEY\n"}, {"TEK/TDS 744A,x\n"}, {"TEK/TDS 744A,x\n"}};
    session.Load("");
    session.Activate();
    EXPECT_EQ(link.ScopeAddress, 27);
    EXPECT_TRUE(view.captionText.ends_with("Connected to TDS 744A @ GPIB Addr: 27"));
}

TEST_F(SessionFixture, RestoresTheFormatFromTheLastFileName) {
    const struct {
        std::string id;
        std::string last;
        int checked;
        std::string word;
        bool import;
    } cases[] = {
        {"TEK/TDS 3054B,x\n", "", 1, "BMPCOLOR", false},
        {"TEK/TDS 3054B,x\n", "Vellumix_Temp..bmp", 1, "BMPCOLOR", true},
        {"TEK/TDS 3054B,x\n", "Vellumix_Temp..tif", 2, "TIFF", true},
        {"TEK/TDS 3054B,x\n", "Vellumix_Temp..png", 3, "PNG", true},
        {"TEK/TDS 3054B,x\n", "Vellumix_Temp..pcx", 5, "PCXCOLOR", true},
        {"TEK/TDS 3054B,x\n", "Vellumix_Temp..BMP", 1, "BMPCOLOR", true}, // upper case: left as identified
        {"TEK/TDS 3054B,x\n", "xy", 1, "BMPCOLOR", true},
        {"TEK/TDS 210,x\n", "Vellumix_Temp..tif", 0, "BMP", true}, // no TIFF: BMP stays
        {"TEK/TDS 210,x\n", "Vellumix_Temp..png", 0, "BMP", true},
        {"TEK/TDS 210,x\n", "Vellumix_Temp..pcx", 4, "PCX", true}, // no PCX colour: mono
        {"TEK/TDS 420A,x\n", "Vellumix_Temp..tif", 2, "TIFF", true},
        {"TEK/TDS 3054B,x\n", "../../etc/passwd", 1, "BMPCOLOR", false}, // not a plain name: ignored
        {"TEK/TDS 3054B,x\n", "/tmp/evil.png", 1, "BMPCOLOR", false},
    };
    for (const auto& c : cases) {
        ScriptedDriver drv;
        FakeDesktop d;
        d.env = desktop.env;
        d.settings[SettingLastFileName] = c.last;
        InstrumentLink l(drv, d, clock);
        FakeView v;
        HardCopySession s(l, d, v);
        drv.reads = {{c.id}, {c.id}};
        s.Load("");
        s.Activate();
        EXPECT_EQ(v.checked, c.checked) << c.id << c.last;
        EXPECT_EQ(s.FormatWord, c.word) << c.id << c.last;
        EXPECT_EQ(v.buttons[Button::ImportLastFile], c.import) << c.id << c.last;
    }
}

TEST_F(SessionFixture, LaterActivationsAndFormatClicks) {
    start();
    const auto caption = view.captionText;
    session.Activate();
    EXPECT_EQ(view.captionText, caption);
    EXPECT_EQ(view.splashes.size(), 1u);

    // BMP mono/colour share the extension; any click after start-up disables import.
    desktop.settings[SettingLastFileName] = "x";
    view.buttons[Button::ImportLastFile] = true;
    session.Option_HCFormat_Click(0);
    EXPECT_EQ(session.FormatWord, "BMP");
    EXPECT_EQ(session.FileExt, ".bmp");
    EXPECT_FALSE(view.buttons[Button::ImportLastFile]);
    session.Option_HCFormat_Click(5);
    EXPECT_EQ(session.FileExt, ".pcx");
    session.Option_HCFormat_Click(4);
    EXPECT_EQ(session.FormatWord, "PCX");
    EXPECT_EQ(session.FileExt, ".pcx");
}

TEST_F(SessionFixture, UnsupportedAndUnidentifiedModelsEndTheProgram) {
    const struct {
        std::string id;
        std::string text;
    } cases[] = {
        {"TEK/TDS 5104,x\n", "TDS 5104 is NOT supported by this software."},
        {"TEK/TDS 650,x\n", "TDS 650 is NOT supported by this software."},
        {"TDS ABC,\n", "TDS ABC is NOT supported by this software."},
        // Instrument bytes are Latin-1: 0xB5 is the micro sign, shown as such.
        {"TEK/TDS 9\xB5,x\n", "TDS 9\xC2\xB5 is NOT supported by this software."},
    };
    for (const auto& c : cases) {
        ScriptedDriver drv;
        FakeDesktop d;
        d.env = desktop.env;
        InstrumentLink l(drv, d, clock);
        FakeView v;
        HardCopySession s(l, d, v);
        drv.reads = {{c.id}, {c.id}};
        s.Load("");
        EXPECT_THROW(s.Activate(), ProgramEnded);
        ASSERT_EQ(d.boxes.size(), 1u);
        EXPECT_EQ(d.boxes[0].prompt, c.text);
        EXPECT_EQ(d.boxes[0].title, "TDS");
        EXPECT_EQ(d.boxes[0].flags, 16);
        EXPECT_EQ(d.ended, FatalReason::UnsupportedModel);
        EXPECT_TRUE(d.settingWrites.empty());
    }
    // An empty identification (the read failed) does not crash either.
    ScriptedDriver drv;
    FakeDesktop d;
    d.env = desktop.env;
    InstrumentLink l(drv, d, clock);
    FakeView v;
    HardCopySession s(l, d, v);
    drv.reads = {{"TEK/TDS 210,x\n"}};
    s.Load("");
    EXPECT_THROW(s.Activate(), ProgramEnded);
    ASSERT_EQ(d.boxes.size(), 2u);
    EXPECT_EQ(d.boxes[0].title, "I/O Error");
    EXPECT_EQ(d.boxes[1].title, "TDS");
}

TEST_F(SessionFixture, DataFolderThatCannotBeCreatedIsReportedNotFatal) {
    test::writeFile(home / "appdata" / "Vellumix", "a file where the folder should be");
    start();
    bool told = false;
    for (const auto& b : desktop.boxes)
        told |= b.title == "Data Folder";
    EXPECT_TRUE(told);
    EXPECT_TRUE(session.Activated);
}

TEST_F(SessionFixture, CaptureSendsTheSevenCommandsForEveryFormat) {
    start();
    const char* words[] = {"BMP", "BMPCOLOR", "TIFF", "PNG", "PCX", "PCXCOLOR"};
    for (int ink = 0; ink < 2; ++ink) {
        for (int i = 0; i < 6; ++i) {
            view.inkChecked = ink == 1;
            session.Option_HCFormat_Click(static_cast<int16_t>(i));
            capture("picture");
            EXPECT_EQ(driver.written,
                      (std::vector<std::string>{std::string("HARDCOPY:FORMAT ") + words[i],
                                                ink ? "HARDCOPY:INKSAVER ON" : "HARDCOPY:INKSAVER OFF",
                                                "HARDCOPY:PALLET NORMAL", "HARDCOPY:COMPRESSION OFF",
                                                "HARDCOPY:LAYOUT PORTRAIT", "HARDCOPY:PORT GPIB",
                                                "HARDCOPY START"}));
        }
    }
}

TEST_F(SessionFixture, CaptureWritesTheBytesExactlyAndShowsBmp) {
    start();
    const std::string endings[] = {" ", "\n", "\r", "\r\n", "  ", std::string("\0", 1)};
    for (const auto& e : endings) {
        std::string picture = test::wholeBmp(); // whole by its header; what follows is kept as it came
        for (int i = 0; i < 3000; ++i)
            picture.push_back(static_cast<char>((i * 31) & 0xff));
        picture += e;
        desktop.events.clear();
        capture(picture);
        const fs::path file = dataFolder() / "Vellumix_Temp..bmp";
        EXPECT_EQ(test::readFile(file), picture);
        EXPECT_EQ(session.CurrentFileName, "Vellumix_Temp..bmp");
        EXPECT_EQ(view.picture, file.string());
        EXPECT_TRUE(view.buttons[Button::OpenInWin]);
        EXPECT_TRUE(view.buttons[Button::SaveToFile]);
        EXPECT_FALSE(view.buttons[Button::ImportLastFile]);
        // Busy from just before the port command until the file is written, and off before the
        // picture is loaded.
        EXPECT_EQ(desktop.events, (std::vector<std::string>{"busy after 5", "idle after 7", "show"}));
    }
}

TEST_F(SessionFixture, NonBmpCaptureAsksAndOpensTheViewerOnYes) {
    start();
    session.Option_HCFormat_Click(3);
    desktop.answers = {MsgAnswer::Yes};
    capture(test::wholePng());
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_EQ(desktop.boxes[0].prompt, "Only bmp-format pictures can be displayed here.\n\n"
                                       "Do you want to open it with your default Windows viewer ?");
    EXPECT_EQ(desktop.boxes[0].title, "Show current Hard Copy");
    EXPECT_EQ(desktop.boxes[0].flags, 4);
    ASSERT_EQ(desktop.opened.size(), 1u);
    EXPECT_EQ(desktop.opened[0].target, (dataFolder() / "Vellumix_Temp..png").string());
    EXPECT_EQ(view.picture, "");

    desktop.boxes.clear();
    session.Option_HCFormat_Click(2);
    capture(test::wholeTiff());
    EXPECT_EQ(desktop.opened.size(), 1u) << "No opens nothing";
    EXPECT_TRUE(view.buttons[Button::SaveToFile]);
    EXPECT_TRUE(view.buttons[Button::OpenInWin]);
}

TEST_F(SessionFixture, OnlyBmpIsLoadedIntoThePictureBoxOthersAsk) {
    start("ID TEK/TDS 754C,CF:91.1CT,FV:v6.4e\n");
    const struct {
        int option;
        std::string picture;
        const char* file;
    } cases[] = {
        {2, test::wholeTiff(), "Vellumix_Temp..tif"},
        {3, test::wholePng(), "Vellumix_Temp..png"},
        {4, test::wholePcx(false), "Vellumix_Temp..pcx"},
        {5, test::wholePcx(true), "Vellumix_Temp..pcx"},
    };
    for (const auto& c : cases) {
        session.Option_HCFormat_Click(static_cast<int16_t>(c.option));
        desktop.events.clear();
        desktop.answers = {MsgAnswer::No};
        capture(c.picture);
        EXPECT_EQ(view.picture, "") << c.file;
        EXPECT_EQ(session.CurrentFileName, c.file);
        // The question comes once the busy pointer is off; nothing is loaded into the box.
        EXPECT_EQ(desktop.events,
                  (std::vector<std::string>{"busy after 5", "idle after 7", "box Show current Hard Copy"}))
            << c.file;
    }
}

TEST_F(SessionFixture, AFailedSetupCommandAnsweredWithOkDoesNotStopTheCapture) {
    start();
    const char* setup[] = {"HARDCOPY:FORMAT BMPCOLOR", "HARDCOPY:INKSAVER OFF",    "HARDCOPY:PALLET NORMAL",
                           "HARDCOPY:COMPRESSION OFF", "HARDCOPY:LAYOUT PORTRAIT", "HARDCOPY:PORT GPIB"};
    for (const char* command : setup) {
        driver.writeResults.clear();
        driver.writeResults[command] = {ERR, ENOL, 0};
        desktop.boxes.clear();
        desktop.answers = {MsgAnswer::Ok};
        const std::string picture = test::wholeBmp() + command; // kept after the picture's end
        capture(picture);
        EXPECT_EQ(driver.written.size(), 7u) << command;
        ASSERT_EQ(desktop.boxes.size(), 1u) << command;
        EXPECT_EQ(desktop.boxes[0].title, "GPIB ERROR # 2");
        EXPECT_EQ(test::readFile(dataFolder() / "Vellumix_Temp..bmp"), picture) << command;
    }
}

TEST_F(SessionFixture, FailedCaptureChangesNothing) {
    start();
    capture((test::wholeBmp() + "first"));
    const fs::path file = dataFolder() / "Vellumix_Temp..bmp";
    view.buttons[Button::ImportLastFile] = true; // as if still offered
    // A timeout at the second chunk.
    driver.reads.push_back({std::string(512, 'B'), CMPL});
    driver.reads.push_back({"", ERR | TIMO, EABO});
    driver.written.clear();
    session.Button_GetHardCopy_Click();
    EXPECT_EQ(test::readFile(file), (test::wholeBmp() + "first"));
    EXPECT_EQ(view.picture, "");
    EXPECT_TRUE(view.buttons[Button::ImportLastFile]);
    EXPECT_EQ(desktop.busyTrace.back(), "off");
    // A failed start command acknowledged with OK: no read at all.
    driver.writeResults["HARDCOPY START"] = {ERR, ENOL, 0};
    driver.reads.push_back({(test::wholeBmp() + "second")});
    session.Button_GetHardCopy_Click();
    EXPECT_EQ(test::readFile(file), (test::wholeBmp() + "first"));
    EXPECT_EQ(driver.reads.size(), 1u);
}

// Cancel (the button, Esc) while the picture comes: no file written, no box, the device cleared,
// the previous hard copy current and shown again, and the next capture whole.
TEST_F(SessionFixture, CancelledCaptureKeepsThePreviousHardCopy) {
    start();
    capture(test::wholeBmp() + "first");
    const fs::path file = dataFolder() / "Vellumix_Temp..bmp";
    const struct {
        const char* name;
        int cancelAtPoll; // 1: as the first piece arrives
    } cases[] = {{"first piece", 1}, {"third piece", 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < 5; ++i)
            driver.reads.push_back({std::string(512, 'B'), CMPL});
        driver.reads.push_back({"end"});
        view.polls = 0;
        view.cancelOffered.clear();
        view.onPoll = [&] {
            if (view.polls == c.cancelAtPoll) session.Cancel_Click();
            clock.advance(std::chrono::milliseconds(150)); // the next piece is shown too
        };
        desktop.boxes.clear();
        driver.calls.clear();
        session.Button_GetHardCopy_Click();
        EXPECT_TRUE(test::readFile(file) == test::wholeBmp() + "first");
        EXPECT_EQ(session.CurrentFileName, "Vellumix_Temp..bmp");
        EXPECT_EQ(view.picture, file.string()) << "shown again";
        EXPECT_EQ(view.note, "Hard copy cancelled.");
        EXPECT_TRUE(desktop.boxes.empty());
        EXPECT_EQ(view.cancelOffered, (std::vector<bool>{true, false}));
        EXPECT_EQ(driver.reads.size(), static_cast<std::size_t>(6 - c.cancelAtPoll)) << "no read after it";
        EXPECT_NE(std::find_if(driver.calls.begin(), driver.calls.end(),
                               [](const std::string& call) { return call.rfind("ibclr", 0) == 0; }),
                  driver.calls.end());
        EXPECT_TRUE(view.buttons[Button::SaveToFile]);
        driver.reads.clear();
    }
    view.onPoll = {};
    capture(test::wholeBmp() + "second");
    EXPECT_TRUE(test::readFile(file) == test::wholeBmp() + "second");
    // Cancel outside a capture does nothing to the next one.
    session.Cancel_Click();
    capture(test::wholeBmp() + "third");
    EXPECT_TRUE(test::readFile(file) == test::wholeBmp() + "third");
}

TEST_F(SessionFixture, CopyPutsTheCurrentHardCopyOnTheClipboard) {
    start();
    session.Copy_Click();
    EXPECT_TRUE(view.copied.empty()) << "nothing captured yet";
    capture(test::wholeBmp() + "bytes");
    const std::string path = (dataFolder() / "Vellumix_Temp..bmp").string();
    session.Copy_Click();
    EXPECT_EQ(view.copied, std::vector<std::string>{path});
    EXPECT_TRUE(desktop.boxes.empty());
    view.pictureCopies = false;
    session.Copy_Click();
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_EQ(desktop.boxes[0].title, "Copy Hard Copy");
}

TEST_F(SessionFixture, CapturesOfOneExtensionReplaceEachOtherOnly) {
    start();
    capture((test::wholeBmp() + "one"));
    capture((test::wholeBmp() + "two"));
    session.Option_HCFormat_Click(4);
    capture((test::wholePcx(false) + "pcx"));
    EXPECT_EQ(test::readFile(dataFolder() / "Vellumix_Temp..bmp"), (test::wholeBmp() + "two"));
    EXPECT_EQ(test::readFile(dataFolder() / "Vellumix_Temp..pcx"), (test::wholePcx(false) + "pcx"));
}

TEST_F(SessionFixture, UnwritableCaptureFileIsReportedAndTheOldFileKept) {
#ifdef _WIN32
    GTEST_SKIP() << "a read-only folder does not stop writes on Windows";
#else
    start();
    capture((test::wholeBmp() + "old"));
    fs::permissions(dataFolder(), fs::perms::owner_read | fs::perms::owner_exec);
    desktop.boxes.clear();
    capture((test::wholeBmp() + "new"));
    fs::permissions(dataFolder(), fs::perms::owner_all);
    if (::getuid() == 0) GTEST_SKIP() << "root writes anywhere";
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_NE(desktop.boxes[0].prompt.find("could not be written"), std::string::npos);
    EXPECT_EQ(test::readFile(dataFolder() / "Vellumix_Temp..bmp"), (test::wholeBmp() + "old"));
#endif
}

TEST_F(SessionFixture, CaptureFileBlockedByAFolderIsReported) {
    start();
    fs::create_directories(dataFolder() / "Vellumix_Temp..bmp");
    capture((test::wholeBmp() + "new"));
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_NE(desktop.boxes[0].prompt.find("could not be written"), std::string::npos);
    EXPECT_FALSE(view.buttons[Button::SaveToFile]) << "no file to save";
    EXPECT_EQ(desktop.busyTrace.back(), "off");
}

TEST_F(SessionFixture, IncompletePicturesAreKeptAndReported) {
    VELLUMIX_NEED_REAL_HARDCOPIES();
    start();
    const auto real = [](const char* name, std::size_t keep) {
        return test::realHardCopy(name).substr(0, keep);
    };
    const struct {
        int16_t option;
        std::string picture;
        const char* report; // empty: no report
    } cases[] = {
        {0, real("tds420a_bmp_mono_0.bmp", 20000), "is incomplete: 20000 of 38462 bytes came"},
        {0, real("tds420a_bmp_mono_0.bmp", 38462), ""}, // its false file-header size (975) is not believed
        {0, real("tds420a_bmp_mono_0.bmp", 38462) + "\r\n", ""}, // bytes after the end: kept, no alarm
        {0, "BM" + std::string(30, '\1'), "is incomplete: 32 of at least 54 bytes came"},
        {0, real("tds420a_bmp_mono_0.bmp", 38462).substr(1), "sent 38461 bytes that are not a BMP picture"},
        {0, "BM" + std::string(60, '\0'), "sent 62 bytes that are not a BMP picture"},
        {2, real("tds2000-4ch_tiff_0.tif", 19223), "is incomplete: 19223 of 19224 bytes came"},
        {2, real("tds420a_tiff_0.tiff", 37810), "is incomplete: 37810 of at least 38410 bytes came"},
        {2, real("tds420a_tiff_0.tiff", 38810), ""},
        {2, real("tds420a_bmp_mono_0.bmp", 38462), "sent 38462 bytes that are not a TIFF picture"},
        {4, real("tds420a_pcx_0.pcx", 17965), "is incomplete: 17965 bytes came"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report);
        session.Option_HCFormat_Click(c.option);
        desktop.boxes.clear();
        const std::string ext = c.option == 0 ? ".bmp" : c.option == 2 ? ".tif" : ".pcx";
        const fs::path current = dataFolder() / ("Vellumix_Temp." + ext);
        const fs::path rejected = dataFolder() / ("Vellumix_Rejected." + ext);
        const std::string before = test::readFile(current);
        capture(c.picture);
        const bool good = *c.report == '\0';
        // A good picture becomes the current hard copy; anything else is kept aside, the current stays.
        EXPECT_TRUE(test::readFile(good ? current : rejected) == c.picture) << "kept as it came";
        if (!good) {
            EXPECT_TRUE(test::readFile(current) == before) << "the previous hard copy stays";
        } else {
            EXPECT_TRUE(view.buttons[Button::SaveToFile]);
        }
        const bool told = !desktop.boxes.empty() && desktop.boxes[0].title == "Get Hard Copy";
        EXPECT_EQ(told, !good);
        if (told) {
            const std::string opening =
                std::string(c.report).rfind("sent", 0) == 0 ? "The scope " : "The hard copy ";
            EXPECT_EQ(desktop.boxes[0].prompt,
                      opening + c.report + ".\n\nThey were kept for inspection in\n" + rejected.string() +
                          "\n\nThe previous hard copy is unchanged.");
            EXPECT_EQ(desktop.boxes[0].flags, 48);
        }
    }
}

TEST_F(SessionFixture, BmpThatCannotBeShownIsReported) {
    start();
    view.pictureLoads = false;
    capture(test::wholeBmp());
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_EQ(desktop.boxes[0].flags, 48);
    EXPECT_TRUE(view.buttons[Button::SaveToFile]) << "the file is there all the same";
}

TEST_F(SessionFixture, LastFileNameWrittenOnlyWhenItChanged) {
    const struct {
        std::string stored;
        bool capture;
        bool import;
        std::optional<std::string> written;
    } cases[] = {
        {"", false, false, std::nullopt},
        {"Vellumix_Temp..png", false, false, std::nullopt},
        {"Vellumix_Temp..bmp", true, false, std::nullopt}, // same name again
        {"Vellumix_Temp..png", true, false, "Vellumix_Temp..bmp"},
        {"", true, false, "Vellumix_Temp..bmp"},
        {"Vellumix_Temp..bmp", false, true, std::nullopt},
    };
    for (const auto& c : cases) {
        ScriptedDriver drv;
        FakeDesktop d;
        d.env = desktop.env;
        d.settings[SettingLastFileName] = c.stored;
        InstrumentLink l(drv, d, clock);
        FakeView v;
        HardCopySession s(l, d, v);
        drv.reads = {{"TEK/TDS 3054B,x\n"}, {"TEK/TDS 3054B,x\n"}};
        s.Load("");
        s.Activate();
        if (!c.stored.empty()) test::writeFile(fs::path(s.DataFolder) / c.stored, (test::wholeBmp() + "old"));
        if (c.capture) {
            s.Option_HCFormat_Click(1);
            drv.reads.push_back({(test::wholeBmp() + "new")});
            s.Button_GetHardCopy_Click();
        }
        if (c.import) s.Button_ImportLastFile_Click();
        d.settingWrites.clear();
        s.Unload();
        if (c.written) {
            ASSERT_EQ(d.settingWrites.size(), 1u) << c.stored;
            EXPECT_EQ(d.settingWrites[0],
                      (std::pair<std::string, std::string>(SettingLastFileName, *c.written)));
        } else {
            EXPECT_TRUE(d.settingWrites.empty()) << c.stored;
        }
    }
}

TEST_F(SessionFixture, SaveUsesTheDialogAndRemembersOtherFolders) {
    start();
    capture((test::wholeBmp() + "picture"));
    fs::create_directories(home / "Documents");
    fs::create_directories(home / "elsewhere");

    // Default folder, saved into it: nothing written.
    desktop.saveAnswer = SaveDialogResult{(home / "Documents" / "shot.bmp").string(), "shot.bmp"};
    session.Button_SaveToFile_Click();
    ASSERT_EQ(desktop.saveRequests.size(), 1u);
    const auto& r = desktop.saveRequests[0];
    EXPECT_EQ(r.title, "Save Hard Copy to File");
    EXPECT_EQ(r.initialDir, (home / "Documents").string());
    EXPECT_EQ(r.defaultExt, ".bmp");
    EXPECT_EQ(r.proposedName, "Vellumix ");
    EXPECT_EQ(r.filterDescription, "Picture File (*.bmp)");
    EXPECT_EQ(r.filterPattern, "*.bmp");
    EXPECT_TRUE(desktop.settingWrites.empty());
    EXPECT_EQ(test::readFile(home / "Documents" / "shot.bmp"), (test::wholeBmp() + "picture"));

    // Another folder: remembered without a trailing separator, and used next time.
    desktop.saveAnswer = SaveDialogResult{(home / "elsewhere" / "b.bmp").string(), "b.bmp"};
    session.Button_SaveToFile_Click();
    EXPECT_EQ(desktop.settings[SettingSavePath], (home / "elsewhere").string());
    session.Button_SaveToFile_Click();
    EXPECT_EQ(desktop.saveRequests.back().initialDir, (home / "elsewhere").string());
    EXPECT_EQ(desktop.settingWrites.size(), 1u);
    EXPECT_EQ(test::readFile(home / "elsewhere" / "b.bmp"), (test::wholeBmp() + "picture"));

    // Cancel: nothing at all.
    desktop.saveAnswer.reset();
    desktop.boxes.clear();
    session.Button_SaveToFile_Click();
    EXPECT_TRUE(desktop.boxes.empty());

    // A folder that does not exist is told and never becomes the next save's folder.
    desktop.saveAnswer = SaveDialogResult{(home / "missing" / "c.bmp").string(), "c.bmp"};
    session.Button_SaveToFile_Click();
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_EQ(desktop.boxes[0].flags, 48);
    EXPECT_NE(desktop.boxes[0].prompt.find((home / "missing").string()), std::string::npos);
    EXPECT_EQ(desktop.settings[SettingSavePath], (home / "elsewhere").string());
    EXPECT_FALSE(fs::exists(home / "missing"));

    // A failed copy is told, with the destination.
    fs::create_directories(home / "blocked" / "d.bmp"); // a folder where the file should go
    desktop.boxes.clear();
    desktop.saveAnswer = SaveDialogResult{(home / "blocked" / "d.bmp").string(), "d.bmp"};
    session.Button_SaveToFile_Click();
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_EQ(desktop.boxes[0].flags, 48);
    EXPECT_NE(desktop.boxes[0].prompt.find((home / "blocked" / "d.bmp").string()), std::string::npos);
}

TEST_F(SessionFixture, SaveAfterImportTakesTheImportedFilesExtension) {
    // A TDS 210 offers no TIFF, but the last run's file is one.
    desktop.settings[SettingLastFileName] = "Vellumix_Temp..tif";
    start("TEKTRONIX,TDS 210,0,CF:91.1CT FV:v2.03 TDS2MM:MMV:v1.04\n");
    test::writeFile(dataFolder() / "Vellumix_Temp..tif", test::wholeTiff());
    EXPECT_EQ(session.FileExt, ".bmp");
    desktop.answers = {MsgAnswer::No};
    session.Button_ImportLastFile_Click();
    fs::create_directories(home / "Documents");
    desktop.saveAnswer = SaveDialogResult{(home / "Documents" / "Vellumix 1.tif").string(), "Vellumix 1.tif"};
    session.Button_SaveToFile_Click();
    ASSERT_FALSE(desktop.saveRequests.empty());
    EXPECT_EQ(desktop.saveRequests.back().defaultExt, ".tif");
    EXPECT_EQ(desktop.saveRequests.back().filterPattern, "*.tif");
    EXPECT_EQ(desktop.saveRequests.back().filterDescription, "Picture File (*.tif)");
    EXPECT_EQ(test::readFile(home / "Documents" / "Vellumix 1.tif"), test::wholeTiff());
}

TEST_F(SessionFixture, SaveWithoutDocumentsFolderStartsInMyDocuments) {
    start();
    capture((test::wholeBmp() + "x"));
    desktop.saveAnswer.reset();
    session.Button_SaveToFile_Click();
    EXPECT_EQ(desktop.saveRequests.back().initialDir, (home / "My Documents").string());
}

TEST_F(SessionFixture, ImportShowsOrAsksAndMakesTheFileCurrent) {
    desktop.settings[SettingLastFileName] = "Vellumix_Temp..png";
    start();
    test::writeFile(dataFolder() / "Vellumix_Temp..png", test::wholePng());
    EXPECT_EQ(session.FileExt, ".png");
    desktop.answers = {MsgAnswer::No};
    session.Button_ImportLastFile_Click();
    EXPECT_TRUE(desktop.opened.empty());
    EXPECT_EQ(session.CurrentFileName, "Vellumix_Temp..png");
    EXPECT_TRUE(view.buttons[Button::OpenInWin]);
    EXPECT_TRUE(view.buttons[Button::SaveToFile]);
    EXPECT_FALSE(view.buttons[Button::ImportLastFile]);
    session.Button_OpenInWin_Click();
    ASSERT_EQ(desktop.opened.size(), 1u);
    EXPECT_EQ(desktop.opened[0].target, (dataFolder() / "Vellumix_Temp..png").string());
}

TEST_F(SessionFixture, ImportOfBmpAndOfAMissingFile) {
    desktop.settings[SettingLastFileName] = "Vellumix_Temp..bmp";
    start();
    session.Button_ImportLastFile_Click();
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_NE(desktop.boxes[0].prompt.find("no longer exists"), std::string::npos);
    EXPECT_FALSE(view.buttons[Button::SaveToFile]);
    EXPECT_EQ(session.CurrentFileName, "");

    // A file damaged since it was written, or none of its extension's format, is not made current.
    const struct {
        std::string bytes;
        const char* problem;
    } bad[] = {
        {"BM", "is incomplete: 2 of at least 54 bytes."},
        {test::wholePng(), "holds 45 bytes that are not a BMP picture."},
    };
    for (const auto& b : bad) {
        desktop.boxes.clear();
        test::writeFile(dataFolder() / "Vellumix_Temp..bmp", b.bytes);
        session.Button_ImportLastFile_Click();
        ASSERT_EQ(desktop.boxes.size(), 1u);
        EXPECT_EQ(desktop.boxes[0].prompt, "The last hard copy\n" +
                                               (dataFolder() / "Vellumix_Temp..bmp").string() + "\n" +
                                               b.problem + " It was not imported.");
        EXPECT_EQ(session.CurrentFileName, "");
        EXPECT_EQ(view.picture, "");
    }

    test::writeFile(dataFolder() / "Vellumix_Temp..bmp", test::wholeBmp());
    session.Button_ImportLastFile_Click();
    EXPECT_EQ(view.picture, (dataFolder() / "Vellumix_Temp..bmp").string());
    EXPECT_EQ(session.CurrentFileName, "Vellumix_Temp..bmp");
}

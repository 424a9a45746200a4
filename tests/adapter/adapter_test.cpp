// The driver for "++" controllers against the virtual adapter in the same process, on a virtual
// clock: byte-exact pictures, prompt ends, pauses, timeouts, lost connections, both flavours.
#include "tests/adapter/adapterrun.h"

#include "gpib/backends/prologix/protocol.h"
#include "gpib/status.h"
#include "tests/support/pictures.h"

#include <gtest/gtest.h>

#include <deque>
#include <string_view>
#include <utility>
#include <vector>

using namespace vellumix;
using namespace vellumix::gpib;
using namespace vellumix::gpib::sim;
using vellumix::gpib::prologix::EotChar;
using vellumix::gpib::prologix::Flavour;
using vellumix::test::AdapterRun;
using vellumix::test::flavour;

namespace {

const Flavour kFlavours[] = {Flavour::Prologix, Flavour::Ar488};

std::string name(Flavour f) {
    return f == Flavour::Ar488 ? "ar488" : "prologix";
}

Scenario scopeSending(std::string bytes, std::string append = {}) {
    Scenario s;
    auto& scope = s.addScope(1, "ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41");
    scope.hardcopy = Payload::fromBytes(std::move(bytes), std::move(append));
    return s;
}

// The picture as ReadResponse gets it, on a descriptor opened at address 1.
std::string fetchPicture(AdapterRun& run) {
    int16_t ud = 0;
    run.link->ibdev(0, 1, 0, T10s, 1, 0, ud);
    return QueryDevice(*run.link, ud, "HARDCOPY START", ReadMode::Raw);
}

} // namespace

TEST(AdapterRead, RealHardCopiesAndAwkwardEndingsArriveByteForByte) {
    VELLUMIX_NEED_REAL_HARDCOPIES();
    const char* files[] = {"tds420a_bmp_mono_0.bmp", "tds2002b_F0000TEK.BMP",  "tds1000-cf_F0000TEK.BMP",
                           "tds420a_tiff_0.tiff",    "tds2000-4ch_tiff_0.tif", "tds420a_pcx_0.pcx"};
    const std::string endings[] = {"",
                                   "\r",
                                   "\n",
                                   "\r\n",
                                   " ",
                                   std::string(1, static_cast<char>(EotChar)),
                                   std::string("\n") + static_cast<char>(EotChar) +
                                       static_cast<char>(EotChar)};
    for (Flavour f : kFlavours) {
        for (const char* file : files) {
            for (const std::string& ending : endings) {
                SCOPED_TRACE(name(f) + " " + file + " ending of " + std::to_string(ending.size()));
                const std::string picture = test::realHardCopy(file);
                ASSERT_FALSE(picture.empty());
                AdapterRun run(scopeSending(picture, ending), flavour(f), "ending");
                ASSERT_TRUE(run.link) << run.connectError;
                EXPECT_TRUE(fetchPicture(run) == picture + ending);
                EXPECT_TRUE(run.desktop.boxes.empty());
            }
        }
    }
}

TEST(AdapterRead, EveryFormatOverTheWholeCycle) {
    const struct {
        int option;
        const char* ext;
    } formats[] = {{0, "bmp"}, {1, "bmp"}, {2, "tif"}, {3, "png"}, {4, "pcx"}, {5, "pcx"}};
    for (Flavour f : kFlavours) {
        SCOPED_TRACE(name(f));
        AdapterRun run(Scenario::defaultScenario(), flavour(f), "cycle");
        ASSERT_TRUE(run.session) << run.connectError;
        run.start();
        EXPECT_EQ(run.view.captionText,
                  "Vellumix, v1.25 - Dec 2024 / QZ   -   Connected to TDS 3054B @ GPIB Addr: 1");
        for (const auto& c : formats) {
            run.session->Option_HCFormat_Click(static_cast<int16_t>(c.option));
            run.session->Button_GetHardCopy_Click();
            SimInstrument* scope = run.adapter->bus().instrumentAt(1);
            EXPECT_TRUE(test::readFile(run.file(std::string(".") + c.ext)) == *scope->picture()) << c.option;
        }
        EXPECT_EQ(run.desktop.boxes.size(), 4u); // the viewer question for TIFF, PNG and both PCX
    }
}

TEST(AdapterRead, EndsRightAfterTheLastByteAndSurvivesLongPauses) {
    // The link alone needs latency + bytes / rate. A picture whose structure says it is whole ends a
    // quiet period after its last byte; a pause costs at most the gap between the adapter's read
    // timing out and the next ++read; only bytes that cannot tell their end pay two adapter timeouts.
    const std::string picture = test::bmp320x240('P');
    std::string text(20000, 'Q');
    text[4999] = static_cast<char>(EotChar);
    const double undecided = 2 * 3.8 + 0.1; // two waits for the adapter's 3 s timeout
    const double gap = 0.8;                 // from its timeout to the next ++read
    const struct {
        const char* what;
        std::string bytes;
        std::size_t pauseAt;
        double pause;
        double extra; // what the end may cost beyond the link
    } cases[] = {
        {"no pause", picture, 0, 0, 0.1},
        {"the end character after the picture", picture + static_cast<char>(EotChar), 0, 0, 0.1},
        {"pause longer than the adapter's 3 s", picture, 30000, 4.5, gap},
        {"two adapter timeouts long", picture, 100, 7.0, gap},
        {"the header's end character, then a pause", picture, 12, 1.5, 0.1},
        {"the header's end character, then a long pause", picture, 12, 4.0, gap},
        {"a pause right after an end character in bytes of no format", text, 5000, 4.0, undecided},
        {"bytes of no format", text, 0, 0, undecided + 0.1},
    };
    const double rate = 11520, latency = 1.0;
    for (Flavour f : kFlavours) {
        for (const auto& c : cases) {
            SCOPED_TRACE(name(f) + ": " + c.what);
            Scenario s = scopeSending(c.bytes);
            s.hardcopyLatency = latency;
            auto options = flavour(f, rate);
            options.pauseAt = c.pauseAt;
            options.pauseSeconds = c.pause;
            AdapterRun run(std::move(s), options, "timing");
            ASSERT_TRUE(run.link) << run.connectError;
            const double before = run.seconds();
            EXPECT_TRUE(fetchPicture(run) == c.bytes);
            const double took = run.seconds() - before;
            const double linkAlone = latency + static_cast<double>(c.bytes.size()) / rate + c.pause;
            EXPECT_GE(took, linkAlone);
            EXPECT_LT(took, linkAlone + c.extra) << "took " << took << " s";
            EXPECT_TRUE(run.desktop.boxes.empty());
        }
    }
}

TEST(AdapterRead, TheAdaptersVersionLineInsideAPictureIsNotTakenForItsAnswer) {
    // The version line right after an end character, at a chunk boundary, with a pause (and so a
    // probe) after its first byte: it comes in while the probe's answer is awaited.
    for (Flavour f : kFlavours) {
        SCOPED_TRACE(name(f));
        auto options = flavour(f, 11520);
        const std::string picture =
            std::string(511, 'P') + static_cast<char>(EotChar) + simadapter::versionText(options) + "\r\n";
        options.pauseAt = 513;
        options.pauseSeconds = 0.2;
        AdapterRun run(scopeSending(picture), options, "version");
        ASSERT_TRUE(run.link) << run.connectError;
        EXPECT_TRUE(fetchPicture(run) == picture);
        EXPECT_TRUE(run.desktop.boxes.empty());
    }
}

TEST(AdapterRead, TimeoutsAndALostConnectionFailTheCaptureAndKeepTheFile) {
    const char* cases[] = {"scope never answers", "first byte after 12 s", "connection lost mid-picture"};
    for (Flavour f : kFlavours) {
        for (int kind = 0; kind < 3; ++kind) {
            SCOPED_TRACE(name(f) + ": " + cases[kind]);
            Scenario s = Scenario::defaultScenario();
            auto options = flavour(f);
            if (kind == 0) s.instruments.front().scope = false; // answers ID?, never sends a picture
            if (kind == 1) s.hardcopyLatency = 12.0;            // longer than the 10 s read timeout
            if (kind == 2) options.dropAfter = 20000;           // inside the 38,462-byte picture
            AdapterRun run(std::move(s), options, "fail");
            ASSERT_TRUE(run.session) << run.connectError;
            run.start();
            run.session->Option_HCFormat_Click(0);
            test::writeFile(run.file(".bmp"), "previous");
            run.session->Button_GetHardCopy_Click();
            ASSERT_EQ(run.desktop.boxes.size(), 1u);
            EXPECT_EQ(run.desktop.boxes[0].prompt, "Read cycle failed\nOperation aborted.");
            EXPECT_EQ(run.desktop.boxes[0].title, "I/O Error");
            EXPECT_EQ(test::readFile(run.file(".bmp")), "previous");
        }
    }
}

TEST(AdapterRead, CancelEndsTheReadPromptlyAndTheNextCaptureIsExact) {
    // The cancel comes from "another thread" at a moment of virtual time: while the scope prepares
    // the picture (silence the adapter's read would wait out for seconds), and mid-stream.
    const std::string picture = test::bmp320x240('P');
    const struct {
        const char* what;
        double latency;
        double cancelAfter; // seconds after the capture began
    } cases[] = {
        {"while the scope prepares the picture", 5.0, 1.0},
        {"in the middle of the picture", 0.5, 2.0},
        {"right after the first bytes", 0.0, 0.05},
    };
    for (Flavour f : kFlavours) {
        for (const auto& c : cases) {
            SCOPED_TRACE(name(f) + ": " + c.what);
            Scenario s = scopeSending(picture);
            s.hardcopyLatency = c.latency;
            AdapterRun run(std::move(s), flavour(f, 11520), "cancel");
            ASSERT_TRUE(run.link) << run.connectError;
            const double start = run.seconds();
            double cancelledAt = -1;
            run.pipe->onWait = [&] {
                if (cancelledAt < 0 && run.seconds() - start >= c.cancelAfter) {
                    cancelledAt = run.seconds();
                    run.link->requestCancel();
                }
            };
            EXPECT_TRUE(fetchPicture(run).empty());
            ASSERT_GE(cancelledAt, 0) << "the capture ended before the cancel came";
            EXPECT_LT(run.seconds() - cancelledAt, 0.25) << "took " << run.seconds() - cancelledAt << " s";
            EXPECT_TRUE(run.link->cancelRequested());
            EXPECT_TRUE(run.desktop.boxes.empty()) << run.desktop.boxes.front().prompt;

            run.pipe->onWait = nullptr;
            run.link->clearCancel();
            EXPECT_TRUE(fetchPicture(run) == picture);
            EXPECT_TRUE(run.desktop.boxes.empty()) << run.desktop.boxes.front().prompt;
        }
    }
}

TEST(AdapterSetup, StateLeftByAnotherProgramDoesNotDisturbTheFirstQuery) {
    for (Flavour f : kFlavours) {
        SCOPED_TRACE(name(f));
        auto options = flavour(f);
        options.autoRead = true;
        options.pendingOutput = "TEKTRONIX,TDS 3054B,stale reply\r\n\x04";
        AdapterRun run(Scenario::defaultScenario(), options, "leftover");
        ASSERT_TRUE(run.session) << run.connectError;
        EXPECT_EQ(run.prologix->flavour(), f);
        run.start();
        EXPECT_NE(run.view.captionText.find("Connected to TDS 3054B @ GPIB Addr: 1"), std::string::npos);
        const auto& cmds = run.adapter->commands();
        EXPECT_EQ(cmds.front(), "auto 0");
        EXPECT_TRUE(run.desktop.boxes.empty());
    }
}

TEST(AdapterSetup, ShortReadTimeoutAndNoEepromWrites) {
    for (Flavour f : kFlavours) {
        Scenario s = Scenario::defaultScenario();
        s.hardcopyLatency = 5.0; // the first byte comes after many adapter timeouts
        AdapterRun run(std::move(s), flavour(f), "tmo");
        ASSERT_TRUE(run.link) << run.connectError;
        EXPECT_FALSE(fetchPicture(run).empty());
        const auto& cmds = run.adapter->commands();
        EXPECT_NE(std::find(cmds.begin(), cmds.end(), "read_tmo_ms 3000"), cmds.end()) << name(f);
        // No EEPROM writes for every timeout change on a Prologix; AR488's savecfg would write one.
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "savecfg 0"), f == Flavour::Prologix ? 1 : 0);
    }
}

TEST(AdapterBus, WritesReachTheInstrumentUnchanged) {
    std::string every;
    for (int b = 0; b < 256; ++b)
        every.push_back(static_cast<char>(b));
    const std::string messages[] = {every, "++ver", "A+B\r\n", std::string("\x1b\x1b+\n", 4), "ID?"};
    for (Flavour f : kFlavours) {
        AdapterRun run(Scenario::defaultScenario(), flavour(f), "write");
        ASSERT_TRUE(run.link) << run.connectError;
        int16_t ud = 0;
        run.link->ibdev(0, 1, 0, T10s, 1, 0, ud);
        for (const std::string& m : messages) {
            run.link->ibwrt(ud, m);
            EXPECT_EQ(run.link->ibsta & ERR, 0);
            EXPECT_EQ(run.link->ibcntl, static_cast<int32_t>(m.size()));
            // The line takes its time over the serial link before the adapter passes it on.
            run.adapter->advanceTo(run.clock.now() + std::chrono::seconds(1));
            const auto& received = run.adapter->bus().instrumentAt(1)->received();
            ASSERT_FALSE(received.empty());
            EXPECT_TRUE(received.back() == m) << name(f) << ": " << m.size() << " bytes";
        }
        EXPECT_EQ(prologix::escapeData(std::string("\x00\x01\x02\x0d\x03\x0a\x04\x1b\x05\x2b\x06", 11)),
                  std::string("\x00\x01\x02\x1b\x0d\x03\x1b\x0a\x04\x1b\x1b\x05\x1b\x2b\x06\n", 16));
    }
}

TEST(AdapterBus, ScanAndPollGiveABoardsResults) {
    const struct {
        std::vector<int> addresses;
        int limit;
        int16_t err; // 0 = success
        std::vector<int16_t> found;
    } cases[] = {
        {{3, 7, 12}, 15, 0, {0, 3, 7, 12}},
        {{}, 15, EBUS, {}},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, 15, ETAB, {}},
    };
    for (Flavour f : kFlavours) {
        for (const auto& c : cases) {
            SCOPED_TRACE(name(f) + " with " + std::to_string(c.addresses.size()) + " instruments");
            Scenario s;
            for (int a : c.addresses)
                s.addInstrument(a, "INSTRUMENT " + std::to_string(a));
            AdapterRun run(std::move(s), flavour(f), "scan");
            ASSERT_TRUE(run.link) << run.connectError;
            std::vector<int16_t> list;
            for (int16_t a = 0; a <= 30; ++a)
                list.push_back(a);
            list.push_back(NOADDR);
            std::vector<int16_t> results(16, -7);
            run.link->FindLstn(0, list.data(), results.data(), static_cast<int16_t>(c.limit));
            if (c.err != 0) {
                EXPECT_NE(run.link->ibsta & ERR, 0);
                EXPECT_EQ(run.link->iberr, c.err);
                continue;
            }
            EXPECT_EQ(run.link->ibsta & ERR, 0);
            ASSERT_EQ(run.link->ibcnt, static_cast<int16_t>(c.found.size()));
            EXPECT_EQ(std::vector<int16_t>(results.begin(), results.begin() + run.link->ibcnt), c.found);

            // Serial poll: present answers, absent stays silent and times out.
            int16_t ud = 0;
            run.link->ibdev(0, 3, 0, T1s, 1, 0, ud);
            int16_t poll = -1;
            run.link->ibrsp(ud, poll);
            EXPECT_EQ(run.link->ibsta & ERR, 0);
            EXPECT_EQ(poll, 0);
            run.link->ibpad(ud, 4);
            run.link->ibrsp(ud, poll);
            EXPECT_EQ(run.link->ibsta & (ERR | TIMO), ERR | TIMO);
            EXPECT_EQ(run.link->iberr, EABO);
        }
    }
}

TEST(AdapterBus, AnAnswerThatComesTooLateIsNotTakenForTheNextAddress) {
    // A Prologix whose answer to the poll of one address comes after the adapter's timeout (a
    // network hiccup, a slow adapter); address 5 answers at once.
    class SlowOnce final : public BytePipe {
    public:
        SlowOnce(VirtualClock& c, int slowPad) : clock_(c), slowPad_(slowPad) {}
        bool send(std::string_view bytes) override {
            for (char ch : bytes) {
                if (ch != '\n') {
                    line_ += ch;
                    continue;
                }
                // Everything is answered in order, the slow poll's answer 3 s late and the rest behind it.
                const auto due = [this](std::chrono::milliseconds delay) {
                    const auto at = clock_.now() + delay + std::chrono::milliseconds(1);
                    return queue_.empty() ? at : std::max(at, queue_.back().first);
                };
                if (line_.rfind("++addr ", 0) == 0) pad_ = std::stoi(line_.substr(7));
                if (line_ == "++spoll") {
                    const int pad = pad_;
                    if (pad == 5 || pad == slowPad_)
                        queue_.push_back({due(std::chrono::milliseconds(pad == slowPad_ ? 3000 : 0)),
                                          pad == 5 ? "16\r\n" : "0\r\n"});
                }
                if (line_ == "++ver") queue_.push_back({due(std::chrono::milliseconds(0)), version_});
                line_.clear();
            }
            return true;
        }
        Received receive(std::string& out, Clock::duration deadline) override {
            const auto now = clock_.now();
            if (!queue_.empty() && queue_.front().first <= std::max(now, deadline)) {
                if (queue_.front().first > now) clock_.advance(queue_.front().first - now);
                out += queue_.front().second;
                queue_.pop_front();
                return Received::Data;
            }
            if (deadline > now) clock_.advance(deadline - now);
            return Received::Timeout;
        }

    private:
        const std::string version_ = "Prologix GPIB-USB Controller version 6.107\r\n";
        VirtualClock& clock_;
        int slowPad_;
        std::string line_;
        int pad_ = 0;
        std::deque<std::pair<Clock::duration, std::string>> queue_;
    };
    for (int slowPad : {1, 4, 5}) {
        SCOPED_TRACE(slowPad);
        VirtualClock clock;
        prologix::PrologixDriver driver(std::make_unique<SlowOnce>(clock, slowPad), clock);
        std::string error;
        ASSERT_TRUE(driver.connect(error)) << error;
        int32_t sta = 0, err = 0, cnt = 0, cntl = 0;
        driver.RegisterGpibGlobalsForThread(&sta, &err, &cnt, &cntl);
        std::vector<uint16_t> list;
        for (uint16_t a = 1; a <= 8; ++a)
            list.push_back(a);
        list.push_back(0xFFFF);
        std::vector<uint16_t> results(8, 0);
        const auto before = clock.now();
        driver.FindLstn(0, list.data(), results.data(), 8);
        // Only the late answer itself is waited for, once.
        EXPECT_LT(clock.now() - before, std::chrono::seconds(6));
        // The late answer comes before the answer to ++ver: it is the slow address's, never the next one's.
        std::vector<uint16_t> expected{static_cast<uint16_t>(slowPad)};
        if (slowPad != 5) expected.push_back(5);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(std::vector<uint16_t>(results.begin(), results.begin() + cntl), expected);
    }
}

TEST(AdapterSetup, SomethingThatIsNotAControllerIsToldApart) {
    class Mute final : public BytePipe {
    public:
        explicit Mute(VirtualClock& c, std::string says) : clock_(c), says_(std::move(says)) {}
        bool send(std::string_view) override { return true; }
        Received receive(std::string& out, Clock::duration deadline) override {
            if (!says_.empty()) {
                out += says_;
                says_.clear();
                return Received::Data;
            }
            if (deadline > clock_.now()) clock_.advance(deadline - clock_.now());
            return Received::Timeout;
        }

    private:
        VirtualClock& clock_;
        std::string says_;
    };
    const struct {
        std::string says;
        const char* reason;
    } cases[] = {{"", "no answer to ++ver"},
                 {"garbage without lines", "not a version"},
                 // An AR488 that ran the questions together complains twice: no version either.
                 {"Unrecognized command\r\nUnrecognized command\r\n", "not a version"}};
    for (const auto& c : cases) {
        VirtualClock clock;
        prologix::PrologixDriver driver(std::make_unique<Mute>(clock, c.says), clock);
        std::string error;
        EXPECT_FALSE(driver.connect(error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_LE(clock.now(), std::chrono::seconds(5));
    }
    EXPECT_EQ(prologix::flavourOf("AR488 GPIB controller, ver. 0.53.04, 13/04/2025"), Flavour::Ar488);
    EXPECT_EQ(prologix::flavourOf("Prologix GPIB-USB Controller version 6.107"), Flavour::Prologix);

    // What each version line tells about the firmware behind it, at the releases where it changes.
    const struct {
        const char* line;
        int version;
        bool fndl, lf, repeats, merges;
    } lines[] = {
        {"AR488 GPIB controller, ver. 0.47.60, 05/12/2019", 4760, false, true, false, true},
        {"AR488 GPIB controller, ver. 0.49.03, 18/12/2020", 4903, false, true, false, true},
        {"AR488 GPIB controller, ver. 0.49.11, 01/02/2021", 4911, false, true, true, false},
        {"AR488 GPIB controller, ver. 0.50.17, 02/06/2021", 5017, false, true, true, false},
        {"AR488 GPIB controller, ver. 0.51.00, 02/06/2021", 5100, false, false, false, false},
        {"AR488 GPIB controller, ver. 0.52.17, 02/06/2021", 5217, true, false, false, false},
        {"AR488 GPIB controller, no version", 0, false, true, false, true},
        {"Prologix GPIB-USB Controller version 6.107", 0, false, false, false, false},
    };
    for (const auto& l : lines) {
        SCOPED_TRACE(l.line);
        const prologix::Firmware f = prologix::firmwareOf(l.line);
        EXPECT_EQ(f.version, l.version);
        EXPECT_EQ(f.hasFindListeners, l.fndl);
        EXPECT_EQ(f.needsLfTerminator, l.lf);
        EXPECT_EQ(f.timeoutRepeatsLastByte, l.repeats);
        EXPECT_EQ(f.mergesWaitingLines, l.merges);
    }
}

// --- Every firmware behaviour the adapters are known to have ---------------------------------------

namespace {

struct FirmwareCase {
    const char* name;
    simadapter::Firmware firmware;
    Flavour flavour;
    bool ethernet;
};

const FirmwareCase kFirmwares[] = {
    {"ar488-0.47", simadapter::Firmware::Ar488_047, Flavour::Ar488, false},
    {"ar488-0.49", simadapter::Firmware::Ar488_049, Flavour::Ar488, false},
    // Host bytes at once, as on a native-USB board or behind a network bridge: lines sent together
    // would run together on these two.
    {"ar488-0.47 at once", simadapter::Firmware::Ar488_047, Flavour::Ar488, true},
    {"ar488-0.49 at once", simadapter::Firmware::Ar488_049, Flavour::Ar488, true},
    {"ar488-0.50", simadapter::Firmware::Ar488_050, Flavour::Ar488, false},
    {"ar488-0.50 over TCP", simadapter::Firmware::Ar488_050, Flavour::Ar488, true},
    {"ar488-0.53", simadapter::Firmware::Ar488_053, Flavour::Ar488, false},
    {"prologix", simadapter::Firmware::Prologix, Flavour::Prologix, false},
    {"prologix over TCP", simadapter::Firmware::Prologix, Flavour::Prologix, true},
    {"immediate", simadapter::Firmware::Immediate, Flavour::Prologix, false},
};

simadapter::AdapterOptions options(const FirmwareCase& c) {
    simadapter::AdapterOptions o;
    o.flavour = c.flavour;
    o.firmware = c.firmware;
    o.ethernet = c.ethernet;
    return o;
}

} // namespace

TEST(AdapterFirmware, EveryGenuineHardCopyArrivesByteForByte) {
    VELLUMIX_NEED_REAL_HARDCOPIES();
    for (const auto& fw : kFirmwares) {
        for (const std::string& file : test::realHardCopyNames()) {
            SCOPED_TRACE(std::string(fw.name) + " " + file);
            const std::string picture = test::realHardCopy(file);
            AdapterRun run(scopeSending(picture), options(fw), "firmware");
            ASSERT_TRUE(run.link) << run.connectError;
            EXPECT_TRUE(fetchPicture(run) == picture);
            EXPECT_TRUE(run.desktop.boxes.empty());
        }
    }
}

TEST(AdapterFirmware, PausesAtTheStartInTheMiddleAndRightAfterAByte4) {
    const std::string picture = test::bmp320x240('P'); // a byte 4 at offset 11, as every such BMP
    const struct {
        const char* what;
        double latency;
        std::size_t pauseAt;
        double pause;
    } pauses[] = {
        {"4 s before the first byte", 4.0, 0, 0}, {"1.5 s after the byte 4", 0, 12, 1.5},
        {"4 s after the byte 4", 0, 12, 4.0},     {"4 s in the middle", 0, 40000, 4.0},
        {"7 s in the middle", 0, 40000, 7.0},
    };
    for (const auto& fw : kFirmwares) {
        for (const auto& p : pauses) {
            SCOPED_TRACE(std::string(fw.name) + ", " + p.what);
            Scenario s = scopeSending(picture);
            s.hardcopyLatency = p.latency;
            auto o = options(fw);
            o.rate = 11520;
            o.pauseAt = p.pauseAt;
            o.pauseSeconds = p.pause;
            AdapterRun run(std::move(s), o, "pauses");
            ASSERT_TRUE(run.link) << run.connectError;
            EXPECT_TRUE(fetchPicture(run) == picture);
        }
    }
}

TEST(AdapterFirmware, StartsAndCapturesThroughTheWindowOnEveryFirmware) {
    // The whole cycle: scan (++fndl or serial polls), identification, every set-up command, and a
    // picture missing its first byte is said to be no picture while the earlier one stays.
    for (const auto& fw : kFirmwares) {
        SCOPED_TRACE(fw.name);
        AdapterRun run(Scenario::defaultScenario(), options(fw), "window");
        ASSERT_TRUE(run.session) << run.connectError;
        run.start();
        EXPECT_NE(run.view.captionText.find("Connected to TDS 3054B @ GPIB Addr: 1"), std::string::npos)
            << run.view.captionText;
        run.session->Option_HCFormat_Click(0);
        run.session->Button_GetHardCopy_Click();
        SimInstrument* scope = run.adapter->bus().instrumentAt(1);
        const std::string good = *scope->picture();
        EXPECT_TRUE(test::readFile(run.file(".bmp")) == good);
        EXPECT_TRUE(run.desktop.boxes.empty()) << run.desktop.boxes.front().prompt;

        const std::string cut = test::bmp320x240('P').substr(1);
        AdapterRun lost(scopeSending(cut), options(fw), "lostbyte");
        ASSERT_TRUE(lost.session) << lost.connectError;
        lost.start();
        lost.session->Option_HCFormat_Click(0);
        test::writeFile(lost.file(".bmp"), good);
        lost.session->Button_GetHardCopy_Click();
        ASSERT_EQ(lost.desktop.boxes.size(), 1u);
        EXPECT_EQ(
            lost.desktop.boxes[0].prompt.rfind("The scope sent 77877 bytes that are not a BMP picture.", 0),
            0u)
            << lost.desktop.boxes[0].prompt;
        EXPECT_TRUE(test::readFile(lost.file(".bmp")) == good);
    }
}

TEST(AdapterFirmware, ACancelLeavesTheNextCaptureExactInThisRunAndTheNext) {
    // A long remainder (a 320x240 BMP at 57600 baud, cancelled after 2 s) that firmware which
    // cannot stop its read keeps sending for some eleven seconds, longer than a connect waits for
    // an answer: the next capture in the same run, a new run connecting meanwhile (Ctrl+C, then the
    // command again) and the window's next capture must all be exact.
    const std::string picture = test::bmp320x240('C');
    for (const auto& fw : kFirmwares) {
        SCOPED_TRACE(fw.name);
        auto o = options(fw);
        o.rate = 5760;
        AdapterRun run(scopeSending(picture), o, "cancel-firmware");
        ASSERT_TRUE(run.link) << run.connectError;
        const auto cancelAt = [&](double after) {
            const double start = run.seconds();
            run.pipe->onWait = [&run, start, after] {
                if (!run.link->cancelRequested() && run.seconds() - start >= after) run.link->requestCancel();
            };
        };
        cancelAt(2.0);
        EXPECT_TRUE(fetchPicture(run).empty());
        run.pipe->onWait = nullptr;
        run.link->clearCancel();
        EXPECT_TRUE(fetchPicture(run) == picture) << "the same run after a cancel";
        EXPECT_TRUE(run.desktop.boxes.empty()) << run.desktop.boxes.front().prompt;

        // The run ends at a cancel; the next one connects while the adapter is still sending.
        cancelAt(2.0);
        EXPECT_TRUE(fetchPicture(run).empty());
        run.pipe->onWait = nullptr;
        auto pipe = std::make_unique<simadapter::LoopbackPipe>(*run.adapter, run.clock);
        gpib::prologix::PrologixDriver next(std::move(pipe), run.clock);
        std::string error;
        ASSERT_TRUE(next.connect(error)) << error << " after " << run.seconds() << " s";
        test::FakeDesktop desktop;
        gpib::InstrumentLink link(next, desktop, run.clock);
        int16_t ud = 0;
        link.ibdev(0, 1, 0, T10s, 1, 0, ud);
        EXPECT_TRUE(QueryDevice(link, ud, "HARDCOPY START", ReadMode::Raw) == picture) << "the next run";
        EXPECT_TRUE(desktop.boxes.empty()) << desktop.boxes.front().prompt;

        // The same through the window: Esc during the picture, then Get Hard Copy again.
        AdapterRun window(scopeSending(picture), o, "cancel-window");
        ASSERT_TRUE(window.session) << window.connectError;
        window.start();
        window.session->Option_HCFormat_Click(0);
        const double start = window.seconds();
        window.pipe->onWait = [&window, start] {
            if (!window.link->cancelRequested() && window.seconds() - start >= 8.0)
                window.link->requestCancel();
        };
        window.session->Button_GetHardCopy_Click();
        window.pipe->onWait = nullptr;
        EXPECT_FALSE(std::filesystem::exists(window.file(".bmp")));
        window.session->Button_GetHardCopy_Click();
        EXPECT_TRUE(test::readFile(window.file(".bmp")) == picture) << "the window's next capture";
        EXPECT_TRUE(window.desktop.boxes.empty()) << window.desktop.boxes.front().prompt;
    }
}

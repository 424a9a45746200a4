// The instrument link against a scripted driver: status words, registration, the error report,
// reply clean-up, the read loop, the bus scan and the device search.
#include "gpib/discovery.h"
#include "gpib/errorreport.h"
#include "gpib/exchange.h"
#include "gpib/link.h"
#include "tests/support/fakes.h"

#include <gtest/gtest.h>

#include <set>

using namespace vellumix;
using namespace vellumix::gpib;
using vellumix::test::FakeDesktop;
using vellumix::test::ProgramEnded;
using vellumix::test::ScriptedDriver;

namespace {

struct LinkFixture : ::testing::Test {
    ScriptedDriver driver;
    FakeDesktop desktop;
    VirtualClock clock;
    InstrumentLink link{driver, desktop, clock};

    int count(const std::string& prefix) const {
        int n = 0;
        for (const auto& c : driver.calls)
            n += c.rfind(prefix, 0) == 0;
        return n;
    }
};

} // namespace

TEST(Fold16, KeepsLowBitsAsSigned) {
    const struct {
        int32_t raw;
        int16_t folded;
    } cases[] = {{0x12345, 0x2345}, {0xC000, -16384}, {70000, 4464},
                 {-1, -1},          {0x7FFF, 32767},  {0x18000, -32768}};
    for (const auto& c : cases)
        EXPECT_EQ(fold16(c.raw), c.folded) << c.raw;
}

TEST_F(LinkFixture, CopyStatusFoldsEveryWord) {
    driver.nextResult = ScriptedDriver::Result{0x12345, 6, 70000};
    link.ibclr(5);
    EXPECT_EQ(link.ibsta, 0x2345);
    EXPECT_EQ(link.iberr, 6);
    EXPECT_EQ(link.ibcntl, 70000);
    EXPECT_EQ(link.ibcnt, 4464);
    driver.nextResult = ScriptedDriver::Result{0xC000, 0, 0};
    link.ibclr(5);
    EXPECT_EQ(link.ibsta, -16384);
}

TEST_F(LinkFixture, RegistrationReturnCodes) {
    const struct {
        int32_t code;
        std::vector<std::string> calls; // up to and including the wrapped call
        int16_t registered;
    } cases[] = {
        {0, {"Register", "ibclr(5)"}, 1},
        {1, {"Register", "Unregister", "Register", "ibclr(5)"}, 1},
        {2, {"Register", "Unregister", "ibclr(5)"}, 0},
        {3, {"Register", "Unregister", "ibclr(5)"}, 0},
        {4, {"Register", "ibclr(5)"}, 0},
        {-7, {"Register", "ibclr(5)"}, 0},
    };
    for (const auto& c : cases) {
        ScriptedDriver d;
        d.registerCodes = {c.code, 0};
        InstrumentLink l(d, desktop, clock);
        l.ibclr(5);
        EXPECT_EQ(d.calls, c.calls) << "code " << c.code;
        EXPECT_EQ(l.StatusRegistered, c.registered) << "code " << c.code;
        if (c.registered == 0) {
            // Fall-back: the driver never wrote the words, the count keeps its marker.
            EXPECT_EQ(l.ibcntl, FallbackIbcntl);
            EXPECT_EQ(l.ibcnt, 14320);
            EXPECT_EQ(l.ibsta, 0);
            // The next wrapper call registers again before its driver call.
            l.ibclr(6);
            ASSERT_GE(d.calls.size(), 2u);
            EXPECT_EQ(d.calls[d.calls.size() - 2], "Register");
            EXPECT_EQ(l.StatusRegistered, 1);
        } else {
            l.ibclr(6);
            EXPECT_EQ(d.calls.back(), "ibclr(6)");
            EXPECT_EQ(d.calls[d.calls.size() - 2], "ibclr(5)");
        }
    }
}

TEST_F(LinkFixture, ErrorReportTextsAndTitles) {
    // The box shows the table's text for every code, and a title with the code in the message format.
    const auto box = [&](int code) {
        desktop.boxes.clear();
        driver.writeResults["X"] = {ERR, code, 0};
        gpib::WriteCommand(link, 5, "X");
        EXPECT_EQ(desktop.boxes.size(), 1u) << code;
        EXPECT_EQ(link.GpibErrorFlag, -1);
        if (desktop.boxes.size() != 1) return std::string();
        EXPECT_EQ(desktop.boxes[0].title,
                  "GPIB ERROR #" + std::string(code >= 0 ? " " : "") + std::to_string(code));
        EXPECT_EQ(desktop.boxes[0].flags, 49);
        const std::string suffix = "\nSelect OK to continue or Cancel to terminate program.";
        const std::string& prompt = desktop.boxes[0].prompt;
        EXPECT_TRUE(prompt.size() > suffix.size() &&
                    prompt.compare(prompt.size() - suffix.size(), suffix.size(), suffix) == 0)
            << prompt;
        return prompt.substr(0, prompt.size() - std::min(prompt.size(), suffix.size()));
    };
    // Rows users meet, the texts as they have always read (spelling included), the gaps and codes
    // past either end.
    const struct {
        int code;
        const char* text;
    } cases[] = {
        {0, "Operating system error."},
        {6, "I/O operation aborted - timeout."},
        {9, "Unknown error."},
        {14, "GPIB bus eror."},
        {15, "Serial poll status queue owerflow."},
        {20, "Table problem."},
        {21, "Unknown error."},
        {99, "Unknown error."},
        {-3, "Unknown error."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(box(c.code), c.text) << c.code;

    // The table itself: a box per code with the table's text; a code without a name is unknown; no
    // name twice; every text a sentence.
    std::set<std::string> names;
    for (int code = 0; code < gpib::DriverErrorCount; ++code) {
        SCOPED_TRACE(code);
        const gpib::DriverError& e = gpib::driverErrors()[code];
        EXPECT_EQ(box(code), e.text);
        EXPECT_STREQ(gpib::errorName(code), e.name);
        const std::string name = e.name, text = e.text;
        if (name.empty()) {
            EXPECT_EQ(text, "Unknown error.");
        } else {
            EXPECT_TRUE(names.insert(name).second) << name;
        }
        EXPECT_EQ(text.back(), '.');
    }
    EXPECT_STREQ(gpib::errorName(gpib::DriverErrorCount), "");
    EXPECT_STREQ(gpib::errorName(-1), "");
}

TEST_F(LinkFixture, ErrorReportIgnoresTimeoutWithoutErrorAndCancelEnds) {
    driver.writeResults["T"] = {TIMO, 6, 0};
    gpib::WriteCommand(link, 5, "T");
    EXPECT_TRUE(desktop.boxes.empty());
    EXPECT_EQ(link.GpibErrorFlag, 0);

    driver.writeResults["E"] = {ERR, 2, 0};
    desktop.answers = {MsgAnswer::Cancel};
    EXPECT_THROW(gpib::WriteCommand(link, 5, "E"), ProgramEnded);
    EXPECT_EQ(desktop.ended, FatalReason::GpibErrorCancelled);
}

TEST(CleanReplyText, Table) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"ID TEK\n", "ID TEK"}, {"abc\r\n", "abc"},   {"abc\n\r", "abc"}, {"ab\nX", "ab"},
        {"\r\n\r\n", "\r"},     {"\n", ""},           {"   ", ""},        {"  x y  ", "x y"},
        {"abc", "abc"},         {"a\n\n\n\n", "a\n"}, {"", ""},
    };
    for (const auto& c : cases) {
        std::string t = c.in;
        cleanReplyText(t);
        EXPECT_EQ(t, c.out) << "input of " << c.in.size() << " bytes";
    }
}

TEST_F(LinkFixture, TextReplyIsCleanedAndRawReplyKeepsEveryByte) {
    const std::string endings[] = {" ", "\n", "\r", "\r\n", "  \n ", std::string("\0\0", 2), "\n\r\n\r"};
    for (const auto& ending : endings) {
        std::string picture = "BM";
        for (int i = 0; i < 1200; ++i)
            picture.push_back(static_cast<char>(i * 7));
        picture += ending;
        driver.reads = {{picture}};
        EXPECT_EQ(gpib::ReadResponse(link, 5, ReadMode::Raw), picture);
    }
    driver.reads = {{"  ID TEK/TDS 210,CF:91.1CT\n"}};
    EXPECT_EQ(gpib::ReadResponse(link, 5), "ID TEK/TDS 210,CF:91.1CT");
    EXPECT_TRUE(desktop.boxes.empty());
}

TEST_F(LinkFixture, ReplyOfExactly512BytesWithEndIsOneChunk) {
    driver.reads = {{std::string(512, 'x')}};
    EXPECT_EQ(gpib::ReadResponse(link, 5, ReadMode::Raw).size(), 512u);
    EXPECT_EQ(count("ibrd("), 1);
}

TEST_F(LinkFixture, ReadSetsTenSecondsAndRestoresTheTimeout) {
    driver.timeouts[5] = T3s;
    driver.reads = {{std::string(1500, 'x')}};
    gpib::ReadResponse(link, 5, ReadMode::Raw);
    std::vector<std::string> tmo;
    for (const auto& c : driver.calls)
        if (c.rfind("ibtmo", 0) == 0 || c.rfind("ibask", 0) == 0 || c.rfind("ibwait", 0) == 0)
            tmo.push_back(c);
    EXPECT_EQ(tmo, (std::vector<std::string>{"ibask(5,3)", "ibtmo(5,13)", "ibwait(5,16640)",
                                             "ibwait(5,16640)", "ibwait(5,16640)", "ibtmo(5,12)"}));
    // Already 10 s: no change before, restored after all the same.
    driver.calls.clear();
    driver.reads = {{"y"}};
    gpib::ReadResponse(link, 5);
    EXPECT_EQ(count("ibtmo(5,13)"), 1);
}

TEST_F(LinkFixture, TimeoutOrErrorAtAnyChunkDiscardsTheReply) {
    const struct {
        int failAt; // 0-based chunk
        int32_t sta;
    } cases[] = {{0, ERR | TIMO}, {2, ERR | TIMO}, {0, ERR}, {1, ERR}, {3, TIMO}};
    for (const auto& c : cases) {
        desktop.boxes.clear();
        driver.reads.clear();
        driver.timeouts[5] = T3s;
        for (int i = 0; i < c.failAt; ++i)
            driver.reads.push_back({std::string(512, 'a'), CMPL});
        driver.reads.push_back({"", c.sta, EABO});
        driver.reads.push_back({"never read"});
        EXPECT_EQ(gpib::ReadResponse(link, 5, ReadMode::Raw), "") << c.failAt;
        ASSERT_EQ(desktop.boxes.size(), 1u);
        EXPECT_EQ(desktop.boxes[0].prompt, "Read cycle failed\nOperation aborted.");
        EXPECT_EQ(desktop.boxes[0].title, "I/O Error");
        EXPECT_EQ(desktop.boxes[0].flags, 48);
        EXPECT_EQ(driver.timeouts[5], T3s) << "timeout restored";
        EXPECT_EQ(driver.reads.size(), 1u) << "stops at the failed chunk";
    }
}

TEST_F(LinkFixture, ChunkBoundEndsAsAFailedRead) {
    for (int i = 0; i < gpib::MaxChunks + 5; ++i)
        driver.reads.push_back({"z", CMPL});
    EXPECT_EQ(gpib::ReadResponse(link, 5, ReadMode::Raw), "");
    EXPECT_EQ(count("ibrd("), gpib::MaxChunks);
    EXPECT_EQ(desktop.boxes.size(), 1u);
}

// A driver that answers a read with nothing and no status bit would be asked again for every chunk
// the counter allows, 10 s each.
TEST_F(LinkFixture, ReadThatBringsNothingAndNoStatusEndsAsAFailedRead) {
    for (const std::string& before : {std::string(), std::string(512, 'a')}) {
        desktop.boxes.clear();
        driver.calls.clear();
        driver.reads.clear();
        if (!before.empty()) driver.reads.push_back({before, CMPL});
        driver.reads.push_back({"", CMPL});
        driver.reads.push_back({"never read"});
        EXPECT_EQ(gpib::ReadResponse(link, 5, ReadMode::Raw), "");
        EXPECT_EQ(count("ibrd("), before.empty() ? 1 : 2);
        ASSERT_EQ(desktop.boxes.size(), 1u);
        EXPECT_EQ(desktop.boxes[0].title, "I/O Error");
    }
}

// Without the status registration the words are not the driver's: no read can know its length or end.
TEST_F(LinkFixture, ReadWithoutStatusRegistrationBlamesTheDriver) {
    driver.registerCodes.assign(100, 3);
    driver.reads = {{"ID TEK/TDS 210\n"}};
    try {
        gpib::ReadResponse(link, 5);
        FAIL() << "the read went on";
    } catch (const ProgramEnded& e) {
        EXPECT_EQ(e.reason, FatalReason::DriverUnusable);
    }
    EXPECT_EQ(count("ibrd("), 1);
    EXPECT_EQ(driver.calls.back(), "ibtmo(5,12)") << "the timeout is restored first";
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_EQ(desktop.boxes[0].title, "GPIB Driver Error");
    EXPECT_EQ(desktop.boxes[0].flags, MbCritical | MbOk);
    EXPECT_NE(desktop.boxes[0].prompt.find("registering the status words failed (code 3)"),
              std::string::npos);
}

TEST_F(LinkFixture, ReadReportsProgressWithTheHead) {
    driver.reads = {{"BM" + std::string(1200, 'q')}};
    std::vector<std::size_t> seen;
    std::string head;
    gpib::ReadResponse(link, 5, ReadMode::Raw, [&](std::size_t n, std::string_view h) {
        seen.push_back(n);
        head = h;
    });
    EXPECT_EQ(seen, (std::vector<std::size_t>{512, 1024, 1202}));
    EXPECT_EQ(head.size(), ProgressHeadBytes);
    EXPECT_EQ(head.substr(0, 3), "BMq");
}

TEST_F(LinkFixture, FailedWriteAcknowledgedSkipsTheRead) {
    driver.writeResults["ID?"] = {ERR, ENOL, 0};
    driver.reads = {{"should stay"}};
    EXPECT_EQ(gpib::QueryDevice(link, 5, "ID?"), "");
    EXPECT_EQ(count("ibrd("), 0);
    EXPECT_EQ(link.GpibErrorFlag, -1);
    EXPECT_GE(clock.now(), std::chrono::milliseconds(100)) << "the pause still happens";
    gpib::WriteCommand(link, 5, "OK?");
    EXPECT_EQ(link.GpibErrorFlag, 0);
}

TEST_F(LinkFixture, DescriptorZeroEndsTheProgramBeforeSending) {
    for (int which = 0; which < 3; ++which) {
        desktop.boxes.clear();
        try {
            if (which == 0) gpib::WriteCommand(link, 0, "X");
            if (which == 1) gpib::ReadResponse(link, 0);
            if (which == 2) gpib::QueryDevice(link, 0, "X");
            FAIL() << "did not end";
        } catch (const ProgramEnded& e) {
            EXPECT_EQ(e.reason, FatalReason::DeviceNotConfigured);
        }
        ASSERT_EQ(desktop.boxes.size(), 1u);
        EXPECT_EQ(desktop.boxes[0].prompt, "Device not configured.\n\nCorrect problem and restart.");
        EXPECT_EQ(desktop.boxes[0].title, "Device Error");
        EXPECT_EQ(desktop.boxes[0].flags, 16);
    }
    EXPECT_TRUE(driver.written.empty());
}

TEST_F(LinkFixture, DelayEndsAfterItsTimeAndLetsEventsRun) {
    const auto start = clock.now();
    gpib::Delay(link, 0.1f);
    const auto took = clock.now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(100));
    EXPECT_LE(took, std::chrono::milliseconds(106));
    EXPECT_GT(desktop.processEventsCalls, 0);
    gpib::Delay(link, 0);
    gpib::Delay(link, -1);
}

// --- Bus scan ---

TEST_F(LinkFixture, ScanTakesTheInstrumentsAfterTheBoard) {
    const struct {
        std::vector<uint16_t> found;
        std::vector<int16_t> instruments;
    } cases[] = {
        {{0, 1}, {1}},
        {{0, 3, 7, 22}, {3, 7, 22}},
        {{0}, {}},
        {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
        // A board that does not find itself (linux-gpib on some interfaces): no instrument is lost.
        {{3, 7, 22}, {3, 7, 22}},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
    };
    for (const auto& c : cases) {
        driver.listeners = c.found;
        gpib::ScanBus(link, 1);
        const auto n = static_cast<int16_t>(c.instruments.size());
        EXPECT_EQ(link.Listeners[0], n);
        EXPECT_EQ(link.FreeListeners[0], n);
        for (int j = 1; j <= n; ++j) {
            EXPECT_EQ(link.Listeners[static_cast<std::size_t>(j)],
                      c.instruments[static_cast<std::size_t>(j - 1)]);
            EXPECT_EQ(link.FreeListeners[static_cast<std::size_t>(j)],
                      c.instruments[static_cast<std::size_t>(j - 1)]);
        }
    }
    EXPECT_TRUE(desktop.boxes.empty());
    EXPECT_EQ(count("FindLstn(0,31,15)"), 6);
    // Every scan clears the interface and asserts remote enable before it looks for listeners.
    EXPECT_EQ(count("SendIFC(0)"), 6);
    EXPECT_EQ(count("ibsre(0,1)"), 6);
}

TEST_F(LinkFixture, ScanFailures) {
    const struct {
        int16_t mode;
        int32_t err;
        const char* prompt; // nullptr: no box
        bool ends;
        FatalReason reason;
    } cases[] = {
        {1, 14, "No listeners found.\n\nCorrect problem and restart.", true, FatalReason::NoListeners},
        {1, 20, "Too many listeners found.\nMax 14 listeners allowed.\n\nCorrect problem and restart.", true,
         FatalReason::TooManyListeners},
        // Other failures carry the driver's words, as the command-line tool prints them.
        {1, 7, "The driver reports error 7 (ENEB): Non-existent GPIB board.\n\nCorrect problem and restart.",
         true, FatalReason::ScanFailed},
        {-1, 14, nullptr, false, {}},
        {0, 14, "No listeners found.", false, {}},
        {0,
         20,
         "Too many listeners found.\nMax 14 listeners allowed.\n\nCorrect problem and restart.",
         false,
         {}},
        {-1,
         0,
         "The driver reports error 0 (EDVR): Operating system error. System error 2: No such file or "
         "directory.\n\nCorrect problem and restart.",
         false,
         {}},
    };
    for (const auto& c : cases) {
        desktop.boxes.clear();
        driver.findLstnResult = {ERR, c.err, 0};
        bool ended = false;
        try {
            gpib::ScanBus(link, c.mode);
        } catch (const ProgramEnded& e) {
            ended = true;
            EXPECT_EQ(e.reason, c.reason);
        }
        EXPECT_EQ(ended, c.ends) << c.mode << "/" << c.err;
        if (!c.prompt) {
            EXPECT_TRUE(desktop.boxes.empty());
        } else {
            ASSERT_EQ(desktop.boxes.size(), 1u);
            EXPECT_EQ(desktop.boxes[0].prompt, c.prompt);
            EXPECT_EQ(desktop.boxes[0].title, "Initialization Error " + std::to_string(c.err));
            EXPECT_EQ(desktop.boxes[0].flags, 16);
        }
        EXPECT_EQ(link.FreeListeners[0], 0);
    }
}

// --- Device search ---

namespace {

// A bus where the listener at each address answers with the given reply (or nothing).
struct SearchFixture : LinkFixture {
    std::map<int, std::optional<std::string>> replies;
    int addressed = 0;

    void scan(std::vector<std::pair<int, std::optional<std::string>>> bus) {
        driver.listeners = {0};
        for (auto& [a, r] : bus) {
            driver.listeners.push_back(static_cast<uint16_t>(a));
            replies[a] = r;
        }
        gpib::ScanBus(link, 1);
    }

    // The scripted driver has no addresses, so feed the reads in the order the search asks.
    void queueRepliesInOrder(const std::vector<int>& order) {
        for (int a : order) {
            if (replies[a])
                driver.reads.push_back({*replies[a]});
            else
                driver.reads.push_back({"", ERR | TIMO, EABO, 0});
        }
    }
};

} // namespace

TEST_F(SearchFixture, MatchingIsCaseInsensitiveUnlessExact) {
    const struct {
        std::string reply;
        std::string expected;
        bool match;
    } cases[] = {
        {"ID TEK/TDS 210,CF:91.1CT\n", "TDS", true},
        {"id tek/tds 210,cf\n", "TDS", true},
        {"id tek/tds 210\n", "TDS!", false},
        {"TDS\r\n", "TDS!", true},
        {"TDS \n", "TDS !", true}, // spaces are trimmed before the LF goes, so the blank stays
        {"HEWLETT-PACKARD,34401A\n", "TDS", false},
        {"anything\n", "", true},
        {"anything\n", "!", true},
        {"TDS 210\n", "tds 2", true},
        {"tds 210\n", "TDS 210!", false}, // an exact match keeps the case
        {"TDS 210\n", "tds 210!", false},
        {"TDS 210\n\r", "TDS 210\n!", true}, // LF CR at the end: only the CR goes
        {"TDS 210\n\r", "TDS 210!", false},
    };
    for (const auto& c : cases) {
        InstrumentLink l(driver, desktop, clock);
        driver.listeners = {0, 4};
        gpib::ScanBus(l, 1);
        driver.reads = {{c.reply}};
        std::string q = "ID?!";
        std::string e = c.expected;
        desktop.boxes.clear();
        const int16_t ud = gpib::FindDeviceById(l, q, e);
        EXPECT_EQ(ud != 0, c.match) << c.reply << " / " << c.expected;
        EXPECT_EQ(q, "ID?");
    }
}

TEST_F(SearchFixture, MarkersAreReadInOrder) {
    const struct {
        std::string query, expected;
        std::string queryAfter, expectedAfter;
        bool clears, pauses;
    } cases[] = {
        {"ID?", "TDS", "ID?", "TDS", true, false},      {"!ID?", "TDS", "ID?", "TDS", false, false},
        {"ID?!", "!?TDS", "ID?", "TDS", true, true},    {"ID?", "?!TDS", "ID?", "!TDS", true, true},
        {"!ID?!", "!TDS!", "ID?", "TDS", false, false}, {"!", "TDS", "", "TDS", false, false},
    };
    for (const auto& c : cases) {
        ScriptedDriver d;
        d.listeners = {0, 1};
        InstrumentLink l(d, desktop, clock);
        gpib::ScanBus(l, 1);
        d.reads = {{"!TDS\n"}};
        std::string q = c.query, e = c.expected;
        const auto before = clock.now();
        try {
            gpib::FindDeviceById(l, q, e);
        } catch (const ProgramEnded&) {
        }
        EXPECT_EQ(q, c.queryAfter) << c.query << " " << c.expected;
        EXPECT_EQ(e, c.expectedAfter) << c.query << " " << c.expected;
        int clears = 0;
        for (const auto& call : d.calls)
            clears += call.rfind("ibclr", 0) == 0;
        EXPECT_EQ(clears > 0, c.clears) << c.query;
        EXPECT_EQ(clock.now() - before >= std::chrono::milliseconds(100), c.pauses) << c.expected;
        ASSERT_FALSE(d.written.empty());
        EXPECT_EQ(d.written.back(), c.queryAfter) << "the query goes out without markers";
    }
}

TEST_F(SearchFixture, PauseMarkerWaitsAfterThePoll) {
    scan({{1, "TDS\n"}});
    queueRepliesInOrder({1});
    std::string q = "ID?", e = "?TDS";
    const auto before = clock.now();
    EXPECT_NE(gpib::FindDeviceById(link, q, e), 0);
    EXPECT_GE(clock.now() - before, std::chrono::milliseconds(100));
}

TEST_F(SearchFixture, AnEmptyExpectedTextSkipsSilentListeners) {
    scan({{3, std::nullopt}, {5, "HEWLETT-PACKARD,34401A\n"}});
    queueRepliesInOrder({3, 5});
    std::string q = "ID?", e = "";
    const int16_t ud = gpib::FindDeviceById(link, q, e);
    ASSERT_NE(ud, 0);
    EXPECT_EQ(link.ListenerDevices[2], ud) << "the listener that answered, not the silent one";
    EXPECT_EQ(link.FreeListeners[1], 3);
    EXPECT_EQ(link.addressOfDevice(ud), 5);
}

// A cancel while the first listener is asked is no failed search: no box, no end of the program, and
// the listeners after it are left alone.
TEST_F(SearchFixture, ACancelIsNotAFailedSearch) {
    scan({{3, "HEWLETT-PACKARD,34401A\n"}, {9, "ID TEK/TDS 754C,CF:91.1CT\n"}});
    queueRepliesInOrder({3, 9});
    link.requestCancel();
    std::string q = "ID?", e = "TDS";
    EXPECT_EQ(gpib::FindDeviceById(link, q, e), 0);
    EXPECT_TRUE(desktop.boxes.empty()) << desktop.boxes.front().prompt;
    EXPECT_EQ(count("ibwrt(16,ID?)"), 1) << "only the first listener was asked";
}

TEST_F(SearchFixture, FindsTheScopeAndRecordsItsSlot) {
    scan({{3, "HEWLETT-PACKARD,34401A\n"}, {5, std::nullopt}, {9, "ID TEK/TDS 754C,CF:91.1CT\n"}});
    queueRepliesInOrder({3, 5, 9});
    link.DeviceTimeout = T3s;
    std::string q = "ID?", e = "TDS";
    const int16_t ud = gpib::FindDeviceById(link, q, e);
    EXPECT_EQ(ud, 16);
    EXPECT_EQ(link.ListenerDevices[3], ud);
    EXPECT_EQ(link.FreeListeners[3], 0);
    EXPECT_EQ(link.FreeListeners[0], 2);
    EXPECT_EQ(link.SpareOpen, 0);
    EXPECT_EQ(driver.timeouts[ud], T3s);
    EXPECT_EQ(driver.calls.back(), "ibtmo(16,12)");
    EXPECT_EQ(driver.calls[driver.calls.size() - 3], "ibwrt(16,ID?)");
    EXPECT_EQ(count("ibdev(0,1,0,11,1,0)"), 1);
}

TEST_F(SearchFixture, NoMatchListsTheRepliesLatestFirst) {
    // Spaces are trimmed before the line end goes, so the blank before the LF stays.
    // Reply bytes are Latin-1 and reach the box as their characters (0xE9: e acute).
    scan({{3, "HEWLETT-PACKARD,34401A\r\n"}, {5, std::nullopt}, {9, "  KEITHLEY 2000 \xE9\n"}});
    queueRepliesInOrder({3, 5, 9});
    std::string q = "ID?", e = "TDS";
    EXPECT_THROW(gpib::FindDeviceById(link, q, e), ProgramEnded);
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_EQ(desktop.boxes[0].prompt, "ID Query: ID?\n\nExpected Response: TDS\n\nReceived Response(s):\n"
                                       "KEITHLEY 2000 \xC3\xA9\n\nHEWLETT-PACKARD,34401A\n\n"
                                       "Correct the problem and restart. Program will end.");
    EXPECT_EQ(desktop.boxes[0].title, "Expected Id-response from device not found" + std::string(40, ' '));
    EXPECT_EQ(desktop.ended, FatalReason::IdNotFound);
    EXPECT_EQ(link.SpareOpen, -1);
    EXPECT_EQ(count("ibclr(16)"), 4) << "three clears before the queries, one after the silent read";
}

TEST_F(SearchFixture, NoMatchWithContinueMarkerAndQuietMode) {
    scan({{2, "FLUKE\n"}});
    queueRepliesInOrder({2});
    std::string q = "ID?!", e = "TDS";
    EXPECT_EQ(gpib::FindDeviceById(link, q, e), 0);
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_NE(desktop.boxes[0].prompt.find("try. Program will continue."), std::string::npos);

    desktop.boxes.clear();
    queueRepliesInOrder({2});
    q = "ID?";
    e = "!TDS";
    EXPECT_EQ(gpib::FindDeviceById(link, q, e), 0);
    EXPECT_TRUE(desktop.boxes.empty());
    EXPECT_EQ(count("ibdev("), 1) << "the spare kept after a failed search is used again";
}

TEST_F(SearchFixture, ProbeReadIs256BytesAndTheReplyIsCutThere) {
    scan({{1, std::string(300, 'A') + "TDS\n"}});
    queueRepliesInOrder({1});
    std::string q = "ID?!", e = "TDS";
    EXPECT_EQ(gpib::FindDeviceById(link, q, e), 0);
    EXPECT_EQ(count("ibrd(16,256)"), 1);
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_NE(desktop.boxes[0].prompt.find(std::string(256, 'A') + "\n"), std::string::npos);
}

// After a failed registration the count is the fall-back's marker: the search takes the whole
// space-filled buffer and trims it, so the scope is still found.
TEST_F(SearchFixture, ProbeWithoutStatusRegistrationReadsTheWholeBuffer) {
    driver.registerCodes.assign(100, 3);
    scan({{3, "HEWLETT-PACKARD,34401A\n"}, {5, "ID TEK/TDS 210,CF:91.1CT\n"}});
    queueRepliesInOrder({3, 5});
    std::string q = "ID?", e = "TDS";
    EXPECT_EQ(gpib::FindDeviceById(link, q, e), 16);
    EXPECT_EQ(link.ibcntl, FallbackIbcntl) << "the count could not be trusted";
    EXPECT_EQ(link.ListenerDevices[2], 16);
    EXPECT_TRUE(desktop.boxes.empty());
}

TEST_F(SearchFixture, SecondSearchSkipsTheClaimedListenerThenRunsOut) {
    scan({{1, "TDS 210\n"}, {2, "TDS 220\n"}});
    queueRepliesInOrder({1});
    std::string q = "ID?", e = "TDS";
    const int16_t first = gpib::FindDeviceById(link, q, e);
    queueRepliesInOrder({2});
    q = "ID?";
    e = "TDS";
    const int16_t second = gpib::FindDeviceById(link, q, e);
    EXPECT_NE(first, second);
    EXPECT_EQ(link.ListenerDevices[1], first);
    EXPECT_EQ(link.ListenerDevices[2], second);

    q = "ID?";
    e = "!TDS";
    EXPECT_EQ(gpib::FindDeviceById(link, q, e), 0);
    EXPECT_TRUE(desktop.boxes.empty());
    q = "ID?";
    e = "TDS";
    EXPECT_THROW(gpib::FindDeviceById(link, q, e), ProgramEnded);
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_EQ(desktop.boxes[0].prompt, "Can't find more than 2 device(s).\n\nCorrect problem and restart.");
    EXPECT_EQ(desktop.boxes[0].title, "Not enough devices on the bus");
    EXPECT_EQ(desktop.ended, FatalReason::NotEnoughDevices);
}

TEST_F(SearchFixture, EmptyQueryPollsAllAndHandsOutTheSpareForTheFirst) {
    scan({{4, std::nullopt}, {6, std::nullopt}});
    link.DeviceTimeout = T3s;
    std::string q, e = "TDS";
    const int16_t ud = gpib::FindDeviceById(link, q, e);
    EXPECT_EQ(ud, 16);
    EXPECT_EQ(link.ListenerDevices[1], 16);
    const std::vector<std::string> tail(driver.calls.end() - 6, driver.calls.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"ibpad(16,4)", "ibrsp(16)", "ibpad(16,6)", "ibrsp(16)",
                                              "ibpad(16,4)", "ibtmo(16,12)"}));
    EXPECT_EQ(link.SpareOpen, 0) << "handed out: the next search opens its own spare";
    EXPECT_TRUE(desktop.boxes.empty());
    std::string q2 = "ID?", e2 = "!TDS";
    driver.reads = {{""}, {""}};
    gpib::FindDeviceById(link, q2, e2);
    EXPECT_EQ(count("ibdev("), 2);
}

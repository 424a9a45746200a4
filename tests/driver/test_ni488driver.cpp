// The run-time loaded driver against stub libraries with the real libraries' prototypes.
#include "gpib/backends/ni488/ni488driver.h"
#include "gpib/clock.h"
#include "gpib/status.h"
#include "stubcontrol.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

using namespace vellumix::gpib; // status bits, error and timeout codes
using vellumix::gpib::fold16;
using vellumix::gpib::ni488::LibraryApi;
using vellumix::gpib::ni488::Ni488Driver;
using vellumix::test::StubControl;

namespace {

struct Flavour {
    const char* name;
    const char* path;
    LibraryApi api;
    bool native;
};

const Flavour kLinuxGpib{"linux-gpib", STUB_GPIB_PATH, LibraryApi::Functions, false};
const Flavour kNi4882{"ni4882", STUB_NI4882_PATH, LibraryApi::Ni4882, false};
const Flavour kGpib32{"gpib-32", STUB_GPIB32_PATH, LibraryApi::Functions, true};

void PrintTo(const Flavour& f, std::ostream* os) {
    *os << f.name;
}

std::string flavourName(const testing::TestParamInfo<Flavour>& info) {
    std::string n = info.param.name;
    for (char& c : n)
        if (c == '-') c = '_';
    return n;
}

struct Words {
    int32_t sta = -7, err = -7, cnt = -7, cntl = -7;
};

class DriverTest : public testing::TestWithParam<Flavour> {
protected:
    void SetUp() override {
        std::string error;
        driver = Ni488Driver::load(GetParam().path, board, error);
        ASSERT_TRUE(driver) << error;
        stub = std::make_unique<StubControl>(GetParam().path);
    }
    void registerWords() {
        ASSERT_EQ(driver->RegisterGpibGlobalsForThread(&w.sta, &w.err, &w.cnt, &w.cntl), 0);
    }
    bool ni() const { return GetParam().api == LibraryApi::Ni4882; }

    int board = 3;
    std::unique_ptr<Ni488Driver> driver;
    std::unique_ptr<StubControl> stub;
    Words w;
};

TEST_P(DriverTest, ResolvesTheLibrarysFlavour) {
    EXPECT_EQ(driver->api(), GetParam().api);
    EXPECT_EQ(driver->registersNatively(), GetParam().native);
    EXPECT_EQ(driver->board(), 3);
}

// The program addresses board 0; the URI's board must reach the library instead, and the calls the
// NI4882 API has only as ibconfig options must arrive as such.
TEST_P(DriverTest, BoardAndConfigurationCallsReachTheLibrary) {
    struct Case {
        const char* what;
        std::function<void(Ni488Driver&)> call;
        const char* fn;
        std::vector<long long> args;
        const char* niFn;
        std::vector<long long> niArgs;
    };
    const std::vector<Case> cases = {
        {"SendIFC", [](Ni488Driver& d) { d.SendIFC(0); }, "SendIFC", {3}, "SendIFC", {3}},
        {"ibsre", [](Ni488Driver& d) { d.ibsre(0, 1); }, "ibsre", {3, 1}, "ibconfig", {3, 0x0B, 1}},
        {"ibdev",
         [](Ni488Driver& d) { d.ibdev(0, 1, 0, 11, 1, 0); },
         "ibdev",
         {3, 1, 0, 11, 1, 0},
         "ibdev",
         {3, 1, 0, 11, 1, 0}},
        {"ibpad", [](Ni488Driver& d) { d.ibpad(17, 9); }, "ibpad", {17, 9}, "ibconfig", {17, 1, 9}},
        {"ibtmo", [](Ni488Driver& d) { d.ibtmo(17, 13); }, "ibtmo", {17, 13}, "ibconfig", {17, 3, 13}},
        {"ibclr", [](Ni488Driver& d) { d.ibclr(17); }, "ibclr", {17}, "ibclr", {17}},
        {"ibwait",
         [](Ni488Driver& d) { d.ibwait(17, 0x4100); },
         "ibwait",
         {17, 0x4100},
         "ibwait",
         {17, 0x4100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.call(*driver);
        const auto& expected = ni() ? c.niArgs : c.args;
        EXPECT_EQ(stub->lastCall(), ni() ? c.niFn : c.fn);
        EXPECT_EQ(stub->args(static_cast<int>(expected.size())), expected);
    }
}

TEST_P(DriverTest, FindLstnPassesBothListsAndTheLimit) {
    std::vector<uint16_t> addrs;
    for (uint16_t a = 0; a <= 30; ++a)
        addrs.push_back(a);
    addrs.push_back(0xFFFF);
    stub->setListeners({0, 1, 27});
    std::array<uint16_t, 15> results;
    results.fill(0x5555);

    driver->FindLstn(0, addrs.data(), results.data(), 15);

    EXPECT_EQ(stub->lastCall(), "FindLstn");
    EXPECT_EQ(stub->arg(0), 3);
    EXPECT_EQ(stub->arg(3), 15);
    EXPECT_EQ(stub->addressList(), addrs);
    const std::array<uint16_t, 15> expected = {0,      1,      27,     0x5555, 0x5555, 0x5555, 0x5555, 0x5555,
                                               0x5555, 0x5555, 0x5555, 0x5555, 0x5555, 0x5555, 0x5555};
    EXPECT_EQ(results, expected);
}

TEST_P(DriverTest, IbwrtSendsEveryByteIncludingNul) {
    const std::string bytes("HARD\0COPY\xff\n", 11);
    registerWords();
    driver->ibwrt(17, bytes.data(), static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(stub->lastCall(), "ibwrt");
    EXPECT_EQ(stub->arg(0), 17);
    EXPECT_EQ(stub->arg(2), 11);
    EXPECT_EQ(stub->written(), bytes);
    EXPECT_EQ(w.cntl, 11);
}

TEST_P(DriverTest, IbrdFillsTheFrontOfTheBufferAndReportsTheCount) {
    struct Case {
        size_t available;
        int32_t count;
        int32_t expectedCount;
    };
    for (const Case c : {Case{600, 512, 512}, Case{10, 16, 10}, Case{0, 256, 0}}) {
        SCOPED_TRACE(c.available);
        std::string data;
        for (size_t i = 0; i < c.available; ++i)
            data.push_back(static_cast<char>(i % 7 == 0 ? 0 : i));
        stub->setReadData(data);
        registerWords();
        std::string buf(static_cast<size_t>(c.count), 'x');

        driver->ibrd(17, buf.data(), c.count);

        EXPECT_EQ(stub->arg(2), c.count);
        EXPECT_EQ(w.cntl, c.expectedCount);
        const size_t n = static_cast<size_t>(c.expectedCount);
        EXPECT_EQ(buf.substr(0, n), data.substr(0, n));
        EXPECT_EQ(buf.substr(n), std::string(buf.size() - n, 'x')) << "bytes past the count must be kept";
    }
}

// A board's read cannot be stopped from another thread: a long one runs as one-second reads, so
// that a cancel ends it within about a second, and must still end, count and keep bytes as one read.
TEST_P(DriverTest, LongReadsRunInOneSecondSlicesAndStillActAsOne) {
    const std::string data = "picture bytes, NUL \0 included";
    const int32_t eoi = CMPL | END;
    const int32_t timedOut = ErrBit | TIMO;
    struct Case {
        const char* what;
        int timeout;   // the descriptor's code
        int silent;    // reads that time out before the rest comes
        size_t before; // bytes each of them brings first
        int reads;     // library reads expected
        int32_t sta, err;
        size_t count;
    };
    const Case cases[] = {
        {"silent 3 s, then the reply", T10s, 3, 0, 4, eoi, 0, data.size()},
        {"silent for the whole timeout", T10s, 100, 0, 10, timedOut, EABO, 0},
        {"bytes before each silence stay", T10s, 2, 5, 3, eoi, 0, data.size()},
        {"bytes, then silence to the end", T3s, 100, 4, 3, timedOut, EABO, 12},
        {"a second or less is one read", T1s, 100, 0, 1, timedOut, EABO, 0},
        {"TNONE waits until the reply comes", TNONE, 50, 0, 51, eoi, 0, data.size()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        stub->reset();
        registerWords();
        stub->setIbdevResult(17);
        stub->setStatus(eoi, 0, 0);
        ASSERT_EQ(driver->ibdev(0, 1, 0, c.timeout, 1, 0), 17);
        stub->setReadData(data);
        stub->setSilentReads(c.silent, c.before);
        const int before = stub->calls();
        std::string buf(512, 'x');

        const int32_t sta = driver->ibrd(17, buf.data(), 512);

        const int timeoutCalls = c.reads > 1 || c.timeout != T1s ? 2 : 0;
        EXPECT_EQ(stub->calls() - before, c.reads + timeoutCalls);
        EXPECT_EQ(sta, c.sta);
        EXPECT_EQ(w.sta, c.sta);
        EXPECT_EQ(w.err, c.err);
        ASSERT_EQ(w.cntl, static_cast<int32_t>(c.count));
        EXPECT_EQ(buf.substr(0, c.count), data.substr(0, c.count));
        if (timeoutCalls) {
            EXPECT_EQ(ni() ? stub->arg(2) : stub->arg(1), c.timeout) << "the timeout is put back";
        }
    }

    // A cancel: the read in progress ends after its slice, and later ones at once, until cleared.
    driver->cancel();
    const int before = stub->calls();
    char buf[16];
    EXPECT_EQ(driver->ibrd(17, buf, sizeof buf), ErrBit);
    EXPECT_EQ(w.err, EABO);
    EXPECT_EQ(w.cntl, 0);
    EXPECT_EQ(stub->calls(), before) << "a cancelled read never reaches the library";
    driver->clearCancel();
    stub->setSilentReads(0);
    EXPECT_EQ(driver->ibrd(17, buf, sizeof buf), CMPL | END);
}

// Between the one-second reads the link's clock idles (the window's events run there), and a
// cancel pressed there ends the read after that slice, as an aborted call.
TEST_P(DriverTest, TheClockIdlesBetweenSlicesAndACancelThereEndsTheRead) {
    struct CountingClock final : VirtualClock {
        int idles = 0;
        std::function<void()> onIdle;
        void idle() override {
            ++idles;
            if (onIdle) onIdle();
        }
    } clock;
    driver->setIdleClock(&clock);
    const std::string data = "picture";
    const struct {
        const char* what;
        int cancelAtIdle; // 0: never
        int idles;
        int32_t sta, err;
        size_t count;
    } cases[] = {
        {"silent 3 s, then the reply", 0, 3, CMPL | END, 0, data.size()},
        {"cancelled at the first idle", 1, 1, ErrBit, EABO, 0},
        {"cancelled at the second idle", 2, 2, ErrBit, EABO, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        stub->reset();
        registerWords();
        stub->setIbdevResult(17);
        stub->setStatus(CMPL | END, 0, 0);
        ASSERT_EQ(driver->ibdev(0, 1, 0, T10s, 1, 0), 17);
        stub->setReadData(data);
        stub->setSilentReads(3, 0);
        clock.idles = 0;
        clock.onIdle = [&] {
            if (clock.idles == c.cancelAtIdle) driver->cancel();
        };
        std::string buf(64, 'x');
        EXPECT_EQ(driver->ibrd(17, buf.data(), 64), c.sta);
        EXPECT_EQ(clock.idles, c.idles);
        EXPECT_EQ(w.err, c.err);
        ASSERT_EQ(w.cntl, static_cast<int32_t>(c.count));
        EXPECT_EQ(buf.substr(0, c.count), data.substr(0, c.count));
        driver->clearCancel();
    }
    driver->setIdleClock(nullptr);
}

TEST_P(DriverTest, PollByteAndAskValueComeBack) {
    stub->setPollByte(0xC1);
    char spr[2] = {0, 0};
    driver->ibrsp(17, spr);
    EXPECT_EQ(static_cast<unsigned char>(spr[0]), 0xC1);

    stub->setAskValue(13);
    int32_t value = -1;
    driver->ibask(17, 3, &value);
    EXPECT_EQ(stub->args(2), (std::vector<long long>{17, 3}));
    EXPECT_EQ(value, 13);
}

// Every call's status, error and full-width count land in the registered words; folding to 16 bits
// is the link's business and must see the upper bits.
TEST_P(DriverTest, StatusOfEveryCallLandsInTheRegisteredWords) {
    registerWords();
    struct Case {
        int sta, err;
        long cnt;
    };
    for (const Case c : {Case{0x12345, 6, 70000}, Case{0xC000, 6, 0}, Case{0x2100, 0, 4}}) {
        stub->setStatus(c.sta, c.err, c.cnt);
        const int32_t ret = driver->ibwait(17, 0);
        EXPECT_EQ(ret, c.sta);
        EXPECT_EQ(w.sta, c.sta);
        EXPECT_EQ(w.err, c.err);
        EXPECT_EQ(w.cntl, c.cnt);
        EXPECT_EQ(w.cnt, c.cnt);
    }
    stub->setStatus(0x12345, 0, 70000);
    driver->SendIFC(0); // no result of its own: the words are all there is
    EXPECT_EQ(fold16(w.sta), 0x2345);
    EXPECT_EQ(fold16(w.cntl), 4464);
}

// Without a board linux-gpib's ibdev gives -1 with ERR, EDVR and errno as the count.
TEST_P(DriverTest, IbdevFailureIsPassedOnWithItsStatus) {
    registerWords();
    stub->setIbdevResult(-1);
    stub->setStatus(0x8000, 0, 2);
    EXPECT_EQ(driver->ibdev(0, 1, 0, 11, 1, 0), -1);
    EXPECT_EQ(w.sta, 0x8000);
    EXPECT_EQ(w.err, 0);
    EXPECT_EQ(w.cntl, 2);
}

TEST_P(DriverTest, WordsAreWrittenOnlyWhileRegistered) {
    stub->setStatus(0x100, 0, 5);
    driver->ibclr(17);
    EXPECT_EQ(w.sta, -7);

    registerWords();
    driver->ibclr(17);
    EXPECT_EQ(w.sta, 0x100);

    driver->UnregisterGpibGlobalsForThread();
    stub->setStatus(0x8000, 2, 0);
    driver->ibclr(17);
    EXPECT_EQ(w.sta, 0x100);
}

// Arguments that would make the library read or write out of bounds never reach it.
TEST_P(DriverTest, UnsafeArgumentsAreRefusedWithEarg) {
    char buf[8] = {};
    int32_t v = 0;
    const std::vector<std::pair<const char*, std::function<int32_t(Ni488Driver&)>>> cases = {
        {"ibwrt negative", [&](Ni488Driver& d) { return d.ibwrt(17, buf, -1); }},
        {"ibwrt null", [&](Ni488Driver& d) { return d.ibwrt(17, nullptr, 4); }},
        {"ibrd negative", [&](Ni488Driver& d) { return d.ibrd(17, buf, -512); }},
        {"ibrd null", [&](Ni488Driver& d) { return d.ibrd(17, nullptr, 512); }},
        {"ibrsp null", [&](Ni488Driver& d) { return d.ibrsp(17, nullptr); }},
        {"ibask null", [&](Ni488Driver& d) { return d.ibask(17, 3, nullptr); }},
        {"FindLstn negative",
         [&](Ni488Driver& d) {
             const uint16_t list[] = {1, 0xFFFF};
             uint16_t res[1] = {};
             d.FindLstn(0, list, res, -1);
             return v;
         }},
    };
    registerWords();
    for (const auto& [what, call] : cases) {
        SCOPED_TRACE(what);
        const int before = stub->calls();
        w = Words{};
        call(*driver);
        EXPECT_EQ(stub->calls(), before);
        EXPECT_EQ(w.sta, 0x8000);
        EXPECT_EQ(w.err, vellumix::gpib::EARG);
    }
}

INSTANTIATE_TEST_SUITE_P(Libraries, DriverTest, testing::Values(kLinuxGpib, kNi4882, kGpib32), flavourName);

// --- Registration through gpib-32's own exports ---

class NativeRegistrationTest : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        driver = Ni488Driver::load(STUB_GPIB32_PATH, 0, error);
        ASSERT_TRUE(driver) << error;
    }
    StubControl stub{STUB_GPIB32_PATH};
    std::unique_ptr<Ni488Driver> driver;
    Words w;
};

TEST_F(NativeRegistrationTest, ReturnCodeIsTheLibrarysAndDecidesWhetherWordsAreKept) {
    struct Case {
        int code;
        bool kept;
    };
    for (const Case c : {Case{0, true}, Case{1, true}, Case{2, false}, Case{3, false}, Case{4, false}}) {
        SCOPED_TRACE(c.code);
        stub.reset();
        w = Words{};
        stub.setRegisterCode(c.code);
        EXPECT_EQ(driver->RegisterGpibGlobalsForThread(&w.sta, &w.err, &w.cnt, &w.cntl), c.code);
        EXPECT_EQ(stub.lastCall(), "RegisterGpibGlobalsForThread");
        stub.setStatus(0x12345, 6, 70000);
        driver->ibwait(1, 0);
        EXPECT_EQ(w.sta, c.kept ? 0x12345 : -7);
        EXPECT_EQ(w.cntl, c.kept ? 70000 : -7) << "the library's long count must reach the caller's word";
        driver->UnregisterGpibGlobalsForThread();
        EXPECT_EQ(stub.lastCall(), "UnregisterGpibGlobalsForThread");
    }
}

// --- Loading ---

TEST(Ni488DriverLoad, FailuresNameTheReason) {
    struct Case {
        const char* path;
        std::vector<std::string> mentions;
    };
    const std::vector<Case> cases = {
        {STUB_NOASK_PATH, {"does not export", "ibask", "ThreadIberr"}},
#ifdef _WIN32
        {"/nonexistent/gpib-32.dll", {"(Windows error 126)"}},
        {"vellumix-absent.dll", {"(Windows error 126)"}},
        // A file that is no library: the loader's own reason, not a missing symbol.
        {VELLUMIX_SOURCE_DIR "/tests/driver/stubgpib.c", {"(Windows error 193)"}},
#else
        {"/nonexistent/libgpib.so.0", {"/nonexistent/libgpib.so.0", "No such file"}},
        {VELLUMIX_SOURCE_DIR "/tests/driver/stubgpib.c", {"invalid ELF header"}},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string error;
        EXPECT_FALSE(Ni488Driver::load(c.path, 0, error));
        for (const std::string& m : c.mentions)
            EXPECT_NE(error.find(m), std::string::npos) << error;
    }
}

TEST(Ni488DriverLoad, NullRegistrationWordsAreRefused) {
    std::string error;
    auto driver = Ni488Driver::load(STUB_GPIB_PATH, 0, error);
    ASSERT_TRUE(driver) << error;
    int32_t a = 0, b = 0, c = 0;
    EXPECT_EQ(driver->RegisterGpibGlobalsForThread(&a, &b, &c, nullptr), 3);
}

} // namespace

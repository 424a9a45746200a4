// What every board-less backend answers alike: a driver's results for ibdev, ibpad, ibtmo, ibask,
// ibsre, ibwait and FindLstn's checks, as the instrument link relies on them (the previous value in
// iberr, EDVR for a stale number, nothing written for a bad address list).
#include "gpib/backends/boardless.h"
#include "gpib/backends/port.h"
#include "gpib/status.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

using namespace vellumix::gpib;

namespace {

constexpr int32_t kErr = ErrBit;

struct Step {
    std::string what;
    std::function<CallStatus(DescriptorTable&)> call;
    CallStatus expected;
};

bool same(const CallStatus& a, const CallStatus& b) {
    return a.sta == b.sta && a.err == b.err && a.cnt == b.cnt;
}

} // namespace

TEST(DescriptorTable, AnswersAsABoardDriverDoes) {
    DescriptorTable t;
    CallStatus opened;
    const int32_t ud = t.open(0, {4, 0, 13, 1, 0}, opened);
    ASSERT_EQ(ud, DescriptorTable::FirstDescriptor);
    ASSERT_TRUE(same(opened, {CMPL, 0, 0}));
    auto ask = [ud](int option) {
        return [ud, option](DescriptorTable& table) {
            int32_t value = -1;
            CallStatus s = table.ask(ud, option, &value);
            s.cnt = value; // the answer, checked through the count column
            return s;
        };
    };
    const std::vector<Step> steps = {
        {"ibpad gives the previous address",
         [ud](DescriptorTable& d) { return d.setPad(ud, 7); },
         {CMPL, 4, 0}},
        {"ibask sees the new address", ask(0x1), {CMPL, 0, 7}},
        {"ibpad 31 is refused", [ud](DescriptorTable& d) { return d.setPad(ud, 31); }, {kErr, EARG, 0}},
        {"ibpad -1 is refused", [ud](DescriptorTable& d) { return d.setPad(ud, -1); }, {kErr, EARG, 0}},
        {"a refused ibpad changes nothing", ask(0x1), {CMPL, 0, 7}},
        {"ibtmo gives the previous code",
         [ud](DescriptorTable& d) { return d.setTimeout(ud, 11); },
         {CMPL, 13, 0}},
        {"ibtmo 18 is refused", [ud](DescriptorTable& d) { return d.setTimeout(ud, 18); }, {kErr, EARG, 0}},
        {"ibask sees the new code", ask(0x3), {CMPL, 0, 11}},
        {"ibask IbaSAD", ask(0x2), {CMPL, 0, 0}},
        {"ibask IbaEOT", ask(0x4), {CMPL, 0, 1}},
        {"ibask of an option not kept", ask(0x5), {kErr, EARG, -1}},
        {"ibask without a place for the value",
         [ud](DescriptorTable& d) { return d.ask(ud, 0x1, nullptr); },
         {kErr, EARG, 0}},
        {"a descriptor never handed out",
         [](DescriptorTable& d) { return d.setPad(17, 1); },
         {kErr, EDVR, 0}},
        {"a board index", [](DescriptorTable& d) { return d.setTimeout(0, 11); }, {kErr, EDVR, 0}},
        {"a negative number", [](DescriptorTable& d) { return d.ask(-1, 0x1, nullptr); }, {kErr, EDVR, 0}},
    };
    for (const Step& s : steps) {
        const CallStatus got = s.call(t);
        EXPECT_TRUE(same(got, s.expected))
            << s.what << ": got " << got.sta << "/" << got.err << "/" << got.cnt;
    }
}

TEST(DescriptorTable, IbdevRefusesWhatABoardRefuses) {
    struct Case {
        std::string what;
        int32_t board;
        Descriptor settings;
        int16_t iberr;
    };
    const std::vector<Case> cases = {
        {"board 1", 1, {1, 0, 13, 1, 0}, ENEB},
        {"primary address 31", 0, {31, 0, 13, 1, 0}, EARG},
        {"secondary address 0x5F", 0, {1, 0x5F, 13, 1, 0}, EARG},
        {"secondary address 0x7F", 0, {1, 0x7F, 13, 1, 0}, EARG},
        {"timeout code 18", 0, {1, 0, 18, 1, 0}, EARG},
    };
    for (const Case& c : cases) {
        DescriptorTable t;
        CallStatus s;
        EXPECT_EQ(t.open(c.board, c.settings, s), -1) << c.what;
        EXPECT_TRUE(same(s, {kErr, c.iberr, 0})) << c.what;
        EXPECT_EQ(t.count(), 0) << c.what;
    }
    DescriptorTable t;
    CallStatus s;
    EXPECT_EQ(t.open(0, {30, 0x60, 17, 0, 0}, s), DescriptorTable::FirstDescriptor);
    EXPECT_EQ(t.open(0, {1, 0x7E, 0, 1, 0}, s), DescriptorTable::FirstDescriptor + 1)
        << "numbers are handed out in turn";
}

TEST(DescriptorTable, NumbersStayWithinSixteenBits) {
    DescriptorTable t;
    CallStatus s;
    int32_t last = -1;
    for (int32_t ud; (ud = t.open(0, {1, 0, 13, 1, 0}, s)) >= 0;)
        last = ud;
    EXPECT_EQ(last, 32766);
    EXPECT_TRUE(same(s, {kErr, EDVR, 0}));
    EXPECT_NE(t.find(last), nullptr);
}

TEST(DescriptorTable, ATimeoutTheBackendCannotApplyLeavesTheOldOne) {
    DescriptorTable t;
    CallStatus s;
    const int32_t ud = t.open(0, {2, 0, 13, 1, 0}, s);
    int seenCurrent = -1, seenNew = -1;
    const CallStatus refused =
        t.setTimeout(ud, 10, [&](const Descriptor& d, int code) -> std::optional<CallStatus> {
            seenCurrent = d.tmo;
            seenNew = code;
            return errnoStatus(EIO);
        });
    EXPECT_EQ(seenCurrent, 13);
    EXPECT_EQ(seenNew, 10);
    EXPECT_TRUE(same(refused, {kErr, EDVR, EIO}));
    EXPECT_EQ(t.find(ud)->tmo, 13);
    const CallStatus taken =
        t.setTimeout(ud, 10, [](const Descriptor&, int) { return std::optional<CallStatus>{}; });
    EXPECT_TRUE(same(taken, {CMPL, 13, 0}));
    EXPECT_EQ(t.find(ud)->tmo, 10);
    // The hook is not asked about a code no board takes.
    bool asked = false;
    t.setTimeout(ud, 99, [&](const Descriptor&, int) {
        asked = true;
        return std::optional<CallStatus>{};
    });
    EXPECT_FALSE(asked);
}

TEST(BoundedTimeout, NoneAndUnknownCodesWaitTheLongestCodesTime) {
    const std::vector<std::pair<int, int64_t>> cases = {
        {0, 1'000'000}, {-1, 1'000'000}, {18, 1'000'000}, {1, 1}, {11, 1000}, {13, 10'000}, {17, 1'000'000}};
    for (const auto& [code, ms] : cases)
        EXPECT_EQ(boundedTimeoutMilliseconds(code), ms) << code;
}

namespace {

// The smallest board-less driver: a bus with nobody on it, and status registration as the link does it.
class EmptyBus final : public BoardlessDriver {
public:
    EmptyBus() { RegisterGpibGlobalsForThread(&sta, &err, &cnt, &cntl); }
    void SendIFC(int32_t) override {}
    void FindLstn(int32_t board, const uint16_t* addrList, uint16_t* results, int32_t limit) override {
        const std::optional<int> n = findLstnArguments(board, addrList, results, limit);
        length = n.value_or(-1);
        if (n)
            reportListeners(addrList, *n, results, limit,
                            [this](int pad) { return answering.count(pad) > 0; });
    }
    int32_t ibclr(int32_t) override { return 0; }
    int32_t ibrsp(int32_t, char*) override { return 0; }
    int32_t ibwrt(int32_t, const char*, int32_t) override { return 0; }
    int32_t ibrd(int32_t, char*, int32_t count) override {
        lastCount_ = count;
        return publish({CMPL | END, 0, count});
    }
    int32_t ibtmo(int32_t, int32_t) override { return 0; }
    int32_t sta = 0, err = 0, cnt = 0, cntl = 0;
    int length = -2;
    std::set<int> answering = {0};
};

} // namespace

TEST(BoardlessDriver, FindLstnRefusesABadCallBeforeLookingAtTheBus) {
    constexpr uint16_t NoAddr = 0xFFFF;
    const std::vector<uint16_t> good = {0, 1, 30, 0x6001, NoAddr};
    const std::vector<uint16_t> above30 = {1, 31, NoAddr};
    const std::vector<uint16_t> endless(2000, 1);
    uint16_t results[31] = {};
    struct Case {
        std::string what;
        int32_t board;
        const uint16_t* list;
        uint16_t* results;
        int32_t limit;
        int length;
        int16_t iberr;
    };
    const std::vector<Case> cases = {
        {"a good list", 0, good.data(), results, 31, 4, 0},
        {"board 1", 1, good.data(), results, 31, -1, ENEB},
        {"no list", 0, nullptr, results, 31, -1, EARG},
        {"no results", 0, good.data(), nullptr, 31, -1, EARG},
        {"a negative limit", 0, good.data(), results, -1, -1, EARG},
        {"address 31", 0, above30.data(), results, 31, -1, EARG},
        {"no NOADDR", 0, endless.data(), results, 31, -1, EARG},
    };
    for (const Case& c : cases) {
        EmptyBus bus;
        bus.FindLstn(c.board, c.list, c.results, c.limit);
        EXPECT_EQ(bus.length, c.length) << c.what;
        EXPECT_EQ((bus.sta & ERR) != 0, c.length < 0) << c.what;
        EXPECT_EQ(bus.err, c.iberr) << c.what;
    }
}

TEST(BoardlessDriver, SreAndWaitAnswerAsOnABoard) {
    EmptyBus bus;
    EXPECT_EQ(bus.ibsre(0, 5), CMPL);
    EXPECT_EQ(bus.err, 0) << "the previous setting";
    bus.ibsre(0, 0);
    EXPECT_EQ(bus.err, 1) << "any non-zero value was kept as 1";
    EXPECT_NE(bus.ibsre(1, 1) & ERR, 0);
    EXPECT_EQ(bus.err, ENEB);

    const int32_t ud = bus.ibdev(0, 1, 0, 13, 1, 0);
    bus.ibrd(ud, nullptr, 77);
    bus.ibpad(ud, 2); // a call that moves nothing does not change what ibwait reports
    EXPECT_EQ(bus.ibwait(ud, 0), CMPL);
    EXPECT_EQ(bus.cnt, 77);
    EXPECT_NE(bus.ibwait(ud + 1, 0) & ERR, 0);
    EXPECT_EQ(bus.err, EDVR);
}

TEST(BoardlessDriver, FindLstnListsWhoAnswersInTheListsOrder) {
    constexpr uint16_t NoAddr = 0xFFFF;
    struct Case {
        std::string what;
        std::vector<uint16_t> list;
        std::set<int> answering;
        int32_t limit;
        std::vector<uint16_t> written;
        int16_t iberr;
    };
    const std::vector<Case> cases = {
        {"board and two instruments", {0, 1, 2, 3, 4, 5, NoAddr}, {0, 2, 5}, 15, {0, 2, 5}, 0},
        {"the list's order, not the addresses'", {5, 2, 0, NoAddr}, {0, 2, 5}, 15, {5, 2, 0}, 0},
        {"secondary addresses are never reported", {0, 0x6002, 2, NoAddr}, {0, 2}, 15, {0, 2}, 0},
        {"exactly the limit", {0, 1, 2, NoAddr}, {0, 1, 2}, 3, {0, 1, 2}, 0},
        {"one more than the limit", {0, 1, 2, 3, NoAddr}, {0, 1, 2, 3}, 3, {0, 1, 2}, ETAB},
        {"a limit of 0", {0, NoAddr}, {0}, 0, {}, ETAB},
    };
    for (const Case& c : cases) {
        EmptyBus bus;
        bus.answering = c.answering;
        std::vector<uint16_t> results(16, 0xEEEE);
        bus.FindLstn(0, c.list.data(), results.data(), c.limit);
        EXPECT_EQ(bus.err, c.iberr) << c.what;
        EXPECT_EQ((bus.sta & ERR) != 0, c.iberr != 0) << c.what;
        EXPECT_EQ(bus.cnt, static_cast<int32_t>(c.written.size())) << c.what;
        const std::vector<uint16_t> written(results.begin(),
                                            results.begin() + static_cast<long>(c.written.size()));
        EXPECT_EQ(written, c.written) << c.what;
        EXPECT_EQ(results[c.written.size()], 0xEEEE) << c.what << ": nothing written after the last";
        const int32_t ud = bus.ibdev(0, 1, 0, 13, 1, 0);
        bus.ibwait(ud, 0);
        EXPECT_EQ(bus.cnt, static_cast<int32_t>(c.written.size())) << c.what << ": ibwait keeps the count";
    }
}

// The prologue every port shares, tested once: what a driver refuses never reaches the port, what the
// port answers is published as is, and ibwait repeats the count of the last transfer.
namespace {

struct RecordingPort final : MessagePort {
    std::vector<std::string> calls;
    CallStatus answer{CMPL | END, 0, 3};
    std::optional<CallStatus> timeoutRefusal;
    std::optional<int16_t> searchRefusal;
    std::vector<int> searched;

    std::optional<int16_t> beginSearch(const std::vector<int>& pads) override {
        searched = pads;
        return searchRefusal;
    }
    bool answers(int pad) override { return pad == 0 || pad == 4; }
    CallStatus clear(const Descriptor& d) override { return note("clear", d); }
    CallStatus serialPoll(const Descriptor& d, char& stb) override {
        stb = 0x10;
        return note("poll", d);
    }
    CallStatus write(const Descriptor& d, std::string_view m) override {
        return note("write " + std::string(m), d);
    }
    CallStatus read(const Descriptor& d, char* buf, int32_t count) override {
        if (count > 0) buf[0] = 'x';
        return note("read " + std::to_string(count), d);
    }
    std::optional<CallStatus> changeTimeout(const Descriptor& d, int code) override {
        note("tmo " + std::to_string(code), d);
        return timeoutRefusal;
    }
    CallStatus note(const std::string& what, const Descriptor& d) {
        calls.push_back(what + " @" + std::to_string(d.pad));
        return answer;
    }
};

struct PortRig : PortDriver {
    RecordingPort port;
    int32_t sta = 0, err = 0, cnt = 0, cntl = 0;
    PortRig() : PortDriver(port) { RegisterGpibGlobalsForThread(&sta, &err, &cnt, &cntl); }
};

} // namespace

TEST(PortDriver, RefusesBeforeThePortAndPublishesWhatItSays) {
    PortRig rig;
    const int32_t ud = rig.ibdev(0, 4, 0, 13, 1, 0);
    char buf[8];
    char stb = 0;
    const struct {
        std::string what;
        std::function<void()> call;
        int16_t iberr; // -1: reaches the port
    } cases[] = {
        {"ibwrt, unknown descriptor", [&] { rig.ibwrt(ud + 1, "ID?", 3); }, EDVR},
        {"ibrd, no buffer", [&] { rig.ibrd(ud, nullptr, 8); }, EARG},
        {"ibwrt, negative count", [&] { rig.ibwrt(ud, "ID?", -1); }, EARG},
        {"ibrsp, no status byte", [&] { rig.ibrsp(ud, nullptr); }, EARG},
        {"ibclr, unknown descriptor", [&] { rig.ibclr(0); }, EDVR},
        {"ibtmo, code out of range", [&] { rig.ibtmo(ud, 18); }, EARG},
        {"ibwrt", [&] { rig.ibwrt(ud, "ID?", 3); }, -1},
        {"ibrd", [&] { rig.ibrd(ud, buf, 8); }, -1},
        {"ibrsp", [&] { rig.ibrsp(ud, &stb); }, -1},
        {"ibclr", [&] { rig.ibclr(ud); }, -1},
    };
    for (const auto& c : cases) {
        rig.port.calls.clear();
        c.call();
        if (c.iberr >= 0) {
            EXPECT_TRUE(rig.port.calls.empty()) << c.what;
            EXPECT_EQ(rig.sta, kErr) << c.what;
            EXPECT_EQ(rig.err, c.iberr) << c.what;
        } else {
            ASSERT_EQ(rig.port.calls.size(), 1u) << c.what;
            EXPECT_NE(rig.port.calls[0].find("@4"), std::string::npos)
                << c.what << ": the descriptor's address";
            EXPECT_EQ(rig.sta, CMPL | END) << c.what;
            EXPECT_EQ(rig.cnt, 3) << c.what;
        }
    }
    EXPECT_EQ(stb, 0x10);

    // A transfer's count stays for ibwait; ibtmo moves nothing and leaves it.
    rig.port.answer = {CMPL, 0, 42};
    rig.ibrd(ud, buf, 8);
    rig.ibtmo(ud, 11);
    rig.ibwait(ud, 0);
    EXPECT_EQ(rig.cnt, 42);

    // The port may refuse a timeout; the descriptor then keeps its old one.
    rig.port.timeoutRefusal = CallStatus{kErr, EDVR, 5};
    rig.ibtmo(ud, 12);
    EXPECT_EQ(rig.err, EDVR);
    int32_t code = 0;
    rig.ibask(ud, 0x3, &code);
    EXPECT_EQ(code, 11);
}

TEST(PortDriver, ListenerSearchAsksThePort) {
    PortRig rig;
    const uint16_t list[] = {0, 1, 4, 0x6005, 7, 0xFFFF};
    uint16_t found[8] = {};
    rig.FindLstn(0, list, found, 8);
    EXPECT_EQ(rig.port.searched, (std::vector<int>{1, 4, 7})) << "no computer, no secondary address";
    EXPECT_EQ(rig.sta, CMPL);
    EXPECT_EQ(rig.cnt, 2);
    EXPECT_EQ(found[0], 0);
    EXPECT_EQ(found[1], 4);
    rig.port.searchRefusal = EBUS;
    rig.FindLstn(0, list, found, 8);
    EXPECT_EQ(rig.sta, kErr);
    EXPECT_EQ(rig.err, EBUS);
    rig.SendIFC(1);
    EXPECT_EQ(rig.err, ENEB);
}

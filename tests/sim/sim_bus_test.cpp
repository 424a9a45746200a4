// The simulated bus through the GpibDriver interface: results the instrument link relies on.
#include "simtest.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

namespace vellumix::gpib::sim::test {
namespace {

std::array<uint16_t, 32> scanList() {
    std::array<uint16_t, 32> list{};
    for (uint16_t a = 0; a <= 30; ++a)
        list[a] = a;
    list[31] = 0xFFFF;
    return list;
}

// --- FindLstn -------------------------------------------------------------------------------

struct ScanCase {
    const char* name;
    std::vector<int> addresses;
    std::optional<int> forcedError;
    bool boardAlone;
    bool expectError;
    int expectErr;
    int expectCount;
    std::vector<uint16_t> expectSlots; // what slots 0.. must hold; the rest keep their old value
};

class FindLstnTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(FindLstnTest, ReportsListenersInAddressOrderWithTheBoardFirst) {
    const ScanCase& c = GetParam();
    Scenario s;
    for (int a : c.addresses)
        s.addInstrument(a, std::string("X"));
    s.findLstnError = c.forcedError;
    s.boardAnswersAlone = c.boardAlone;
    Bus b(s);
    const auto list = scanList();
    std::array<uint16_t, 15> results;
    results.fill(0xAAAA);
    b.bus->FindLstn(0, list.data(), results.data(), 15);
    EXPECT_EQ(b.failed(), c.expectError);
    if (c.expectError) {
        EXPECT_EQ(b.err, c.expectErr);
    }
    EXPECT_EQ(b.cnt, c.expectCount);
    for (std::size_t i = 0; i < results.size(); ++i) {
        const uint16_t want = i < c.expectSlots.size() ? c.expectSlots[i] : 0xAAAA;
        EXPECT_EQ(results[i], want) << "slot " << i;
    }
}

std::vector<int> range(int from, int to) {
    std::vector<int> v;
    for (int a = from; a <= to; ++a)
        v.push_back(a);
    return v;
}
std::vector<uint16_t> slots(std::vector<int> a) {
    std::vector<uint16_t> v{0};
    for (int x : a)
        v.push_back(static_cast<uint16_t>(x));
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Scan, FindLstnTest,
    ::testing::Values(ScanCase{"unordered", {7, 3, 12}, {}, false, false, 0, 4, slots({3, 7, 12})},
                      ScanCase{"fourteen", range(1, 14), {}, false, false, 0, 15, slots(range(1, 14))},
                      ScanCase{"fifteen", range(1, 15), {}, false, true, ETAB, 15, slots(range(1, 14))},
                      ScanCase{"empty", {}, {}, false, true, EBUS, 0, {}},
                      ScanCase{"boardAlone", {}, {}, true, false, 0, 1, {0}},
                      ScanCase{"forced14", {1}, 14, false, true, 14, 0, {}},
                      ScanCase{"forced20", {1}, 20, false, true, 20, 0, {}},
                      ScanCase{"forcedOther", {1}, 11, false, true, 11, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FindLstn, RejectsBadBoardAndAddresses) {
    Bus b(oneScope());
    auto list = scanList();
    std::array<uint16_t, 15> results{};
    b.bus->FindLstn(1, list.data(), results.data(), 15);
    EXPECT_TRUE(b.failed());
    EXPECT_EQ(b.err, ENEB);
    list[5] = 31;
    b.bus->FindLstn(0, list.data(), results.data(), 15);
    EXPECT_TRUE(b.failed());
    EXPECT_EQ(b.err, EARG);
    EXPECT_EQ(results[0], 0) << "nothing is written for a bad list";
}

TEST(FindLstn, FindsASilentInstrument) {
    Scenario s = oneScope("ID TEK/TDS 210,CF:91.1CT,FV:v2.12", 4);
    s.addInstrument(2, std::nullopt).silent = true;
    Bus b(s);
    const auto list = scanList();
    std::array<uint16_t, 15> results{};
    b.bus->FindLstn(0, list.data(), results.data(), 15);
    EXPECT_FALSE(b.failed());
    EXPECT_EQ(b.cnt, 3);
    EXPECT_EQ(results[1], 2);
    EXPECT_EQ(results[2], 4);
}

// --- Descriptors and error codes -------------------------------------------------------------

TEST(Descriptors, AreDistinctPositiveAndKeepPadAndTimeout) {
    Bus b(oneScope());
    const int32_t a = b.open(1, T1s);
    const int32_t c = b.open(1, T10s);
    EXPECT_GT(a, 0);
    EXPECT_NE(a, c);
    int32_t v = -1;
    b.bus->ibask(a, IbaTMO, &v);
    EXPECT_EQ(v, T1s);
    b.bus->ibtmo(a, T3s);
    EXPECT_FALSE(b.failed());
    EXPECT_EQ(b.err, T1s) << "ibtmo reports the previous code in iberr";
    b.bus->ibask(a, IbaTMO, &v);
    EXPECT_EQ(v, T3s);
    b.bus->ibask(c, IbaTMO, &v);
    EXPECT_EQ(v, T10s);
    b.bus->ibpad(a, 9);
    b.bus->ibask(a, 1, &v);
    EXPECT_EQ(v, 9);
}

TEST(Descriptors, IbpadRedirectsTraffic) {
    Scenario s = oneScope();
    s.addInstrument(5, std::string("HEWLETT-PACKARD,34401A,0,11-5-2"));
    Bus b(s);
    const int32_t ud = b.open(1);
    b.bus->ibpad(ud, 5);
    EXPECT_EQ(b.query(ud, "ID?"), "HEWLETT-PACKARD,34401A,0,11-5-2\n");
    EXPECT_TRUE(b.bus->instrumentAt(1)->received().empty());
    ASSERT_EQ(b.bus->instrumentAt(5)->received().size(), 1u);
}

TEST(Errors, EveryCallChecksItsArguments) {
    Bus b(oneScope());
    const int32_t ud = b.open(1);
    char c = 0;
    int32_t v = 0;
    char buf[8];
    struct Call {
        const char* name;
        std::function<void()> run;
        int err;
    };
    const int32_t bad = ud + 100;
    const std::vector<Call> calls = {
        {"ibpad unknown", [&] { b.bus->ibpad(bad, 1); }, EDVR},
        {"ibclr unknown", [&] { b.bus->ibclr(bad); }, EDVR},
        {"ibrsp unknown", [&] { b.bus->ibrsp(bad, &c); }, EDVR},
        {"ibwrt unknown", [&] { b.bus->ibwrt(bad, "ID?", 3); }, EDVR},
        {"ibrd unknown", [&] { b.bus->ibrd(bad, buf, 8); }, EDVR},
        {"ibwait unknown", [&] { b.bus->ibwait(bad, 0x4100); }, EDVR},
        {"ibtmo unknown", [&] { b.bus->ibtmo(bad, T1s); }, EDVR},
        {"ibask unknown", [&] { b.bus->ibask(bad, IbaTMO, &v); }, EDVR},
        {"ibask board", [&] { b.bus->ibask(0, IbaTMO, &v); }, EDVR},
        {"ibdev board 1", [&] { EXPECT_EQ(b.bus->ibdev(1, 1, 0, T1s, 1, 0), -1); }, ENEB},
        {"ibdev pad 31", [&] { EXPECT_EQ(b.bus->ibdev(0, 31, 0, T1s, 1, 0), -1); }, EARG},
        {"ibdev tmo 18", [&] { EXPECT_EQ(b.bus->ibdev(0, 1, 0, 18, 1, 0), -1); }, EARG},
        {"ibpad 31", [&] { b.bus->ibpad(ud, 31); }, EARG},
        {"ibtmo 18", [&] { b.bus->ibtmo(ud, 18); }, EARG},
        {"ibtmo -1", [&] { b.bus->ibtmo(ud, -1); }, EARG},
        {"ibask option", [&] { b.bus->ibask(ud, 0x99, &v); }, EARG},
        {"ibask null", [&] { b.bus->ibask(ud, IbaTMO, nullptr); }, EARG},
        {"ibrsp null", [&] { b.bus->ibrsp(ud, nullptr); }, EARG},
        {"ibwrt negative", [&] { b.bus->ibwrt(ud, "x", -1); }, EARG},
        {"ibrd null", [&] { b.bus->ibrd(ud, nullptr, 8); }, EARG},
        {"ibsre board 2", [&] { b.bus->ibsre(2, 1); }, ENEB},
        {"SendIFC board 3", [&] { b.bus->SendIFC(3); }, ENEB},
    };
    for (const Call& call : calls) {
        b.sta = 0;
        b.err = -1;
        call.run();
        EXPECT_TRUE(b.failed()) << call.name;
        EXPECT_EQ(b.err, call.err) << call.name;
    }
}

TEST(Errors, WriteToAnAbsentAddressFailsAtOnceWithEnol) {
    Bus b(oneScope());
    const int32_t ud = b.open(8);
    const auto before = b.clock.now();
    b.write(ud, "ID?");
    EXPECT_TRUE(b.failed());
    EXPECT_EQ(b.err, ENOL);
    EXPECT_EQ(b.cnt, 0);
    EXPECT_EQ(b.clock.now(), before);
}

TEST(Registration, ScenarioCanMakeItFail) {
    for (int code : {2, 3, 4}) {
        Scenario s = oneScope();
        s.registerReturnCode = code;
        VirtualClock clock;
        auto bus = createSimBus(s, clock);
        int32_t w[4] = {};
        EXPECT_EQ(bus->RegisterGpibGlobalsForThread(&w[0], &w[1], &w[2], &w[3]), code);
        bus->SendIFC(0);
        EXPECT_EQ(w[0], 0) << "an unregistered driver writes no words";
    }
    Bus ok(oneScope());
    int32_t w[4] = {};
    EXPECT_EQ(ok.bus->RegisterGpibGlobalsForThread(&w[0], &w[1], &w[2], &w[3]), 1) << "already registered";
}

// --- Replies ---------------------------------------------------------------------------------

TEST(Replies, IdQueryEndsWithLfAndEndOnIt) {
    Bus b(oneScope("ID TEK/TDS 210,CF:91.1CT,FV:v2.12"));
    const int32_t ud = b.open(1);
    b.write(ud, "ID?");
    EXPECT_EQ(b.cnt, 3);
    std::string buf(256, ' ');
    b.bus->ibrd(ud, buf.data(), 256);
    EXPECT_EQ(b.sta & (END | kErr | TIMO), END);
    EXPECT_EQ(b.cntl, 34);
    EXPECT_EQ(buf.substr(0, 34), "ID TEK/TDS 210,CF:91.1CT,FV:v2.12\n");
    EXPECT_EQ(buf[34], ' ') << "bytes past the count stay as they were";
}

TEST(Replies, InstrumentWithoutIdReplyTimesOut) {
    Scenario s;
    s.addInstrument(3, std::nullopt);
    Bus b(s);
    const int32_t ud = b.open(3, T1s);
    b.write(ud, "ID?");
    EXPECT_FALSE(b.failed());
    char buf[16];
    b.bus->ibrd(ud, buf, 16);
    EXPECT_EQ(b.sta & (kErr | TIMO), kErr | TIMO);
    EXPECT_EQ(b.err, EABO);
    EXPECT_EQ(b.cnt, 0);
}

struct ChunkCase {
    std::size_t size;
    int chunk;
    std::vector<int> counts; // bytes per read; END only on the last
};

class EndOnLastChunk : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(EndOnLastChunk, OnlyTheReadWithTheLastByteHasEnd) {
    const ChunkCase& c = GetParam();
    Scenario s = oneScope();
    s.instruments[0].hardcopy = Payload::ofSize(c.size);
    Bus b(s);
    const int32_t ud = b.open(1);
    b.write(ud, "HARDCOPY START");
    std::string buf(static_cast<std::size_t>(c.chunk), ' ');
    for (std::size_t i = 0; i < c.counts.size(); ++i) {
        b.bus->ibrd(ud, buf.data(), c.chunk);
        EXPECT_EQ(b.cntl, c.counts[i]) << "read " << i;
        EXPECT_FALSE(b.failed());
        EXPECT_EQ((b.sta & END) != 0, i + 1 == c.counts.size()) << "read " << i;
    }
    b.bus->ibrd(ud, buf.data(), c.chunk);
    EXPECT_TRUE(b.sta & TIMO) << "nothing is left after END";
}

INSTANTIATE_TEST_SUITE_P(Chunks, EndOnLastChunk,
                         ::testing::Values(ChunkCase{1500, 512, {512, 512, 476}},
                                           ChunkCase{1024, 512, {512, 512}}, ChunkCase{512, 512, {512}},
                                           ChunkCase{1, 512, {1}}, ChunkCase{300, 256, {256, 44}}));

TEST(Replies, ClearAndNewMessagesDiscardAnUnreadReply) {
    Bus b(oneScope());
    const int32_t ud = b.open(1, T1s);
    char buf[64];
    char poll = 0;
    b.write(ud, "ID?");
    b.bus->ibrsp(ud, &poll);
    EXPECT_EQ(poll, 0x10) << "MAV while a reply waits";
    b.bus->ibclr(ud);
    b.bus->ibrsp(ud, &poll);
    EXPECT_EQ(poll, 0);
    b.bus->ibrd(ud, buf, 64);
    EXPECT_TRUE(b.sta & TIMO);

    b.write(ud, "ID?");
    b.write(ud, "HARDCOPY:FORMAT BMP");
    b.bus->ibrd(ud, buf, 64);
    EXPECT_TRUE(b.sta & TIMO) << "a new message drops the unread ID reply";

    b.write(ud, "HARDCOPY START");
    b.write(ud, "HARDCOPY ABORT");
    b.bus->ibrd(ud, buf, 64);
    EXPECT_TRUE(b.sta & TIMO);
}

TEST(Replies, IbwaitReturnsAtOnceWithoutConsumingData) {
    Bus b(oneScope());
    const int32_t ud = b.open(1);
    b.write(ud, "ID?");
    const auto t = b.clock.now();
    b.bus->ibwait(ud, 0x4100);
    EXPECT_EQ(b.sta, CMPL);
    EXPECT_EQ(b.clock.now(), t);
    EXPECT_EQ(b.readAll(ud).substr(0, 6), "ID TEK");
}

// --- Time ----------------------------------------------------------------------------------

struct TimeoutCase {
    const char* name;
    int tmo;
    double seconds;
};

class Timeouts : public ::testing::TestWithParam<TimeoutCase> {};

TEST_P(Timeouts, CostVirtualTimeOnly) {
    const TimeoutCase& c = GetParam();
    Scenario s = oneScope();
    s.addInstrument(2, std::nullopt).silent = true;
    Bus b(s);
    const auto realStart = std::chrono::steady_clock::now();
    for (int pad : {1, 2}) { // nothing pending; silent instrument
        const int32_t ud = b.open(pad, c.tmo);
        const double t0 = b.seconds();
        char buf[16];
        b.bus->ibrd(ud, buf, 16);
        EXPECT_EQ(b.sta & (kErr | TIMO | END), kErr | TIMO);
        EXPECT_EQ(b.err, EABO);
        EXPECT_NEAR(b.seconds() - t0, c.seconds, 1e-9);
        if (pad == 2) {
            const double t1 = b.seconds();
            char poll;
            b.bus->ibrsp(ud, &poll);
            EXPECT_EQ(b.err, EABO);
            EXPECT_NEAR(b.seconds() - t1, c.seconds, 1e-9);
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(2));
}

INSTANTIATE_TEST_SUITE_P(Codes, Timeouts,
                         ::testing::Values(TimeoutCase{"T1s", T1s, 1.0}, TimeoutCase{"T3s", T3s, 3.0},
                                           TimeoutCase{"T10s", T10s, 10.0}, TimeoutCase{"T1000s", 17, 1000.0},
                                           TimeoutCase{"TNONE", TNONE, 1000.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Timing, DefaultScenarioSendsAColourBmpInAboutASecond) {
    std::string error;
    VirtualClock clock;
    auto driver = createSimBus("", clock, error);
    ASSERT_TRUE(driver) << error;
    auto* bus = static_cast<SimBus*>(driver.get());
    int32_t w[4] = {};
    bus->RegisterGpibGlobalsForThread(&w[0], &w[1], &w[2], &w[3]);
    const int32_t ud = bus->ibdev(0, 1, 0, T10s, 1, 0);
    for (std::string cmd : {"HARDCOPY:FORMAT BMPCOLOR", "HARDCOPY START"})
        bus->ibwrt(ud, cmd.data(), static_cast<int32_t>(cmd.size()));
    const auto t0 = clock.now();
    std::size_t total = 0;
    char buf[512];
    do {
        bus->ibrd(ud, buf, 512);
        total += static_cast<std::size_t>(w[3]);
    } while (!(w[0] & (END | kErr)));
    EXPECT_EQ(total, 308278u);
    const double s = std::chrono::duration<double>(clock.now() - t0).count();
    EXPECT_GT(s, 0.7);
    EXPECT_LT(s, 1.5);
}

TEST(Timing, PictureLatencyLongerThanTheTimeoutTimesOutThenThePictureComes) {
    Scenario s = oneScope();
    s.latency = 0.25;
    s.hardcopyLatency = 12;
    s.instruments[0].hardcopy = Payload::ofSize(100);
    Bus b(s);
    const int32_t ud = b.open(1, T10s);
    EXPECT_EQ(b.query(ud, "ID?").back(), '\n');
    EXPECT_NEAR(b.seconds(), 0.25, 1e-6) << "text replies have their own latency";
    b.write(ud, "HARDCOPY START");
    char buf[128];
    b.bus->ibrd(ud, buf, 128);
    EXPECT_EQ(b.sta & (kErr | TIMO), kErr | TIMO);
    EXPECT_NEAR(b.seconds(), 10.25, 1e-6);
    b.bus->ibrd(ud, buf, 128);
    EXPECT_TRUE(b.sta & END);
    EXPECT_EQ(b.cntl, 100);
    EXPECT_NEAR(b.seconds(), 12.25, 1e-6);
}

TEST(Timing, SlowTransferDeliversWhatFitsIntoTheTimeout) {
    Scenario s = oneScope();
    s.rate = 100; // bytes per second
    s.instruments[0].hardcopy = Payload::ofSize(1000);
    Bus b(s);
    const int32_t ud = b.open(1, T3s);
    b.write(ud, "HARDCOPY START");
    char buf[512];
    b.bus->ibrd(ud, buf, 512);
    EXPECT_EQ(b.sta & (kErr | TIMO), kErr | TIMO);
    EXPECT_EQ(b.cntl, 300);
    EXPECT_NEAR(b.seconds(), 3.0, 1e-6);
}

// --- Faults --------------------------------------------------------------------------------

TEST(Faults, WriteErrorsMatchAndCount) {
    Scenario s = oneScope();
    Fault sub;
    sub.kind = Fault::Kind::WriteError;
    sub.match = "hardcopy:format";
    sub.iberr = ENOL;
    sub.times = 1;
    Fault exact;
    exact.kind = Fault::Kind::WriteError;
    exact.match = "HARDCOPY START";
    exact.exact = true;
    exact.iberr = EABO;
    s.instruments[0].faults = {sub, exact};
    Bus b(s);
    const int32_t ud = b.open(1, T3s);
    struct Step {
        const char* text;
        bool fails;
        int err;
        double cost;
    };
    for (const Step& st :
         {Step{"HARDCOPY:FORMAT TIFF", true, ENOL, 0}, Step{"HARDCOPY:FORMAT PNG", false, 0, 0},
          Step{"hardcopy start", false, 0, 0}, Step{"HARDCOPY START", true, EABO, 3.0}}) {
        const double t0 = b.seconds();
        b.write(ud, st.text);
        EXPECT_EQ(b.failed(), st.fails) << st.text;
        if (st.fails) {
            EXPECT_EQ(b.err, st.err) << st.text;
            EXPECT_EQ(b.cnt, 0) << st.text;
            EXPECT_EQ((b.sta & TIMO) != 0, st.err == EABO) << st.text;
        }
        EXPECT_NEAR(b.seconds() - t0, st.cost, 1e-9) << st.text;
    }
    const auto& log = b.bus->instrumentAt(1)->received();
    ASSERT_EQ(log.size(), 2u) << "failed writes are not received";
    EXPECT_EQ(log[0], "HARDCOPY:FORMAT PNG");
    EXPECT_EQ(b.bus->instrumentAt(1)->settings().format, PictureFormat::Png);
}

struct ReadFaultCase {
    const char* name;
    Fault::Kind kind;
    int chunk;
    int iberr;
    int32_t status; // of the faulty read, ERR/TIMO/END bits
};

class ReadFaults : public ::testing::TestWithParam<ReadFaultCase> {};

TEST_P(ReadFaults, HitTheGivenChunkOfTheHardcopy) {
    const ReadFaultCase& c = GetParam();
    Scenario s = oneScope();
    s.instruments[0].hardcopy = Payload::ofSize(2000);
    Fault f;
    f.kind = c.kind;
    f.chunk = c.chunk;
    f.iberr = c.iberr;
    s.instruments[0].faults = {f};
    Bus b(s);
    const int32_t ud = b.open(1, T10s);
    EXPECT_EQ(b.query(ud, "ID?").back(), '\n') << "the ID reply is not hit";
    b.write(ud, "HARDCOPY START");
    char buf[512];
    for (int i = 1; i < c.chunk; ++i) {
        b.bus->ibrd(ud, buf, 512);
        EXPECT_EQ(b.sta & (kErr | TIMO | END), 0) << "chunk " << i;
        EXPECT_EQ(b.cntl, 512);
    }
    const double t0 = b.seconds();
    b.bus->ibrd(ud, buf, 512);
    EXPECT_EQ(b.sta & (kErr | TIMO | END), c.status);
    EXPECT_EQ(b.err, c.iberr);
    EXPECT_EQ(b.cntl, 0);
    EXPECT_NEAR(b.seconds() - t0, c.kind == Fault::Kind::ReadTimeout ? 10.0 : 0.0, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ReadFaults,
    ::testing::Values(ReadFaultCase{"timeout3", Fault::Kind::ReadTimeout, 3, EABO, kErr | TIMO},
                      ReadFaultCase{"timeout1", Fault::Kind::ReadTimeout, 1, EABO, kErr | TIMO},
                      ReadFaultCase{"error2", Fault::Kind::ReadError, 2, 1, kErr},
                      ReadFaultCase{"error4", Fault::Kind::ReadError, 4, EDVR, kErr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Faults, IbtmoFailureKeepsTheOldCode) {
    Scenario s = oneScope();
    Fault f;
    f.kind = Fault::Kind::TimeoutSetError;
    f.iberr = EARG;
    f.times = 1;
    s.instruments[0].faults = {f};
    Bus b(s);
    const int32_t ud = b.open(1, T1s);
    int32_t v = 0;
    b.bus->ibtmo(ud, T3s);
    EXPECT_TRUE(b.failed());
    EXPECT_EQ(b.err, EARG);
    b.bus->ibask(ud, IbaTMO, &v);
    EXPECT_EQ(v, T1s);
    b.bus->ibtmo(ud, T3s);
    EXPECT_FALSE(b.failed()) << "times = 1";
}

// --- Hard copy commands ----------------------------------------------------------------------

TEST(Hardcopy, SettingsAreKeptCaseInsensitivelyAndInShortForm) {
    Bus b(oneScope());
    const int32_t ud = b.open(1);
    struct Case {
        const char* command;
        PictureFormat format;
        bool ink;
        const char* layout;
        const char* port;
    };
    for (const Case& c : {
             Case{"HARDCOPY:FORMAT TIFF", PictureFormat::Tiff, false, "PORTRAIT", "GPIB"},
             Case{"hardcopy:inksaver on", PictureFormat::Tiff, true, "PORTRAIT", "GPIB"},
             Case{"HARDC:FORM BMPC", PictureFormat::BmpColor, true, "PORTRAIT", "GPIB"},
             Case{"HARDC:LAY LAND;INKS OFF", PictureFormat::BmpColor, false, "LANDSCAPE", "GPIB"},
             Case{":HARDCOPY:PORT CENTRONICS;:HARDCOPY:FORMAT pcxcolor", PictureFormat::PcxColor, false,
                  "LANDSCAPE", "CENTRONICS"},
             Case{"HARDCOPY:FORMAT EPSIMAGE", PictureFormat::PcxColor, false, "LANDSCAPE", "CENTRONICS"},
             Case{"HARDCOPY:PORT GPI", PictureFormat::PcxColor, false, "LANDSCAPE", "GPIB"},
         }) {
        b.write(ud, c.command);
        const HardcopySettings& st = b.bus->instrumentAt(1)->settings();
        EXPECT_EQ(st.format, c.format) << c.command;
        EXPECT_EQ(st.inkSaver, c.ink) << c.command;
        EXPECT_EQ(st.layout, c.layout) << c.command;
        EXPECT_EQ(st.port, c.port) << c.command;
    }
    b.write(ud, "HARDCOPY:PALLET NORMAL;COMPRESSION OFF");
    EXPECT_EQ(b.bus->instrumentAt(1)->settings().pallet, "NORMAL");
    EXPECT_EQ(b.bus->instrumentAt(1)->settings().compression, "OFF");
    EXPECT_EQ(b.query(ud, "HARDCOPY:FORMAT?"), "PCXCOLOR\n");
}

TEST(Hardcopy, OnlyTheGpibPortSendsThePicture) {
    Bus b(oneScope());
    const int32_t ud = b.open(1, T1s);
    b.write(ud, "HARDCOPY:PORT CENTRONICS");
    b.write(ud, "HARDCOPY START");
    char buf[16];
    b.bus->ibrd(ud, buf, 16);
    EXPECT_TRUE(b.sta & TIMO);
    EXPECT_EQ(b.bus->instrumentAt(1)->hardcopies(), 0);
}

TEST(Hardcopy, NonScopeIgnoresHardcopyCommands) {
    Scenario s;
    s.addInstrument(1, std::string("HEWLETT-PACKARD,34401A,0,11-5-2"));
    Bus b(s);
    const int32_t ud = b.open(1, T1s);
    b.write(ud, "HARDCOPY START");
    EXPECT_FALSE(b.failed());
    char buf[16];
    b.bus->ibrd(ud, buf, 16);
    EXPECT_TRUE(b.sta & TIMO);
}

TEST(Hardcopy, AppendedBytesFollowThePictureAndEndCarriesThem) {
    Scenario s = oneScope();
    s.instruments[0].hardcopy = Payload::fromBytes(std::string("BM\0\x01  ", 6), "\r\n");
    Bus b(s);
    const int32_t ud = b.open(1);
    b.write(ud, "HARDCOPY:FORMAT TIFF"); // a given payload serves every format
    EXPECT_EQ(b.query(ud, "HARDCOPY START"), std::string("BM\0\x01  \r\n", 8));
    EXPECT_TRUE(b.sta & END);
}

} // namespace
} // namespace vellumix::gpib::sim::test

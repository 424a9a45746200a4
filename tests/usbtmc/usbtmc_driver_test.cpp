// The USBTMC backend on its simulated side: GPIB results from USBTMC message semantics.
#include "gpib/backends/port.h"
#include "gpib/backends/simscope/scenario.h"
#include "gpib/backends/usbtmc/simpipe.h"
#include "gpib/backends/usbtmc/usbtmcdriver.h"
#include "gpib/status.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace vellumix::gpib::usbtmc {
namespace {

constexpr int32_t kErr = 0x8000;

struct Rig {
    explicit Rig(const sim::Scenario& s) {
        auto p = std::make_unique<SimUsbtmcPipe>(s, clock);
        port = p.get();
        driver = std::make_unique<UsbtmcDriver>(std::move(p));
        EXPECT_EQ(driver->openDevices(), "");
        driver->RegisterGpibGlobalsForThread(&sta, &err, &cnt, &cntl);
    }
    VirtualClock clock;
    SimUsbtmcPipe* port = nullptr;
    std::unique_ptr<UsbtmcDriver> driver;
    int32_t sta = 0, err = 0, cnt = 0, cntl = 0;

    int32_t open(int pad, int tmo = T3s) { return driver->ibdev(0, pad, 0, tmo, 1, 0); }
    void write(int32_t ud, const std::string& t) {
        driver->ibwrt(ud, t.data(), static_cast<int32_t>(t.size()));
    }
    double seconds() { return std::chrono::duration<double>(clock.now()).count(); }
};

sim::Fault fault(sim::Fault::Kind kind) {
    sim::Fault f;
    f.kind = kind;
    return f;
}

sim::Scenario scopeWithReply(std::size_t size, int address = 1) {
    sim::Scenario s;
    auto& scope = s.addScope(address, "ID TEK/TDS 2024B,CF:91.1CT,FV:v22.11");
    scope.hardcopy = sim::Payload::ofSize(size);
    return s;
}

TEST(UsbtmcDriver, ListsTheBoardThenEachDeviceAtAnAddressOfItsOwn) {
    sim::Scenario s = scopeWithReply(10, 1);
    s.addScope(3, "ID TEK/TDS 1012B,CF:91.1CT,FV:v22.01");
    Rig rig(s);
    EXPECT_EQ(rig.driver->deviceAt(1), "/dev/usbtmc0");
    EXPECT_EQ(rig.driver->deviceAt(3), "/dev/usbtmc2");

    std::vector<uint16_t> list;
    for (uint16_t a = 0; a <= 30; ++a)
        list.push_back(a);
    list.push_back(0xFFFF);
    for (int scan = 0; scan < 2; ++scan) { // the same addresses on every scan of the run
        std::vector<uint16_t> results(15, 0xAAAA);
        rig.driver->FindLstn(0, list.data(), results.data(), 15);
        EXPECT_EQ(rig.sta & kErr, 0);
        EXPECT_EQ(rig.cnt, 3);
        EXPECT_EQ(std::vector<uint16_t>(results.begin(), results.begin() + 4),
                  (std::vector<uint16_t>{0, 1, 3, 0xAAAA}));
    }
    std::vector<uint16_t> two(2);
    rig.driver->FindLstn(0, list.data(), two.data(), 2);
    EXPECT_EQ(rig.sta & kErr, kErr);
    EXPECT_EQ(rig.err, ETAB);
}

TEST(UsbtmcDriver, ReadsEndWithEndOnTheMessagesLastByte) {
    struct Case {
        std::size_t size;
        std::vector<int32_t> counts; // per 512-byte read; END on the last
    };
    const std::vector<Case> cases = {
        {10, {10}},
        {512, {512}},
        {1024, {512, 512}},
        {1300, {512, 512, 276}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        Rig rig(scopeWithReply(c.size));
        const int32_t ud = rig.open(1);
        rig.write(ud, "HARDCOPY:PORT USB");
        rig.write(ud, "HARDCOPY START");
        std::string buf(512, ' ');
        for (std::size_t i = 0; i < c.counts.size(); ++i) {
            rig.driver->ibrd(ud, buf.data(), 512);
            EXPECT_EQ(rig.cntl, c.counts[i]);
            EXPECT_EQ(rig.sta & (kErr | END), i + 1 == c.counts.size() ? END : 0) << "read " << i;
        }
    }
}

TEST(UsbtmcDriver, TheDescriptorsTimeoutIsTheFilesTimeout) {
    struct Case {
        int code;
        uint32_t fileMs;
    };
    // The kernel takes nothing under 100 ms and has no "for ever".
    const std::vector<Case> cases = {{T1s, 1000}, {T3s, 3000}, {T10s, 10000}, {7, 100}, {TNONE, 1000000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        Rig rig(scopeWithReply(10));
        const int32_t ud = rig.open(1, T1s);
        rig.driver->ibtmo(ud, c.code);
        EXPECT_EQ(rig.sta & kErr, 0);
        int32_t code = -1;
        rig.driver->ibask(ud, IbaTMO, &code);
        EXPECT_EQ(code, c.code);
        // Nothing queued: the read waits the file's timeout, then reports a GPIB timeout.
        const double before = rig.seconds();
        std::string buf(512, ' ');
        rig.driver->ibrd(ud, buf.data(), 512);
        EXPECT_EQ(rig.sta & (kErr | TIMO), kErr | TIMO);
        EXPECT_EQ(rig.err, EABO);
        EXPECT_DOUBLE_EQ(rig.seconds() - before, c.fileMs / 1000.0);
    }
}

TEST(UsbtmcDriver, ClearStatusByteAndMissingDevices) {
    Rig rig(scopeWithReply(100));
    const int32_t ud = rig.open(1);
    char stb = 0;
    rig.write(ud, "ID?");
    rig.driver->ibrsp(ud, &stb);
    EXPECT_EQ(stb, 0x10) << "MAV while the reply waits";
    rig.driver->ibclr(ud);
    rig.driver->ibrsp(ud, &stb);
    EXPECT_EQ(stb, 0) << "device clear dropped the reply";

    const int32_t nobody = rig.open(5);
    rig.write(nobody, "ID?");
    EXPECT_EQ(rig.sta & kErr, kErr);
    EXPECT_EQ(rig.err, ENOL);
    rig.driver->ibpad(nobody, 1);
    rig.write(nobody, "ID?");
    EXPECT_EQ(rig.sta & kErr, 0) << "re-addressed to the scope";

    rig.driver->ibwrt(99, "x", 1);
    EXPECT_EQ(rig.err, EDVR);
}

TEST(UsbtmcDriver, FailuresSayWhatHappenedOnTheWire) {
    struct Case {
        const char* name;
        sim::Fault fault;
        int failingRead; // 0: the write fails
        std::string detail;
        int32_t status;
    };
    sim::Fault timeout = fault(sim::Fault::Kind::ReadTimeout);
    timeout.chunk = 3;
    sim::Fault first = fault(sim::Fault::Kind::ReadTimeout);
    sim::Fault broken = fault(sim::Fault::Kind::ReadError);
    broken.chunk = 2;
    sim::Fault write = fault(sim::Fault::Kind::WriteError);
    write.match = "START";
    const std::vector<Case> cases = {
        {"stops mid-reply", timeout, 3, "stopped answering after 1024 bytes: nothing came for 10 s",
         kErr | TIMO},
        {"never starts", first, 1, "sent nothing for 10 s", kErr | TIMO},
        {"transfer error", broken, 2, "/dev/usbtmc0: Input/output error.", kErr},
        {"command not taken", write, 0, "did not take the command within 10 s", kErr | TIMO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Scenario s = scopeWithReply(5000);
        s.instruments[0].faults.push_back(c.fault);
        Rig rig(s);
        const int32_t ud = rig.open(1, T10s);
        rig.write(ud, "HARDCOPY:PORT USB");
        rig.write(ud, "HARDCOPY START");
        std::string buf(512, ' ');
        for (int i = 1; i <= c.failingRead; ++i)
            rig.driver->ibrd(ud, buf.data(), 512);
        EXPECT_EQ(rig.sta & (kErr | TIMO), c.status);
        EXPECT_NE(rig.driver->failureDetail().find(c.detail), std::string::npos)
            << rig.driver->failureDetail();
        rig.write(ud, "ID?");
        EXPECT_EQ(rig.driver->failureDetail(), "") << "a call that works forgets the last failure";
    }

    // A timeout the kernel refuses says so, not what an earlier read met.
    sim::Scenario s = scopeWithReply(10);
    s.instruments[0].faults.push_back(fault(sim::Fault::Kind::TimeoutSetError));
    Rig rig(s);
    const int32_t ud = rig.open(1, T3s);
    std::string buf(512, ' ');
    rig.driver->ibrd(ud, buf.data(), 512); // nothing queued: times out
    rig.driver->ibtmo(ud, T10s);
    EXPECT_EQ(rig.sta & kErr, kErr);
    EXPECT_EQ(rig.driver->failureDetail(),
              "The timeout of /dev/usbtmc0 could not be set: Input/output error.");
    int32_t code = 0;
    rig.driver->ibask(ud, IbaTMO, &code);
    EXPECT_EQ(code, T3s) << "the descriptor keeps its code";
}

TEST(UsbtmcDriver, AnUnpluggedScopeIsGoneUntilItIsBackAtItsOldAddress) {
    Rig rig(scopeWithReply(5000));
    const int32_t ud = rig.open(1);
    rig.write(ud, "HARDCOPY:PORT USB");
    rig.write(ud, "HARDCOPY START");
    std::string buf(512, ' ');
    rig.driver->ibrd(ud, buf.data(), 512);
    rig.port->setPresent("/dev/usbtmc0", false);
    rig.driver->ibrd(ud, buf.data(), 512);
    EXPECT_EQ(rig.sta & (kErr | TIMO), kErr);
    EXPECT_EQ(rig.err, EDVR);
    EXPECT_EQ(rig.cntl, ENODEV) << "the errno value as the count, as linux-gpib reports it";
    EXPECT_NE(rig.driver->failureDetail().find("/dev/usbtmc0 is gone"), std::string::npos);
    rig.write(ud, "ID?");
    EXPECT_EQ(rig.sta & kErr, kErr) << "no write reaches a vanished device";

    std::vector<uint16_t> list = {0, 1, 2, 0xFFFF}, results(15);
    rig.driver->FindLstn(0, list.data(), results.data(), 15);
    EXPECT_EQ(rig.err, EBUS) << "nothing left on the bus";
    rig.port->setPresent("/dev/usbtmc0", true);
    rig.driver->FindLstn(0, list.data(), results.data(), 15);
    EXPECT_EQ(rig.cnt, 2);
    EXPECT_EQ(results[1], 1);
    rig.write(ud, "ID?");
    EXPECT_EQ(rig.sta & kErr, 0) << "the same descriptor reaches the scope again";
}

TEST(UsbtmcTransport, TimeoutCodesInMilliseconds) {
    const std::vector<std::pair<int, int64_t>> cases = {
        {TNONE, 0}, {1, 1}, {5, 1}, {9, 100}, {T1s, 1000}, {T10s, 10000}, {17, 1000000}, {18, 0}, {-1, 0}};
    for (const auto& [code, ms] : cases)
        EXPECT_EQ(timeoutMilliseconds(code), ms) << code;
}

} // namespace
} // namespace vellumix::gpib::usbtmc

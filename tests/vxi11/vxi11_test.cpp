// The VXI-11 bus against the virtual instrument in the same process, on a virtual clock: genuine
// hard copies byte for byte under every way a device cuts its replies, each device error as the
// boxes show it, long silences, portmappers that answer on one protocol only, gateways, cancel.
#include "capture/hardcopy.h"
#include "gpib/backends/vxi11/rpc.h"
#include "gpib/discovery.h"
#include "gpib/status.h"
#include "tests/vxi11/vxi11rig.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace vellumix;
using namespace vellumix::gpib;
using test::Vxi11Run;
using vxi11sim::ServerOptions;

namespace {

const char* const Uri = "vxi11:127.0.0.1";
constexpr int16_t T100s = 15;

// The largest divisor of n up to `most`: a chunk size that cuts the picture into whole pieces.
std::size_t divisorUpTo(std::size_t n, std::size_t most) {
    for (std::size_t d = std::min(n, most); d > 1; --d)
        if (n % d == 0) return d;
    return n;
}

ServerOptions opts(std::function<void(ServerOptions&)> change = {}) {
    ServerOptions o;
    if (change) change(o);
    return o;
}

TEST(Vxi11Rpc, RecordsAndXdrSurviveEveryCut) {
    for (std::size_t size : {0u, 1u, 3u, 4u, 5u, 1000u}) {
        const std::string data(size, 'x');
        vxi11::XdrWriter w;
        w.u32(7).opaque(data).u32(9);
        vxi11::XdrReader r(w.bytes());
        EXPECT_EQ(r.u32(), 7u);
        EXPECT_EQ(r.opaque(), data);
        EXPECT_EQ(r.u32(), 9u);
        EXPECT_TRUE(r.ok()) << size;
        EXPECT_EQ(w.bytes().size() % 4, 0u);
        for (std::size_t fragment : {1u, 3u, 4u, 4096u}) {
            vxi11::RecordReader reader;
            const std::string marked = vxi11::recordMark(w.bytes(), fragment);
            std::string record;
            for (char c : marked) { // a byte at a time, as a slow network hands it over
                EXPECT_NE(reader.next(record), vxi11::RecordReader::Result::Record);
                reader.feed(std::string_view(&c, 1));
            }
            EXPECT_EQ(reader.next(record), vxi11::RecordReader::Result::Record);
            EXPECT_EQ(record, w.bytes());
        }
    }
    vxi11::RecordReader small(100);
    small.feed(vxi11::recordMark(std::string(101, 'a')));
    std::string record;
    EXPECT_EQ(small.next(record), vxi11::RecordReader::Result::TooLarge);
    vxi11::XdrReader truncated(std::string_view("\0\0\0\x08"
                                                "abc",
                                                7));
    truncated.opaque();
    EXPECT_FALSE(truncated.ok()) << "an opaque longer than what came";
}

TEST(Vxi11Rpc, RepliesAreReadByTheirStatus) {
    struct Case {
        uint32_t accept;
        vxi11::Reply::Status status;
    };
    for (const Case& c : std::vector<Case>{{0, vxi11::Reply::Status::Success},
                                           {1, vxi11::Reply::Status::ProgramUnavailable},
                                           {3, vxi11::Reply::Status::ProcedureUnavailable},
                                           {4, vxi11::Reply::Status::GarbageArguments}}) {
        // The reply views the bytes it was read from: they must outlive it.
        const std::string bytes = vxi11::encodeReply(42, "RSLT", c.accept);
        const vxi11::Reply reply = vxi11::decodeReply(bytes);
        EXPECT_EQ(reply.xid, 42u);
        EXPECT_EQ(reply.status, c.status);
        if (c.accept == 0) {
            EXPECT_EQ(reply.results, "RSLT");
        }
    }
    EXPECT_EQ(vxi11::decodeReply("junk").status, vxi11::Reply::Status::Malformed);
    const std::string callBytes = vxi11::encodeCall(5, vxi11::CoreProgram, 1, vxi11::DeviceRead, "ARGS");
    const auto call = vxi11::decodeCall(callBytes);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->procedure, vxi11::DeviceRead);
    EXPECT_EQ(call->args, "ARGS");
}

TEST(Vxi11Errors, EachDeviceCodeBecomesTheStatusABoardGives) {
    struct Case {
        uint32_t code;
        int32_t sta;
        int16_t err;
        const char* words;
    };
    const std::vector<Case> cases = {
        {1, ErrBit, EARG, "did not understand"},
        {3, ErrBit, ENOL, "cannot be reached"},
        {4, ErrBit, EDVR, "no longer knows the link"},
        {5, ErrBit, EARG, "refused a value"},
        {8, ErrBit, ECAP, "does not support"},
        {11, ErrBit, EDVR, "another client holds its lock"},
        {15, ErrBit | TIMO, EABO, "timed out"},
        {17, ErrBit, EBUS, "I/O error"},
        {23, ErrBit, EABO, "aborted"},
        {99, ErrBit, EDVR, "error 99"},
    };
    // Error 17 speaks of a GPIB cable only where there is one: behind a gateway.
    for (const auto& [gateway, words, notWords] : std::vector<std::tuple<bool, const char*, const char*>>{
             {true, "the gateway's GPIB bus", ""}, {false, "off and on", "GPIB"}}) {
        const std::string text = vxi11::deviceErrorText(vxi11::IoError, gateway);
        EXPECT_NE(text.find(words), std::string::npos) << text;
        if (*notWords) {
            EXPECT_EQ(text.find(notWords), std::string::npos) << text;
        }
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const CallStatus s = vxi11::deviceErrorStatus(c.code, 12);
        EXPECT_EQ(s.sta, c.sta);
        EXPECT_EQ(s.err, c.err);
        EXPECT_EQ(s.cnt, 12);
        EXPECT_NE(vxi11::deviceErrorText(c.code).find(c.words), std::string::npos);
    }
    // Write pieces: the device's size unless it says nothing useful.
    for (const auto& [reported, piece] : std::vector<std::pair<uint32_t, uint32_t>>{
             {0, 1024}, {4294967295u, 1024}, {16, 16}, {65536, 65536}, {(16u << 20) + 1, 1024}})
        EXPECT_EQ(vxi11::writePieceSize(reported), piece) << reported;
}

TEST(Vxi11Capture, EveryGenuineHardCopyByteForByteHoweverTheDeviceCutsIt) {
    VELLUMIX_NEED_REAL_HARDCOPIES();
    const auto names = test::realHardCopyNames();
    ASSERT_EQ(names.size(), 18u);
    for (const std::string& name : names) {
        const std::string picture = test::realHardCopy(name);
        struct Cut {
            const char* what;
            ServerOptions options;
        };
        const std::vector<Cut> cuts = {
            {"one reply", opts()},
            {"chunks that divide it exactly",
             opts([&](ServerOptions& o) { o.chunk = divisorUpTo(picture.size(), 4096); })},
            {"chunk of 1000, END on the last", opts([](ServerOptions& o) { o.chunk = 1000; })},
            {"padded replies, fragmented records", opts([](ServerOptions& o) {
                 o.padding = 5;
                 o.fragment = 777;
             })},
            {"maxRecvSize 0", opts([](ServerOptions& o) { o.maxRecvSize = 0; })},
            {"maxRecvSize 4294967295", opts([](ServerOptions& o) { o.maxRecvSize = 4294967295u; })},
        };
        for (const Cut& cut : cuts) {
            SCOPED_TRACE(name + ", " + cut.what);
            Vxi11Run run(test::tds3000(picture), cut.options, Uri, "genuine");
            ASSERT_TRUE(run.driver) << run.bus.error;
            const int16_t ud = run.device(1, T10s);
            const std::string got = capture::requestHardCopy(*run.link, ud, "BMP", false);
            EXPECT_TRUE(got == picture) << got.size() << " bytes instead of " << picture.size();
            EXPECT_TRUE(run.desktop.boxes.empty());
        }
    }
}

TEST(Vxi11Capture, TheWindowRunsItsWholeCycleWithTheGpibPortWord) {
    Vxi11Run run(test::tds3000(""), opts(), Uri, "window");
    ASSERT_TRUE(run.driver) << run.bus.error;
    EXPECT_EQ(run.bus.description, "VXI-11 127.0.0.1:40001, inst0 at address 1");
    run.start();
    EXPECT_NE(run.view.captionText.find("Connected to TDS 3054B @ GPIB Addr: 1"), std::string::npos)
        << run.view.captionText;
    const std::string bmp = run.captureBmp();
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_TRUE(run.desktop.boxes.empty()) << run.desktop.boxes.front().prompt;
    const auto& got = run.server->instrument(1)->received();
    EXPECT_NE(std::find(got.begin(), got.end(), "HARDCOPY:PORT GPIB"), got.end());
    EXPECT_EQ(got.back(), "HARDCOPY START");

    // Links go with the driver.
    EXPECT_EQ(run.server->openLinks(), 1);
    run.session.reset();
    run.link.reset();
    run.driver.reset();
    EXPECT_EQ(run.server->openLinks(), 0);
}

TEST(Vxi11Transfer, FaultsOfTheDeviceEndTheCallWithTheirOwnStatusAndWords) {
    struct Case {
        const char* what;
        ServerOptions options;
        const char* command; // sent first, its reply read
        std::size_t count;   // bytes the read asks for
        int16_t err;
        bool timo;
        const char* detail;
    };
    const std::vector<Case> cases = {
        {"locked by another client", opts([](ServerOptions& o) { o.lockedByOther = true; }), "ID?", 100, EDVR,
         false, "another client holds its lock (error 11)"},
        {"aborted transfer", opts([](ServerOptions& o) { o.abortAfter = 5000; }), "HARDCOPY START", 200000,
         EABO, false, "aborted (error 23)"},
        {"reply longer than asked", opts([](ServerOptions& o) { o.overlong = 3; }), "ID?", 10, EDVR, false,
         "were asked for; the reply was refused"},
        {"nothing to read", opts(), "", 100, EABO, true, "sent nothing for 3 s"},
        {"syntax error", opts([](ServerOptions& o) { o.deviceError = 1; }), "ID?", 100, EARG, false,
         "did not understand the request (error 1)"},
        {"link unknown after a restart", opts([](ServerOptions& o) { o.deviceError = 4; }), "ID?", 100, EDVR,
         false, "no longer knows the link (error 4)"},
        {"parameter error", opts([](ServerOptions& o) { o.deviceError = 5; }), "ID?", 100, EARG, false,
         "refused a value of the request (error 5)"},
        {"operation not supported", opts([](ServerOptions& o) { o.deviceError = 8; }), "ID?", 100, ECAP,
         false, "does not support this operation (error 8)"},
        {"I/O error of the instrument itself", opts([](ServerOptions& o) { o.deviceError = 17; }), "ID?", 100,
         EBUS, false, "it reported an I/O error (error 17)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Vxi11Run run(test::tds3000(std::string(100000, 'P')), c.options, Uri, "faults");
        ASSERT_TRUE(run.driver) << run.bus.error;
        const int16_t ud = run.device(1);
        if (*c.command) run.link->ibwrt(ud, c.command);
        std::string buf(c.count, '\0');
        if (!(run.link->ibsta & ERR)) run.link->ibrd(ud, buf);
        EXPECT_TRUE(run.link->ibsta & ERR);
        EXPECT_EQ(run.link->iberr, c.err);
        EXPECT_EQ((run.link->ibsta & TIMO) != 0, c.timo);
        EXPECT_NE(run.link->failureDetail().find(c.detail), std::string::npos) << run.link->failureDetail();
        EXPECT_NE(run.link->failureDetail().find("127.0.0.1"), std::string::npos) << "names the host";
    }
}

TEST(Vxi11Transfer, ASilenceEndsByTheDescriptorsTimeoutNotByAFixedOne) {
    struct Case {
        int16_t tmo;
        bool arrives;
        double atLeast, atMost; // seconds on the virtual clock
    };
    // 30 s of silence before the picture: within T100s it comes; T10s gives up after 10 s.
    for (const Case& c : std::vector<Case>{{T100s, true, 30, 31}, {T10s, false, 10, 13}}) {
        SCOPED_TRACE(c.tmo);
        Vxi11Run run(test::tds3000("BM-picture"), opts([](ServerOptions& o) { o.delay = 30; }), Uri,
                     "silence");
        ASSERT_TRUE(run.driver) << run.bus.error;
        const int16_t ud = run.device(1, c.tmo);
        run.link->ibwrt(ud, "HARDCOPY START");
        const double start = run.seconds();
        std::string buf(100, '\0');
        run.link->ibrd(ud, buf);
        const double took = run.seconds() - start;
        EXPECT_GE(took, c.atLeast);
        EXPECT_LE(took, c.atMost);
        EXPECT_EQ((run.link->ibsta & END) != 0, c.arrives);
        EXPECT_EQ((run.link->ibsta & TIMO) != 0, !c.arrives);
    }
}

TEST(Vxi11Transfer, WritesGoInPiecesOfTheDevicesSizeWithEndOnTheLast) {
    for (const auto& [reported, calls] :
         std::vector<std::pair<uint32_t, int>>{{8, 3}, {0, 1}, {4294967295u, 1}, {1024, 1}}) {
        SCOPED_TRACE(reported);
        Vxi11Run run(test::tds3000(""), opts([r = reported](ServerOptions& o) {
                         o.maxRecvSize = r;
                         o.acceptSize = r == 8 ? 8 : 1024;
                     }),
                     Uri, "pieces");
        ASSERT_TRUE(run.driver) << run.bus.error;
        const int16_t ud = run.device(1);
        const std::string command = "HARDCOPY:FORMAT BMP";
        run.link->ibwrt(ud, command + ";");
        EXPECT_FALSE(run.link->ibsta & ERR) << run.link->failureDetail();
        EXPECT_EQ(run.link->ibcntl, static_cast<int32_t>(command.size() + 1));
        EXPECT_EQ(std::count(run.server->calls().begin(), run.server->calls().end(), vxi11::DeviceWrite),
                  calls);
        EXPECT_EQ(run.server->instrument(1)->received().back(), command + ";");
    }
}

TEST(Vxi11Transfer, ReadsOfAnySizeGiveTheReplyOnceWithEndOnItsLastByte) {
    std::string picture(10000, '\0');
    for (std::size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<char>(i * 7 % 251);
    for (std::size_t chunk : {0u, 1000u, 4096u, 2500u}) {
        for (int32_t count : {1, 512, 2500, 4096, 10000, 20000}) {
            SCOPED_TRACE(std::to_string(chunk) + " / " + std::to_string(count));
            Vxi11Run run(test::tds3000(picture), opts([chunk](ServerOptions& o) { o.chunk = chunk; }), Uri,
                         "sizes");
            ASSERT_TRUE(run.driver) << run.bus.error;
            const int16_t ud = run.device(1);
            run.link->ibwrt(ud, "HARDCOPY START");
            std::string got;
            int ends = 0;
            for (int reads = 0; reads < 20000 && !(run.link->ibsta & (END | ERR)); ++reads) {
                std::string buf(static_cast<std::size_t>(count), '\0');
                run.link->ibrd(ud, buf);
                got.append(buf, 0, static_cast<std::size_t>(run.link->ibcntl));
                ends += (run.link->ibsta & END) != 0;
            }
            EXPECT_FALSE(run.link->ibsta & ERR) << run.link->failureDetail();
            EXPECT_EQ(ends, 1);
            EXPECT_TRUE(got == picture) << got.size();
            // A new message drops what the last one left unread, here and on the device.
            run.link->ibwrt(ud, "HARDCOPY START");
            std::string first(1, '\0');
            run.link->ibrd(ud, first);
            run.link->ibwrt(ud, "ID?");
            std::string id(100, '\0');
            run.link->ibrd(ud, id);
            EXPECT_EQ(id.substr(0, 16), "ID TEK/TDS 3054B");
        }
    }
}

TEST(Vxi11Open, ThePortmapperIsAskedOverUdpThenTcp) {
    struct Case {
        const char* what;
        bool udp, tcp;
        int datagrams;
        const char* error; // empty: opens
    };
    const std::vector<Case> cases = {
        {"both", true, true, 1, ""},
        {"UDP only", true, false, 1, ""},
        {"TCP only", false, true, 2, ""},
        {"neither", false, false, 2, "No portmapper answers at 127.0.0.1 (port 111, UDP and TCP)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Vxi11Run run(test::tds3000(""), opts([&](ServerOptions& o) {
                         o.portmapperUdp = c.udp;
                         o.portmapperTcp = c.tcp;
                     }),
                     Uri, "portmapper");
        EXPECT_EQ(*run.datagrams, c.datagrams);
        EXPECT_LE(run.seconds(), 5.0) << "every wait is bounded";
        if (*c.error) {
            EXPECT_FALSE(run.driver);
            EXPECT_EQ(run.bus.title, vxi11::Vxi11ErrorTitle);
            EXPECT_NE(run.bus.error.find(c.error), std::string::npos) << run.bus.error;
            EXPECT_NE(run.bus.error.find("\"inst0\""), std::string::npos) << "names the device";
        } else {
            ASSERT_TRUE(run.driver) << run.bus.error;
            EXPECT_EQ(run.port().corePort(), 40001);
        }
    }
}

TEST(Vxi11Open, EachFailureSaysWhatFailedNamingHostAndDevice) {
    using Kind = vxi11::NetError::Kind;
    struct Case {
        const char* uri;
        bool refuse;
        const char* words;
        Kind failure = Kind::None; // how connecting to the core port fails
        const char* notWords = "";
    };
    const std::vector<Case> cases = {
        {"vxi11:scope.invalid", false, "cannot find the host scope.invalid (for the device \"inst0\")"},
        {"vxi11:127.0.0.1:40009", false, "127.0.0.1 refuses the VXI-11 connection on port 40009"},
        {"vxi11:127.0.0.1", true, "refuses the VXI-11 connection on port 40001"},
        {"vxi11:127.0.0.1/inst7", false, "127.0.0.1 answers, but does not know the device \"inst7\""},
        {"vxi11:127.0.0.1:40001/gpib0,5", false, "does not know the device \"gpib0,5\""},
        {"vxi11:127.0.0.1/inst7", false, "Use vxi11:127.0.0.1/NAME for another name"},
        {"vxi11:127.0.0.1:40001/inst5", false, "Use vxi11:127.0.0.1:40001/NAME for another name"},
        {"vxi11:127.0.0.1", false,
         "127.0.0.1 does not answer the VXI-11 connection on port 40001 (nothing answered in time)",
         Kind::Timeout, "refuses"},
        {"vxi11:127.0.0.1:40001", false,
         "127.0.0.1 does not answer the VXI-11 connection on port 40001 (the "
         "host cannot be reached",
         Kind::Unreachable, "refuses"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uri);
        gpib::VirtualClock clock;
        vxi11sim::Server server(test::tds3000(""), opts(), clock);
        auto net = std::make_unique<vxi11sim::LoopbackNetwork>(server, clock);
        net->refuseCore = c.refuse;
        net->coreFailure = c.failure;
        std::string why;
        const auto uri = parseBusUri(c.uri, why);
        ASSERT_TRUE(uri) << why;
        const BusOpenResult bus = vxi11::openVxi11(*uri, std::move(net), 111);
        EXPECT_FALSE(bus.driver);
        EXPECT_NE(bus.error.find(c.words), std::string::npos) << bus.error;
        if (*c.notWords) {
            EXPECT_EQ(bus.error.find(c.notWords), std::string::npos) << bus.error;
        }
        EXPECT_LE(clock.now(), std::chrono::seconds(10)) << "the connect ends at its deadline";
    }
}

TEST(Vxi11Gateway, TheScanFindsEachListenerAndCapturesFromOne) {
    VELLUMIX_NEED_REAL_HARDCOPIES();
    const std::string picture = test::realHardCopy("tds460a_sine.bmp");
    for (const char* device : {"gpib0", "hpib", "GPIB"}) {
        SCOPED_TRACE(device);
        Vxi11Run run(test::tds3000(picture, {3, 7, 12}), opts([](ServerOptions& o) { o.gateway = true; }),
                     std::string(Uri) + "/" + device, "gateway");
        ASSERT_TRUE(run.driver) << run.bus.error;
        EXPECT_EQ(run.bus.description, "VXI-11 gateway 127.0.0.1:40001, " + std::string(device));
        EXPECT_EQ(run.listeners(), (std::vector<int16_t>{3, 7, 12}));
        const int16_t ud = run.device(7, T10s);
        EXPECT_TRUE(capture::requestHardCopy(*run.link, ud, "BMP", false) == picture);
        EXPECT_EQ(run.server->instrument(7)->hardcopies(), 1);
        EXPECT_EQ(run.server->instrument(3)->hardcopies(), 0);
    }
}

TEST(Vxi11Gateway, OneAddressBehindAGatewayIsAListenerOnlyWhenAnInstrumentIsThere) {
    struct Case {
        const char* device;
        bool gateway;
        bool locked;
        std::vector<int16_t> found;
    };
    const std::vector<Case> cases = {
        {"gpib0,3", true, false, {3}},
        {"gpib0,5", true, false, {}}, // nothing connected there: the gateway says so when asked
        {"hpib,12", true, false, {12}},
        {"gpib0,3", true, true, {3}}, // locked: there, and the identification says why it is unusable
        {"inst0", false, false, {1}}, // a device of its own is there once its link is
        {"inst0", false, true, {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.device) + (c.locked ? ", locked" : ""));
        Vxi11Run run(test::tds3000("", {1, 3, 12}), opts([&](ServerOptions& o) {
                         o.gateway = c.gateway;
                         o.lockedByOther = c.locked;
                     }),
                     std::string(Uri) + "/" + c.device, "single");
        ASSERT_TRUE(run.driver) << run.bus.error;
        EXPECT_EQ(run.listeners(), c.found);
    }
}

TEST(Vxi11Identify, ADeviceErrorDuringTheSearchIsNamedInItsBox) {
    struct Case {
        const char* what;
        ServerOptions options;
        const char* uri;
        const char* words; // in the received responses, after the address
    };
    const std::vector<Case> cases = {
        {"locked", opts([](ServerOptions& o) { o.lockedByOther = true; }), Uri,
         "(address 1) The device inst0 at 127.0.0.1: another client holds its lock (error 11)"},
        {"reply longer than asked", opts([](ServerOptions& o) { o.overlong = 3; }), Uri,
         "(address 1) The device inst0 at 127.0.0.1 sent 262147 bytes where 262144 were asked for"},
        {"locked, behind a gateway", opts([](ServerOptions& o) {
             o.gateway = true;
             o.lockedByOther = true;
         }),
         "vxi11:127.0.0.1/gpib0,1", "(address 1) The device gpib0,1 at 127.0.0.1: another client holds"},
        {"gateway's bus error", opts([](ServerOptions& o) {
             o.gateway = true;
             o.deviceError = 17;
         }),
         "vxi11:127.0.0.1/gpib0,1",
         "(address 1) The device gpib0,1 at 127.0.0.1: an I/O error on the gateway's "
         "GPIB bus (error 17)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Vxi11Run run(test::tds3000(""), c.options, c.uri, "identify");
        ASSERT_TRUE(run.driver) << run.bus.error;
        ScanBus(*run.link, 0);
        ASSERT_EQ(run.link->Listeners.count(), 1);
        std::string query = "ID?!";
        std::string expected = "TEK/TDS";
        EXPECT_EQ(FindDeviceById(*run.link, query, expected), 0);
        ASSERT_EQ(run.desktop.boxes.size(), 1u);
        const std::string& prompt = run.desktop.boxes[0].prompt;
        EXPECT_NE(prompt.find("Received Response(s):\n"), std::string::npos) << prompt;
        EXPECT_NE(prompt.find(c.words), std::string::npos) << prompt;
    }
}

TEST(Vxi11Cancel, ACancelDuringAReadAbortsTheTransferOnTheAbortChannel) {
    Vxi11Run run(test::tds3000(std::string(300000, 'P')), opts([](ServerOptions& o) { o.delay = 20; }), Uri,
                 "cancel");
    ASSERT_TRUE(run.driver) << run.bus.error;
    const int16_t ud = run.device(1, T100s);
    run.link->ibwrt(ud, "HARDCOPY START");
    run.network->onWait = [&, fired = false]() mutable {
        if (!fired) run.link->requestCancel(); // once, as the user presses Cancel once
        fired = true;
    };
    std::string buf(400000, '\0');
    const double start = run.seconds();
    run.link->ibrd(ud, buf);
    run.network->onWait = {};
    EXPECT_LT(run.seconds() - start, 2.0) << "not the 20 s until the first byte";
    EXPECT_TRUE(run.link->ibsta & ERR);
    EXPECT_EQ(run.link->iberr, EABO);
    EXPECT_EQ(run.server->aborts(), 1);
    run.link->ibrd(ud, buf);
    EXPECT_EQ(run.link->iberr, EABO) << "later calls refuse until the cancel is cleared";

    run.link->clearCancel();
    run.link->ibclr(ud);
    run.link->ibwrt(ud, "ID?");
    run.link->ibrd(ud, buf);
    EXPECT_FALSE(run.link->ibsta & ERR) << run.link->failureDetail();
    EXPECT_EQ(buf.substr(0, 16), "ID TEK/TDS 3054B");
}

TEST(Vxi11Cancel, TheNextCaptureAfterACancelIsExactAndAtOnce) {
    std::string picture(300000, '\0');
    for (std::size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<char>(i * 13 % 251);
    struct Case {
        const char* what;
        int waitsBeforeCancel; // core waits before the user presses Cancel (7: the setup's writes)
    };
    for (const Case& c : std::vector<Case>{{"as the picture is asked for", 7}, {"halfway", 40}}) {
        SCOPED_TRACE(c.what);
        Vxi11Run run(test::tds3000(picture), opts([](ServerOptions& o) { o.chunk = 4000; }), Uri,
                     "recapture");
        ASSERT_TRUE(run.driver) << run.bus.error;
        const int16_t ud = run.device(1, T10s);
        run.network->onWait = [&, waits = 0]() mutable {
            if (waits++ == c.waitsBeforeCancel) run.link->requestCancel();
        };
        EXPECT_TRUE(capture::requestHardCopy(*run.link, ud, "BMP", false).size() < picture.size());
        run.network->onWait = {};
        EXPECT_EQ(run.link->iberr, EABO);
        EXPECT_EQ(run.server->aborts(), 1);
        // The aborted read answered, then a device clear dropped what the scope had left to send.
        const auto& calls = run.server->calls();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls.back(), vxi11::DeviceClear);
        EXPECT_EQ(calls[calls.size() - 2], vxi11::DeviceRead);

        run.link->clearCancel();
        const double start = run.seconds();
        EXPECT_TRUE(capture::requestHardCopy(*run.link, ud, "BMP", false) == picture)
            << "the whole new picture";
        EXPECT_LT(run.seconds() - start, 1.0);
        EXPECT_EQ(run.server->instrument(1)->hardcopies(), 2);
    }
}

TEST(Vxi11Cancel, AWriteToADeviceThatStoppedReadingEndsAtItsTimeoutOrACancel) {
    struct Case {
        const char* what;
        bool cancel;
        int32_t sta;
        int16_t err;
        const char* detail;
        double atMost; // seconds on the virtual clock
    };
    for (const Case& c : std::vector<Case>{
             {"timeout", false, ERR | TIMO, EABO, "did not answer in time", 6.0},
             {"cancel", true, ERR, EABO, "was cancelled", 0.5},
         }) {
        SCOPED_TRACE(c.what);
        Vxi11Run run(test::tds3000(""), opts(), Uri, "stall");
        ASSERT_TRUE(run.driver) << run.bus.error;
        const int16_t ud = run.device(1, T3s);
        run.network->stallSends = true;
        if (c.cancel) run.network->onWait = [&] { run.link->requestCancel(); };
        const double start = run.seconds();
        run.link->ibwrt(ud, "HARDCOPY:FORMAT BMP");
        EXPECT_EQ(run.link->ibsta & (ERR | TIMO), c.sta);
        EXPECT_EQ(run.link->iberr, c.err);
        EXPECT_NE(run.link->failureDetail().find(c.detail), std::string::npos) << run.link->failureDetail();
        EXPECT_LE(run.seconds() - start, c.atMost);
        run.network->onWait = {};
    }
}

} // namespace

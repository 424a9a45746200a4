// What a VXI-11 device or gateway sends back, as the client takes it: the virtual instrument's
// genuine replies, cut, corrupted, padded, repeated or dropped as the input says, through open
// (portmapper, create_link), a gateway scan, a capture and a serial poll. Nothing may crash, hang
// or read outside a reply; a reply that still decodes must give the driver's usual status words.
#include "gpib/backends/busuri.h"
#include "gpib/backends/vxi11/vxi11bus.h"
#include "gpib/status.h"
#include "tools/vxi11-sim/loopback.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

using namespace vellumix;
using namespace vellumix::gpib;

namespace {

class Input {
public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    bool empty() const { return at_ >= size_; }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// One reply as it travels, changed by one input byte: most pass as they are.
void mangle(std::string& bytes, Input& in) {
    const uint8_t how = in.byte();
    if (bytes.empty() || how < 0x80) return;
    const std::size_t at = in.byte() * 257u % bytes.size();
    switch (how & 7) {
    case 0:
        bytes[at] = static_cast<char>(in.byte());
        break; // one byte changed
    case 1:
        bytes.resize(at);
        break; // cut short
    case 2:
        bytes.append(in.byte() % 13, '\0');
        break; // padded beyond its length
    case 3:
        bytes += bytes;
        break; // sent twice
    case 4:
        bytes.insert(at, 4, static_cast<char>(0xFF));
        break; // a huge record mark inside
    case 5:
        bytes.clear();
        break; // lost
    case 6:
        bytes[at] ^= 0x80;
        break; // the last-fragment bit flipped
    default:
        bytes.insert(0, bytes.substr(0, at));
        break; // a stale prefix ahead of it
    }
}

class MangledStream final : public vxi11::Stream {
public:
    MangledStream(std::unique_ptr<vxi11::Stream> inner, Input& in) : inner_(std::move(inner)), in_(in) {}
    Sent send(std::string_view bytes, Clock::duration deadline) override {
        return inner_->send(bytes, deadline);
    }
    Received receive(std::string& out, Clock::duration deadline) override {
        std::string got;
        const Received r = inner_->receive(got, deadline);
        mangle(got, in_);
        out += got;
        return r;
    }
    void interrupt() override { inner_->interrupt(); }
    void clearInterrupt() override { inner_->clearInterrupt(); }

private:
    std::unique_ptr<vxi11::Stream> inner_;
    Input& in_;
};

class MangledNetwork final : public vxi11::Network {
public:
    MangledNetwork(vxi11sim::Server& server, VirtualClock& clock, Input& in)
        : inner_(server, clock), in_(in) {}
    Clock& clock() override { return inner_.clock(); }
    std::unique_ptr<vxi11::Stream> connect(const std::string& host, int port, Clock::duration deadline,
                                           vxi11::NetError& error) override {
        auto s = inner_.connect(host, port, deadline, error);
        return s ? std::make_unique<MangledStream>(std::move(s), in_) : nullptr;
    }
    bool datagram(const std::string& host, int port, std::string_view request, std::string& answer,
                  Clock::duration deadline, vxi11::NetError& error) override {
        const bool ok = inner_.datagram(host, port, request, answer, deadline, error);
        if (ok) mangle(answer, in_);
        return ok;
    }

private:
    vxi11sim::LoopbackNetwork inner_;
    Input& in_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Input in(data, size);
    const bool gateway = in.byte() & 1;
    VirtualClock clock;
    sim::Scenario scenario;
    for (int a : gateway ? std::vector<int>{1, 7} : std::vector<int>{1})
        scenario.addScope(a, "ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41").hardcopy =
            sim::Payload::fromBytes(std::string(3000 + in.byte() * 7, 'B'));
    vxi11sim::ServerOptions options;
    options.gateway = gateway;
    vxi11sim::Server server(std::move(scenario), options, clock);

    std::string why;
    const auto uri = parseBusUri(gateway ? "vxi11:127.0.0.1/gpib0" : "vxi11:127.0.0.1", why);
    if (!uri) __builtin_trap();
    BusOpenResult bus = vxi11::openVxi11(*uri, std::make_unique<MangledNetwork>(server, clock, in), 111);
    if (!bus.driver) {
        if (bus.error.empty()) __builtin_trap(); // a failed open always says why
        return 0;
    }
    GpibDriver& d = *bus.driver;
    int32_t sta = 0, err = 0, cnt = 0, cntl = 0;
    d.RegisterGpibGlobalsForThread(&sta, &err, &cnt, &cntl);
    const uint16_t list[] = {1, 7, static_cast<uint16_t>(NOADDR)};
    uint16_t found[4] = {};
    d.FindLstn(0, list, found, 3);
    for (int round = 0; round < 2 && !in.empty(); ++round) {
        const int32_t ud = d.ibdev(0, 1, 0, T3s, 1, 0);
        if (ud < 0) continue;
        d.ibclr(ud);
        d.ibwrt(ud, "HARDCOPY START", 14);
        char buf[512];
        for (int reads = 0; reads < 64; ++reads) {
            d.ibrd(ud, buf, sizeof buf);
            if (cntl < 0 || (!(sta & ERR) && cntl > static_cast<int32_t>(sizeof buf))) __builtin_trap();
            if (sta & (END | ERR)) break;
        }
        char stb = 0;
        d.ibrsp(ud, &stb);
    }
    d.UnregisterGpibGlobalsForThread();
    return 0;
}

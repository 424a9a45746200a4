// What a "++" controller sends back, as the driver parses it: the ++ver replies at connect, the
// listener scan, serial polls and the end of a read (the ++ver probe, the EOT character, pauses).
// Input: one byte N, then N bytes of the ++ver line (the marker, its line end included), one
// byte of run settings, then the adapter's output as pieces:
//   op 0x00-0x3F  that many bytes follow     op 0x40, 0x60  the ++ver line
//   op 0x41-0x5F  its first (op & 0x1F) bytes   op 0x61-0x7F  the rest from byte (op & 0x1F) on
//   op 0x80-0xBF  (op & 0x3F) * 64 bytes     op 0xC0-0xFF  the connection closes
// each followed by a delay byte: that many ms (below 128), else (b - 127) * 100 ms after the later
// of the last piece and the driver's last command.
#include "gpib/backends/boardless.h"
#include "gpib/backends/prologix/prologixdriver.h"
#include "gpib/status.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using namespace vellumix::gpib;
using namespace std::chrono_literals;

namespace {

struct Piece {
    std::string bytes;
    Clock::duration delay{};
    bool closes = false;
};

class ScriptedAdapter final : public BytePipe {
public:
    ScriptedAdapter(VirtualClock& clock, std::vector<Piece> pieces)
        : clock_(clock), pieces_(std::move(pieces)) {}

    bool send(std::string_view) override {
        lastSent_ = clock_.now();
        return !closed_;
    }

    Received receive(std::string& out, Clock::duration deadline) override {
        // A driver asking again and again without time passing or bytes coming would spin for ever.
        if (++calls_ > 200000) __builtin_trap();
        const auto now = clock_.now();
        if (now == lastNow_) {
            if (++stalls_ > 1000) __builtin_trap();
        } else {
            stalls_ = 0;
            lastNow_ = now;
        }
        if (!closed_ && next_ < pieces_.size()) {
            const Piece& p = pieces_[next_];
            const auto due = std::max(lastDelivered_, lastSent_) + p.delay;
            if (due <= std::max(now, deadline)) {
                if (due > now) clock_.advance(due - now);
                ++next_;
                lastDelivered_ = clock_.now();
                if (p.closes) {
                    closed_ = true;
                    return Received::Closed;
                }
                out += p.bytes;
                delivered_ += p.bytes;
                return Received::Data;
            }
        }
        if (closed_) return Received::Closed;
        if (deadline > now) clock_.advance(deadline - now);
        return Received::Timeout;
    }

    // Whether `bytes` follow, in order, among what was delivered after the bytes handed out before:
    // the driver may drop the adapter's own bytes, never invent or reorder the instrument's.
    bool handedOut(const char* bytes, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            const auto at = delivered_.find(bytes[i], matched_);
            if (at == std::string::npos) return false;
            matched_ = at + 1;
        }
        return true;
    }

private:
    VirtualClock& clock_;
    std::vector<Piece> pieces_;
    std::size_t next_ = 0;
    std::string delivered_;
    std::size_t matched_ = 0;
    Clock::duration lastSent_{};
    Clock::duration lastDelivered_{};
    Clock::duration lastNow_{-1};
    bool closed_ = false;
    long calls_ = 0;
    int stalls_ = 0;
};

class Input {
public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::string bytes(std::size_t n) {
        n = std::min(n, size_ - at_);
        std::string s(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return s;
    }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

Clock::duration delayOf(uint8_t b) {
    return b < 128 ? Clock::duration(std::chrono::milliseconds(b))
                   : Clock::duration(std::chrono::milliseconds((b - 127) * 100));
}

// The longest a driver call may take beyond its own timeout: ending what an earlier exchange left
// (AR488's longest read timeout and the reply slack) and one more such wait.
constexpr Clock::duration kSlack = 2 * (32s + 2s) + 1s;

void checkTime(VirtualClock& clock, Clock::duration before, Clock::duration allowed) {
    const auto took = clock.now() - before;
    if (took < Clock::duration::zero() || took > allowed + kSlack) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::string marker = in.bytes(in.byte() & 0x3F);
    const uint8_t settings = in.byte();
    std::vector<Piece> pieces;
    Clock::duration pause{};
    while (!in.empty()) {
        const uint8_t op = in.byte();
        Piece p;
        if (op < 0x40)
            p.bytes = in.bytes(op);
        else if (op < 0x60)
            p.bytes = marker.substr(0, (op & 0x1F) ? std::min<std::size_t>(op & 0x1F, marker.size())
                                                   : marker.size());
        else if (op < 0x80)
            p.bytes = marker.substr(std::min<std::size_t>(op & 0x1F, marker.size()));
        else if (op < 0xC0)
            p.bytes = in.bytes(static_cast<std::size_t>(op & 0x3F) * 64);
        else
            p.closes = true;
        p.delay = pause + delayOf(in.byte());
        pause = {};
        // A transport says Data only with at least one byte; an empty piece is just a pause.
        if (p.bytes.empty() && !p.closes)
            pause = p.delay;
        else
            pieces.push_back(std::move(p));
    }

    VirtualClock clock;
    auto owned = std::make_unique<ScriptedAdapter>(clock, std::move(pieces));
    ScriptedAdapter& adapter = *owned;
    prologix::PrologixDriver driver(std::move(owned), clock);
    int32_t sta = 0, err = 0, cnt = 0, cntl = 0;
    driver.RegisterGpibGlobalsForThread(&sta, &err, &cnt, &cntl);

    std::string error;
    auto before = clock.now();
    if (!driver.connect(error)) {
        if (error.empty()) __builtin_trap();
        checkTime(clock, before, 4s);
        return 0;
    }
    checkTime(clock, before, 4s);

    // The scan as the link asks for it.
    std::vector<uint16_t> addresses;
    for (uint16_t a = 1; a <= 30; ++a)
        addresses.push_back(a);
    addresses.push_back(0xFFFF);
    const int32_t limit = settings & 0x1F; // 0..31
    std::vector<uint16_t> results(32, 0xEEEE);
    before = clock.now();
    driver.FindLstn(0, addresses.data(), results.data(), limit);
    // Per address: the poll's own wait, then the answer to ++ver that tells a late answer from none.
    checkTime(clock, before, 30 * (50ms + 2s + 5s));
    if (cntl < 0 || cntl > limit || cnt != cntl) __builtin_trap();
    if (!(sta & ERR) || err == ETAB) {
        for (int32_t i = 0; i < cntl; ++i)
            if (results[static_cast<std::size_t>(i)] < 1 || results[static_cast<std::size_t>(i)] > 30)
                __builtin_trap();
        if (!std::is_sorted(results.begin(), results.begin() + cntl) ||
            std::adjacent_find(results.begin(), results.begin() + cntl) != results.begin() + cntl)
            __builtin_trap();
    }
    for (std::size_t i = static_cast<std::size_t>(std::max(cntl, limit)); i < results.size(); ++i)
        if (results[i] != 0xEEEE) __builtin_trap();

    // Codes 9..13 (100 ms to 10 s) and, now and then, none at all (1000 s on the host side).
    const int tmo = (settings & 0x80) ? 0 : 9 + ((settings >> 5) & 3);
    const int pad = 1 + (settings % 30);
    const int32_t ud = driver.ibdev(0, pad, 0, tmo, 1, 0);
    if (ud < DescriptorTable::FirstDescriptor) __builtin_trap();
    const Clock::duration allowed =
        tmo == 0 ? Clock::duration(1000s)
                 : Clock::duration(std::chrono::microseconds(timeoutMicroseconds(tmo)));
    before = clock.now();
    driver.ibclr(ud);
    checkTime(clock, before, 0s);

    for (int round = 0; round < 2; ++round) {
        const std::string command = "HARDCOPY START";
        before = clock.now();
        driver.ibwrt(ud, command.data(), static_cast<int32_t>(command.size()));
        checkTime(clock, before, 0s);
        if (!(sta & ERR) && cntl != static_cast<int32_t>(command.size())) __builtin_trap();
        // The first round may stop half way, so that the next command meets a read still running.
        const int calls = round == 0 ? 1 + (settings & 0x3F) : 200;
        char buf[512 + 16];
        for (int i = 0; i < calls; ++i) {
            std::fill(std::begin(buf), std::end(buf), '\xA5');
            before = clock.now();
            driver.ibrd(ud, buf, 512);
            checkTime(clock, before, allowed);
            if (cntl < 0 || cntl > 512 || cnt != cntl) __builtin_trap();
            for (std::size_t j = 512; j < sizeof buf; ++j)
                if (buf[j] != '\xA5') __builtin_trap();
            if (!adapter.handedOut(buf, static_cast<std::size_t>(cntl)))
                __builtin_trap(); // bytes out of nowhere
            if (sta & (ERR | END)) break;
        }
        char spr = 0;
        before = clock.now();
        driver.ibrsp(ud, &spr);
        checkTime(clock, before, allowed);
        if (cntl != ((sta & ERR) ? 0 : 1)) __builtin_trap();
    }
    return 0;
}

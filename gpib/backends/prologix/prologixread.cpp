// Reading a message through the adapter, byte exact, ending right after its last byte.
//
// Why the end is exact. The adapter carries no framing: after "++read eoi" it forwards the
// instrument's bytes and stops at EOI, or after ++read_tmo_ms without a byte. Two facts of the
// firmware (both adapters) make the end knowable:
//  1. With "++eot_enable 1" it sends EotChar right after the byte that came with EOI, and only then.
//  2. It takes the next command from us only after the read has stopped, so the answer to a
//     "++ver" sent during a read arrives after every byte of that read.
// So when the stream goes quiet we send "++ver" (the probe) and wait for its answer, which we know
// byte for byte from connecting. Everything before it is the read's output. If the byte before it
// is not EotChar, there was no EOI: the adapter gave up waiting (a scope pausing to render), and
// we read on with a new "++read eoi". If it is EotChar, either EOI came or the message's own byte
// happened to be EotChar and a pause followed. Those differ in time: after EOI the adapter stops at
// once, while a read that ends by timeout has been silent for the whole ++read_tmo_ms (never below
// MinReadTimeoutMs) before the probe's answer can start. An answer that starts less than half that
// after the last byte therefore means EOI, and we drop the EotChar; otherwise the byte is data.
// No sleeps and no guessing at sizes: at the end of a message we wait only Quiet plus one round
// trip. (This needs the program to read the connection while it waits, which ibrd does.)
#include "gpib/backends/prologix/prologixdriver.h"

#include "gpib/status.h"

#include <algorithm>
#include <cstring>

namespace vellumix::gpib::prologix {

namespace {
constexpr int32_t kErr = static_cast<uint16_t>(ERR);
constexpr int32_t kTimo = TIMO;
constexpr int32_t kEnd = END;
constexpr int32_t kCmpl = CMPL;
} // namespace

std::size_t PrologixDriver::readable() const {
    const std::size_t have = read_.data.size() - read_.pos;
    if (read_.ended) return have;
    // Not yet known: the last byte may be the adapter's EotChar, and while a probe is out the
    // tail may be the start of its answer.
    const std::size_t hold = 1 + (read_.probing ? marker_.size() : 0);
    return have > hold ? have - hold : 0;
}

Clock::duration PrologixDriver::arrivalOf(std::size_t offset) const {
    for (const auto& [end, at] : read_.arrivals)
        if (offset < end) return at;
    return read_.lastByteAt;
}

void PrologixDriver::markerArrived() {
    Read& r = read_;
    const std::size_t answerAt = r.data.size() - marker_.size();
    bool eoi = false;
    if (answerAt > r.readStart && static_cast<unsigned char>(r.data[answerAt - 1]) == EotChar) {
        const auto gap = arrivalOf(answerAt) - arrivalOf(answerAt - 1);
        eoi = gap < std::chrono::milliseconds(readTimeoutMs_ / 2);
    }
    r.data.resize(eoi ? answerAt - 1 : answerAt);
    r.probing = false;
    r.running = false;
    r.ended = eoi;
    --pendingMarkers_;
}

bool PrologixDriver::pump(Clock::duration deadline) {
    Read& r = read_;
    const auto now = clock_.now();
    if (!r.running) {
        // The adapter's read stopped without EOI (or none is running yet): read on.
        if (now >= deadline) return false;
        if (!send("++read eoi\n")) return false;
        r.running = true;
        r.issuedAt = now;
        r.readStart = r.data.size();
        r.arrivals.clear();
        return true;
    }
    auto wake = deadline;
    if (!r.probing) {
        const auto quietSince = std::max(r.issuedAt, r.lastByteAt);
        if (now >= quietSince + Quiet) {
            if (!send("++ver\n")) return false;
            ++pendingMarkers_;
            r.probing = true;
            return true;
        }
        wake = std::min(deadline, quietSince + Quiet);
    }
    const auto got = transport_->receive(r.data, wake);
    if (got == Transport::Received::Closed) {
        lost_ = true;
        return false;
    }
    if (got == Transport::Received::Timeout) return clock_.now() < deadline;
    r.lastByteAt = clock_.now();
    r.arrivals.emplace_back(r.data.size(), r.lastByteAt);
    if (r.probing && r.data.size() >= r.readStart + marker_.size() &&
        r.data.compare(r.data.size() - marker_.size(), marker_.size(), marker_) == 0) {
        // The answer follows the read's last byte, which is always held back until the answer
        // comes; so an answer that would begin among the bytes handed out already is the
        // message's own text (a picture holding the version line), not the adapter's.
        const std::size_t answerAt = r.data.size() - marker_.size();
        if (answerAt == r.readStart || answerAt > r.pos) markerArrived();
    }
    return true;
}

int32_t PrologixDriver::ibrd(int32_t ud, char* buf, int32_t count) {
    Descriptor* d = descriptors_.find(ud);
    if (!d) return publish(kErr, EDVR, 0);
    if (count < 0 || (count > 0 && !buf)) return publish(kErr, EARG, 0);
    if (lost_) return lostCall(kErr | kTimo);
    if (read_.active && (read_.pad != d->pad || read_.sad != d->sad)) settle();
    if (!read_.active) {
        settle();
        readTimeoutMs_ = adapterReadTimeoutMs(*d);
        if (!selectDevice(d->pad, d->sad) || !setAdapterTimeout(readTimeoutMs_))
            return lostCall(kErr | kTimo);
        read_.active = true;
        read_.pad = d->pad;
        read_.sad = d->sad;
    }
    const auto wanted = static_cast<std::size_t>(count);
    const auto deadline = clock_.now() + hostTimeout(*d);
    bool timedOut = false;
    while (readable() < wanted && !read_.ended) {
        if (!pump(deadline)) {
            timedOut = true;
            break;
        }
    }
    const std::size_t n = std::min(wanted, readable());
    if (n > 0) std::memcpy(buf, read_.data.data() + read_.pos, n);
    read_.pos += n;
    lastCount_ = static_cast<int32_t>(n);
    if (timedOut) return publish(kErr | kTimo, EABO, lastCount_);
    const bool last = read_.ended && read_.pos == read_.data.size();
    if (last) {
        read_ = Read{};
    } else if (read_.pos > (1u << 16) && read_.pos * 2 > read_.data.size()) {
        // Keep the buffer from growing with the whole message.
        const std::size_t drop = read_.pos;
        read_.data.erase(0, drop);
        read_.pos = 0;
        read_.readStart = read_.readStart > drop ? read_.readStart - drop : 0;
        for (auto& a : read_.arrivals)
            a.first = a.first > drop ? a.first - drop : 0;
    }
    return publish(kCmpl | (last ? kEnd : 0), 0, lastCount_);
}

} // namespace vellumix::gpib::prologix

// Reading a message through the adapter, byte exact, without ever talking over its read.
//
// The adapter carries no framing: after "++read eoi" it forwards the instrument's bytes and stops
// at EOI, or after ++read_tmo_ms without a byte. With "++eot_enable 1" it sends EotChar right after
// the byte that came with EOI, and only then. Some firmware stops a running read when a line from
// us arrives and loses the byte in hand, so nothing is sent until the read has certainly stopped:
// after the end character, or after the adapter's timeout of silence (stopWait).
//
// A stream that falls quiet right after an EotChar is either at its end (EOI) or paused after a
// data byte that happens to equal EotChar. The message itself tells them apart where it can:
//  - a picture whose own structure is whole just before that byte ends there (a complete BMP,
//    TIFF, PNG or PCX), and one whose structure asks for more goes on (the byte is data);
//  - a text reply ending in a line feed ends there (no scope reply holds the byte 4).
// Anything else waits until the adapter's read has stopped and asks with a fresh "++read eoi":
// bytes mean the EotChar was data, silence means it was the end. A picture still cut short after
// the descriptor's timeout of silence ends there too, so that the capture can say so.
// A whole picture thus ends Quiet after its last byte; the fresh read costs two adapter timeouts.
// AR488 0.49.11 to 0.50.17 send the last byte of a read that timed out once more (a NUL when none
// came); a lone such byte after the adapter's timeout, with nothing behind it, is dropped. On those
// that byte is also the sign that the read is over, whatever the adapter's clock: they are waited
// for, not timed (a line during their read would cost the next byte).
#include "gpib/backends/prologix/prologixdriver.h"

#include "gpib/status.h"
#include "picture/completeness.h"

#include <algorithm>
#include <cstring>

namespace vellumix::gpib::prologix {

namespace {
constexpr int32_t kTimo = TIMO;
constexpr int32_t kEnd = END;
constexpr int32_t kCmpl = CMPL;

// A reply of printable text ending in a line feed, as every scope query answers.
bool isTextLine(std::string_view s) {
    if (s.empty() || s.back() != '\n') return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x20 || c == '\n' || c == '\r' || c == '\t';
    });
}

bool endsWithEot(const std::string& data) {
    return !data.empty() && static_cast<unsigned char>(data.back()) == EotChar;
}
} // namespace

std::size_t PrologixAdapter::readable() const {
    if (read_.ended) return read_.data.size() - read_.pos;
    // A possible timeout echo, and a trailing EotChar that may be the adapter's, are held back
    // until that is known.
    std::size_t end = read_.echo != std::string::npos ? read_.echo : read_.data.size();
    if (end > 0 && static_cast<unsigned char>(read_.data[end - 1]) == EotChar) --end;
    return end > read_.pos ? end - read_.pos : 0;
}

BytePipe::Received PrologixAdapter::receive(std::string& out, Clock::duration deadline, bool stopOnCancel) {
    // The waits decide where messages end: only their pieces change, never their deadlines. Idle
    // after bytes too: a run of short exchanges (the set-up commands, each waited for) adds up.
    for (;;) {
        const auto got = pipe_->receive(out, clock_.pieceEnd(deadline));
        clock_.idle();
        if (got != BytePipe::Received::Timeout || clock_.now() >= deadline) return got;
        if (stopOnCancel && cancelled_.load()) return got;
    }
}

PrologixAdapter::End PrologixAdapter::judgeEnd() const {
    const std::string_view body(read_.data.data(), read_.data.size() - 1);
    const picture::PictureCheck check = picture::checkPicture(body);
    if (picture::endsWholePicture(check)) return End::Eoi;
    if (check.kind != picture::PictureKind::Unknown && !check.malformed) return End::Data;
    if (isTextLine(body)) return End::Eoi;
    return End::Undecided;
}

void PrologixAdapter::endAtHeldByte() {
    read_.data.pop_back();
    read_.ended = true;
    read_.running = false;
}

Clock::duration PrologixAdapter::readStopWait() const {
    // Where the firmware announces its timeout, the wait is only a bound in case that byte is lost.
    return firmware_.timeoutRepeatsLastByte ? 4 * stopWait(readTimeoutMs_) : stopWait(readTimeoutMs_);
}

void PrologixAdapter::readTimedOut() {
    Read& r = read_;
    r.running = false; // timed out inside the adapter: nothing more will come from this read
    inFlight_ = 0;
    if (r.confirming) {
        endAtHeldByte(); // a fresh read found nothing: the held EotChar was the end
        return;
    }
    if (endsWithEot(r.data) && r.judged == r.data.size() && !r.dataHeld) r.confirming = true;
}

bool PrologixAdapter::step(Clock::duration deadline) {
    Read& r = read_;
    auto now = clock_.now();
    if (!r.running) {
        if (now >= deadline) {
            // Silent for the whole timeout after a byte that may have been the end: it was.
            if (endsWithEot(r.data)) {
                endAtHeldByte();
                return true;
            }
            return false;
        }
        if (!send("++read eoi\n")) return false;
        r.running = true;
        r.issuedAt = now;
        r.readFrom = r.data.size();
        return true;
    }
    if (r.echo != std::string::npos) {
        // A lone byte after the adapter's timeout: more bytes soon mean it was the scope's.
        const auto got = pipe_->receive(r.data, r.lastByteAt + Quiet);
        if (got == BytePipe::Received::Closed) {
            lost_ = true;
            return false;
        }
        if (got == BytePipe::Received::Data) {
            r.echo = std::string::npos;
            r.confirming = false; // bytes came: a held EotChar was data
            r.lastByteAt = clock_.now();
            return true;
        }
        r.data.erase(r.echo); // the firmware's repeat of the read's last byte: its read is over
        r.echo = std::string::npos;
        readTimedOut();
        return true;
    }
    const auto stopAt = std::max(r.issuedAt, r.lastByteAt) + readStopWait();
    const bool held = endsWithEot(r.data);
    const bool unjudged = held && r.judged != r.data.size() && !r.confirming;
    // With a byte held back the timeout is taken only once the adapter's read is over, so that the
    // message can still end at that byte without a line of ours crossing the read.
    auto wake = held ? stopAt : std::min(deadline, stopAt);
    if (unjudged) wake = std::min(wake, r.lastByteAt + Quiet);
    // Every decision below goes by the clock, so a wait cut short only means one more step.
    wake = std::min(wake, now + CancelCheck);
    const std::size_t before = r.data.size();
    const auto got = pipe_->receive(r.data, wake);
    if (got == BytePipe::Received::Closed) {
        lost_ = true;
        return false;
    }
    now = clock_.now();
    if (got == BytePipe::Received::Data) {
        const auto silence = now - std::max(r.issuedAt, r.lastByteAt);
        r.lastByteAt = now;
        if (firmware_.timeoutRepeatsLastByte && r.data.size() == before + 1 &&
            silence >= std::chrono::milliseconds(readTimeoutMs_ * 9 / 10)) {
            const char repeated = before > r.readFrom ? r.data[before - 1] : '\0';
            if (r.data.back() == repeated) r.echo = before;
        }
        if (r.confirming && r.echo == std::string::npos) r.confirming = false; // the EotChar was data
        return true;
    }
    if (unjudged && now >= r.lastByteAt + Quiet) {
        r.judged = r.data.size();
        const End end = judgeEnd();
        r.dataHeld = end == End::Data;
        if (end == End::Eoi) {
            // The adapter stopped at EOI; its read is over.
            endAtHeldByte();
            return true;
        }
    }
    if (now >= stopAt) {
        readTimedOut();
        return true;
    }
    return held || now < deadline;
}

CallStatus PrologixAdapter::read(const Descriptor& d, char* buf, int32_t count) {
    if (lost_) return lostCall(ErrBit | kTimo);
    if (cancelled_.load()) return lostCall(ErrBit);
    if (read_.active && (read_.pad != d.pad || read_.sad != d.sad) && !settle()) return lostCall(ErrBit);
    if (!read_.active) {
        if (!settle()) return lostCall(ErrBit);
        readTimeoutMs_ = adapterReadTimeoutMs(d);
        if (!selectDevice(d.pad, d.sad) || !setAdapterTimeout(readTimeoutMs_))
            return lostCall(ErrBit | kTimo);
        read_.active = true;
        read_.pad = d.pad;
        read_.sad = d.sad;
    }
    const auto wanted = static_cast<std::size_t>(count);
    auto deadline = clock_.now() + hostTimeout(d);
    bool timedOut = false;
    bool cancelled = false;
    std::size_t seen = read_.data.size();
    while (readable() < wanted && !read_.ended) {
        // Each step waits at most CancelCheck: the window's events get their turn between them.
        clock_.idle();
        if (cancelled_.load()) {
            // What came stays in read_ unhanded; the next command's settle drops it with the rest.
            cancelled = true;
            break;
        }
        if (!step(deadline)) {
            timedOut = true;
            break;
        }
        if (read_.data.size() != seen) {
            // The timeout counts silence, not the whole call.
            seen = read_.data.size();
            deadline = clock_.now() + hostTimeout(d);
        }
    }
    if (cancelled) return lostCall(ErrBit);
    const std::size_t n = std::min(wanted, readable());
    if (n > 0) std::memcpy(buf, read_.data.data() + read_.pos, n);
    read_.pos += n;
    const auto moved = static_cast<int32_t>(n);
    if (timedOut) return {ErrBit | kTimo, EABO, moved};
    const bool last = read_.ended && read_.pos == read_.data.size();
    if (last) read_ = Read{};
    return {kCmpl | (last ? kEnd : 0), 0, moved};
}

} // namespace vellumix::gpib::prologix

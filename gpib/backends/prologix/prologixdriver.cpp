// Talking to the controller as it really is. Its firmware reads our bytes only between its own
// operations (an ATmega AR488 keeps 64 of them meanwhile and loses the rest), answers unknown
// commands with text lines, and on some versions a host line stops a running read or poll and
// loses a byte. So: never more than InputBudget bytes unanswered, nothing at all while a read or a
// poll may run, every reply looked for by what it is rather than by its place in the stream.
#include "gpib/backends/prologix/prologixdriver.h"

#include "gpib/status.h"

#include <algorithm>
#include <charconv>

namespace vellumix::gpib::prologix {

namespace {

constexpr int32_t kTimo = TIMO;
constexpr int32_t kCmpl = CMPL;
// Long enough for a read a previous program left running on a Prologix (3 s) to end first.
constexpr auto kConnectWait = std::chrono::milliseconds(5000);
// A real Arduino restarts when its port opens and drops what comes during its boot loader:
// the version question is repeated until it is answered.
constexpr auto kConnectRetry = std::chrono::milliseconds(1500);
// The longest an adapter may go on sending an earlier run's reply before it answers: the rest of a
// 640x480 colour hard copy at 115200 baud takes some 27 s.
constexpr auto kConnectDrain = std::chrono::seconds(45);
// What an answer to a command may take beyond the adapter's own work (USB and TCP round trips).
constexpr auto kReplySlack = std::chrono::milliseconds(2000);

bool endsWith(const std::string& s, const std::string& tail) {
    return !tail.empty() && s.size() >= tail.size() &&
           s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Two identical lines at the very end: the answers to two ++ver, whatever came before them (two
// complaints about a garbled question are no version).
bool twoEqualLinesAtEnd(const std::string& s, std::string& line) {
    if (s.empty() || s.back() != '\n') return false;
    const auto second = s.rfind('\n', s.size() - 2);
    if (second == std::string::npos) return false;
    const std::string b = s.substr(second + 1);
    if (b.size() < 3 || second + 1 < b.size()) return false;
    if (s.compare(second + 1 - b.size(), b.size(), b) != 0 || isAdapterComplaint(b)) return false;
    line = b;
    return true;
}

std::string stripLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        auto end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string l = stripLineEnd(text.substr(at, end - at));
        if (!l.empty()) lines.push_back(std::move(l));
        at = end + 1;
    }
    return lines;
}

} // namespace

PrologixAdapter::PrologixAdapter(std::unique_ptr<BytePipe> pipe, Clock& clock)
    : pipe_(std::move(pipe)), clock_(clock) {}

bool PrologixAdapter::connect(std::string& error) {
    // Auto-read off first: a previous program may have left it on, and then every line we send
    // would start a read. Two ++ver make the reply recognisable behind any stale bytes. The firmware
    // is not known yet: each line gets a gap of its own, in case it runs waiting lines together.
    std::string received;
    std::string line;
    const auto start = clock_.now();
    lastLineAt_ = start - std::chrono::milliseconds(LineGapMs);
    const auto ask = [&] {
        for (const char* l : {"++auto 0\n", "++ver\n", "++ver\n"}) {
            waitLineGap();
            if (!pipe_->send(l)) return false;
            lastLineAt_ = clock_.now();
        }
        return true;
    };
    if (!ask()) {
        error = "the connection closed at once";
        return false;
    }
    auto asked = clock_.now();
    auto lastByte = asked;
    auto deadline = start + kConnectWait;
    while (!twoEqualLinesAtEnd(received, line)) {
        const std::size_t before = received.size();
        const auto got = receive(received, std::min(deadline, std::max(asked, lastByte) + kConnectRetry));
        if (got == BytePipe::Received::Closed) {
            error = "the connection closed before the controller answered";
            return false;
        }
        if (got == BytePipe::Received::Data) {
            // Bytes that keep coming are a read the adapter is finishing for an earlier run (one
            // cancelled mid-picture, on firmware that cannot stop it): the questions wait behind
            // it, so the wait lasts as long as it does, within reason.
            lastByte = clock_.now();
            deadline =
                std::min(start + kConnectDrain, std::max(start + kConnectWait, lastByte + 2 * kConnectRetry));
            // Only the end can hold the answers; a whole picture need not be kept.
            if (received.size() > 65536) received.erase(0, received.size() - 4096);
            if (clock_.now() >= deadline && received.size() != before) {
                error =
                    "the controller kept sending for " +
                    std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kConnectDrain).count()) +
                    " s and did not answer ++ver";
                return false;
            }
            continue;
        }
        if (clock_.now() >= deadline) {
            error =
                received.empty() ? "there was no answer to ++ver" : "the answer to ++ver was not a version";
            return false;
        }
        // Asked again only after a silence: a real Arduino restarts when its port opens and drops
        // what comes meanwhile, and firmware that ran the questions together answered with a complaint.
        if (clock_.now() >= std::max(asked, lastByte) + kConnectRetry) {
            if (!ask()) {
                error = "the connection closed before the controller answered";
                return false;
            }
            asked = clock_.now();
        }
    }
    roundTrip_ = clock_.now() - asked;
    marker_ = line;
    version_ = stripLineEnd(line);
    firmware_ = firmwareOf(version_);
    // Answers that arrive after the two we waited for (a repeated question) must not linger.
    dropPending();
    return setUp(error);
}

bool PrologixAdapter::setUp(std::string& error) {
    const auto lost = [&error] {
        error = "the connection closed while setting the controller up";
        return false;
    };
    std::vector<std::string> lines;
    if (firmware_.flavour == Flavour::Prologix && version_.find("Prologix") == std::string::npos) {
        // A version text the user set on an AR488 (++id verstr) hides what it is; its real one does not.
        if (!send("++ver real\n") || !sync(&lines)) return lost();
        for (const std::string& l : lines)
            if (l.find("AR488") != std::string::npos) firmware_ = firmwareOf(l);
    }
    // Controller; EOI on our last byte and no terminator added, so a message goes out byte for
    // byte (LF added where the firmware loses that EOI); the adapter's end character after EOI, so
    // that EOI reaches us (see the read). A Prologix writes every setting change to its EEPROM while
    // ++savecfg is on; the read timeout changes often, so that is switched off first.
    std::vector<std::string> setup;
    if (firmware_.flavour == Flavour::Prologix) setup.push_back("++savecfg 0");
    setup.push_back("++mode 1");
    setup.push_back("++eoi 1");
    setup.push_back(firmware_.needsLfTerminator ? "++eos 2" : "++eos 3");
    setup.push_back("++eot_enable 1");
    setup.push_back("++eot_char " + std::to_string(static_cast<int>(EotChar)));
    for (const std::string& c : setup) {
        if (!send(c + "\n", c == "++mode 1")) return lost();
    }
    if (!setAdapterTimeout(MinReadTimeoutMs) || !sync(&lines)) return lost();
    return true;
}

Clock::duration PrologixAdapter::hostTimeout(const Descriptor& d) const {
    const int64_t us = timeoutMicroseconds(d.tmo);
    return us > 0 ? Clock::duration(std::chrono::microseconds(us))
                  : Clock::duration(std::chrono::milliseconds(boundedTimeoutMilliseconds(d.tmo)));
}

int PrologixAdapter::adapterReadTimeoutMs(const Descriptor& d) const {
    const int most = std::min(MaxReadTimeoutMs, maxReadTimeoutMs(firmware_.flavour));
    return static_cast<int>(std::clamp<int64_t>(boundedTimeoutMilliseconds(d.tmo), MinReadTimeoutMs, most));
}

Clock::duration PrologixAdapter::stopWait(int ms) const {
    const auto rtt = std::min<Clock::duration>(roundTrip_, std::chrono::seconds(1));
    return std::chrono::milliseconds(ms + ms / 4 + 50) + 2 * rtt;
}

void PrologixAdapter::waitLineGap() {
    // Nothing is read meanwhile: what arrives waits in the pipe for whoever reads next.
    const auto until = lastLineAt_ + std::chrono::milliseconds(LineGapMs);
    if (clock_.now() < until) clock_.sleepFor(until - clock_.now());
}

bool PrologixAdapter::sendLine(std::string_view bytes) {
    if (firmware_.mergesWaitingLines) waitLineGap();
    if (lost_ || !pipe_->send(bytes)) lost_ = true;
    lastLineAt_ = clock_.now();
    return !lost_;
}

bool PrologixAdapter::send(std::string_view bytes, bool keepsBusy) {
    if (lost_) return false;
    if ((busy_ || (inFlight_ > 0 && inFlight_ + bytes.size() > InputBudget)) && !sync()) return false;
    sendLine(bytes);
    inFlight_ += bytes.size();
    busy_ = keepsBusy;
    return !lost_;
}

bool PrologixAdapter::sync(std::vector<std::string>* lines, Clock::duration wait) {
    if (lost_ || !sendLine("++ver\n")) return false;
    busy_ = false;
    std::string received;
    const auto deadline = clock_.now() + (wait > Clock::duration{} ? wait : kReplySlack + stopWait(0));
    while (!endsWith(received, marker_)) {
        const auto got = receive(received, deadline);
        if (got == BytePipe::Received::Closed) lost_ = true;
        if (got != BytePipe::Received::Data) {
            // No answer: whatever is on its way is dropped with the next exchange.
            inFlight_ = 0;
            syncFailed_ = true;
            return !lost_;
        }
    }
    inFlight_ = 0;
    syncFailed_ = false;
    for (std::string& l : splitLines(received.substr(0, received.size() - marker_.size()))) {
        if (lines) lines->push_back(l);
        adapterLines_.push_back(std::move(l));
        if (adapterLines_.size() > 32) adapterLines_.erase(adapterLines_.begin());
    }
    return true;
}

bool PrologixAdapter::selectDevice(int pad, int sad) {
    if (pad == addrPad_ && sad == addrSad_) return !lost_;
    std::string cmd = "++addr " + std::to_string(pad);
    if (sad != 0) cmd += " " + std::to_string(sad);
    if (!send(cmd + "\n")) return false;
    addrPad_ = pad;
    addrSad_ = sad;
    return true;
}

bool PrologixAdapter::setAdapterTimeout(int ms) {
    if (ms == adapterTimeoutMs_) return !lost_;
    if (!send("++read_tmo_ms " + std::to_string(ms) + "\n")) return false;
    adapterTimeoutMs_ = ms;
    return true;
}

bool PrologixAdapter::settle() {
    if (lost_) return true;
    if (read_.active && read_.running && !read_.ended) {
        // The adapter's read ends by itself after its timeout of silence; until then a line from us
        // could stop it mid-byte on some firmware, or wait behind it on others. Its tail is dropped.
        // A cancel leaves the rest of the wait to the next command, which starts from the last byte.
        std::string tail;
        auto last = std::max(read_.issuedAt, read_.lastByteAt);
        const auto wait = readStopWait();
        while (!lost_ && clock_.now() < last + wait) {
            const auto got = receive(tail, last + wait, true);
            if (got == BytePipe::Received::Timeout && cancelled_.load() && clock_.now() < last + wait) {
                read_.lastByteAt = last;
                return false;
            }
            if (got == BytePipe::Received::Closed) lost_ = true;
            if (got == BytePipe::Received::Data) {
                const bool echo = firmware_.timeoutRepeatsLastByte && tail.size() == 1 &&
                                  clock_.now() - last >= std::chrono::milliseconds(readTimeoutMs_ * 9 / 10);
                last = clock_.now();
                if (echo) break; // the firmware's sign that its read timed out
            }
            tail.clear();
        }
        inFlight_ = 0;
    }
    read_ = Read{};
    dropPending();
    return true;
}

void PrologixAdapter::dropPending() {
    // A reply nobody read (the instrument's or the adapter's) must not be taken for the next one.
    std::string stray;
    while (!lost_) {
        const auto got = pipe_->receive(stray, clock_.now());
        if (got == BytePipe::Received::Closed) lost_ = true;
        if (got != BytePipe::Received::Data) break;
        stray.clear();
    }
}

bool PrologixAdapter::receiveLine(std::string& pending, std::string& line, Clock::duration deadline) {
    for (;;) {
        const auto nl = pending.find('\n');
        if (nl != std::string::npos) {
            line = stripLineEnd(pending.substr(0, nl));
            pending.erase(0, nl + 1);
            return true;
        }
        const auto got = receive(pending, deadline);
        if (got == BytePipe::Received::Closed) lost_ = true;
        if (got != BytePipe::Received::Data) return false;
    }
}

namespace {
std::optional<int> statusByte(const std::string& line) {
    int value = -1;
    const auto [p, ec] = std::from_chars(line.data(), line.data() + line.size(), value);
    if (ec == std::errc() && p == line.data() + line.size() && value >= 0 && value <= 255) return value;
    return std::nullopt;
}
} // namespace

std::optional<int> PrologixAdapter::pollAnswer(Clock::duration deadline) {
    std::string pending;
    std::string line;
    while (receiveLine(pending, line, deadline)) {
        if (const auto value = statusByte(line)) return value;
        if (!line.empty()) adapterLines_.push_back(line); // the adapter's own text, not the answer
    }
    if (lost_) return std::nullopt;
    // Silence for as long as the adapter should take. Its clock may run slow, or the network may
    // hold the answer back: the answer to ++ver comes only after the poll has ended, so an answer
    // before it is this poll's, and none means nobody answered. Either way the next poll starts clean.
    std::vector<std::string> late;
    if (!sync(&late, LateAnswerWait)) return std::nullopt;
    for (const std::string& l : late)
        if (const auto value = statusByte(l)) return value;
    return std::nullopt;
}

CallStatus PrologixAdapter::interfaceClear() {
    if (!settle()) return lostCall(ErrBit);
    if (!send("++ifc\n", true)) return lostCall(ErrBit);
    return {kCmpl, 0, 0};
}

CallStatus PrologixAdapter::clear(const Descriptor& d) {
    if (d.pad == 0) return errorStatus(ENOL);
    if (lost_) return lostCall(ErrBit);
    // Cancelled: not now, since settle could wait out the rest of a long picture; what the clear
    // would drop, the next command's settle drops.
    if (cancelled_.load() || !settle()) return lostCall(ErrBit);
    // The adapter does not say whether anybody took the clear.
    if (!selectDevice(d.pad, d.sad) || !send("++clr\n", true)) return lostCall(ErrBit);
    return {kCmpl, 0, 0};
}

CallStatus PrologixAdapter::serialPoll(const Descriptor& d, char& statusByte) {
    if (lost_) return lostCall(ErrBit | kTimo);
    if (cancelled_.load() || !settle()) return lostCall(ErrBit);
    // As long as the descriptor allows, within what the adapter takes.
    const int ms = static_cast<int>(std::clamp<int64_t>(boundedTimeoutMilliseconds(d.tmo), ScanPollMs,
                                                        maxReadTimeoutMs(firmware_.flavour)));
    if (!setAdapterTimeout(ms)) return lostCall(ErrBit | kTimo);
    // The address goes by ++addr: AR488 0.50 ignores an address given to ++spoll itself.
    if (!selectDevice(d.pad, d.sad) || !send("++spoll\n")) return lostCall(ErrBit | kTimo);
    // The poll's answer, or silence until the adapter has certainly given up: nothing is sent
    // meanwhile, since a line could stop the poll mid-byte.
    const std::optional<int> value = pollAnswer(clock_.now() + stopWait(ms));
    inFlight_ = 0;
    // Silence is the only sign: nobody answered the poll within the timeout.
    if (!value) return {ErrBit | kTimo, EABO, 0};
    statusByte = static_cast<char>(*value);
    return {kCmpl, 0, 1};
}

CallStatus PrologixAdapter::write(const Descriptor& d, std::string_view message) {
    if (lost_) return lostCall(ErrBit);
    if (!settle()) return lostCall(ErrBit);
    // A new message makes the instrument drop an unread reply; so does our side (settle).
    if (!selectDevice(d.pad, d.sad) || !send(escapeData(message), true)) return lostCall(ErrBit);
    return {kCmpl, 0, static_cast<int32_t>(message.size())};
}

} // namespace vellumix::gpib::prologix

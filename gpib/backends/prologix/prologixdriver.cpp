#include "gpib/backends/prologix/prologixdriver.h"

#include "gpib/backends/transport.h"
#include "gpib/status.h"

#include <algorithm>
#include <charconv>

namespace vellumix::gpib::prologix {

namespace {

constexpr int32_t kErr = static_cast<uint16_t>(ERR);
constexpr int32_t kTimo = TIMO;
constexpr int32_t kCmpl = CMPL;
// Long enough for a read a previous program left running on a Prologix (3 s) to end first.
constexpr auto kConnectWait = std::chrono::milliseconds(4000);
// What a reply to a command may take beyond the adapter's own timeout (USB and TCP round trips).
constexpr auto kReplySlack = std::chrono::milliseconds(2000);

bool endsWith(const std::string& s, const std::string& tail) {
    return !tail.empty() && s.size() >= tail.size() &&
           s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Two identical lines at the very end: the answers to two ++ver, whatever came before them.
bool twoEqualLinesAtEnd(const std::string& s, std::string& line) {
    if (s.empty() || s.back() != '\n') return false;
    const auto second = s.rfind('\n', s.size() - 2);
    if (second == std::string::npos) return false;
    const std::string b = s.substr(second + 1);
    if (b.size() < 3 || second + 1 < b.size()) return false;
    if (s.compare(second + 1 - b.size(), b.size(), b) != 0) return false;
    line = b;
    return true;
}

std::string stripLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

} // namespace

PrologixDriver::PrologixDriver(std::unique_ptr<Transport> transport, Clock& clock)
    : transport_(std::move(transport)), clock_(clock) {}

bool PrologixDriver::connect(std::string& error) {
    // Auto-read off first: a previous program may have left it on, and then every line we send
    // would start a read. Two ++ver make the reply recognisable behind any stale bytes.
    if (!send("++auto 0\n++ver\n++ver\n")) {
        error = "the connection closed at once";
        return false;
    }
    std::string received;
    std::string line;
    const auto deadline = clock_.now() + kConnectWait;
    while (!twoEqualLinesAtEnd(received, line)) {
        const auto got = transport_->receive(received, deadline);
        if (got == Transport::Received::Closed) {
            error = "the connection closed before the controller answered";
            return false;
        }
        if (got == Transport::Received::Timeout) {
            error =
                received.empty() ? "there was no answer to ++ver" : "the answer to ++ver was not a version";
            return false;
        }
    }
    marker_ = line;
    version_ = stripLineEnd(line);
    flavour_ = flavourOf(version_);
    // Controller; EOI on our last byte and no terminator added, so a message goes out byte for
    // byte; the adapter's end character after EOI, so that EOI reaches us (see the read).
    // A Prologix writes every setting change to its EEPROM while ++savecfg is on; we change the
    // read timeout often, so that is switched off first. (AR488's ++savecfg writes once instead.)
    const std::string save = flavour_ == Flavour::Prologix ? "++savecfg 0\n" : "";
    const std::string setup = save + "++mode 1\n++eoi 1\n++eos 3\n++eot_enable 1\n++eot_char " +
                              std::to_string(static_cast<int>(EotChar)) + "\n";
    if (!send(setup) || !setAdapterTimeout(MinReadTimeoutMs)) {
        error = "the connection closed while setting the controller up";
        return false;
    }
    return true;
}

Clock::duration PrologixDriver::hostTimeout(const Descriptor& d) const {
    const int64_t us = timeoutMicroseconds(d.tmo);
    return us > 0 ? Clock::duration(std::chrono::microseconds(us))
                  : Clock::duration(std::chrono::milliseconds(boundedTimeoutMilliseconds(d.tmo)));
}

int PrologixDriver::adapterReadTimeoutMs(const Descriptor& d) const {
    return static_cast<int>(
        std::clamp<int64_t>(boundedTimeoutMilliseconds(d.tmo), MinReadTimeoutMs, maxReadTimeoutMs(flavour_)));
}

bool PrologixDriver::send(std::string_view bytes) {
    if (lost_) return false;
    if (!transport_->send(bytes)) lost_ = true;
    return !lost_;
}

bool PrologixDriver::selectDevice(int pad, int sad) {
    if (pad == addrPad_ && sad == addrSad_) return !lost_;
    std::string cmd = "++addr " + std::to_string(pad);
    if (sad != 0) cmd += " " + std::to_string(sad);
    if (!send(cmd + "\n")) return false;
    addrPad_ = pad;
    addrSad_ = sad;
    return true;
}

bool PrologixDriver::setAdapterTimeout(int ms) {
    if (ms == adapterTimeoutMs_) return !lost_;
    if (!send("++read_tmo_ms " + std::to_string(ms) + "\n")) return false;
    adapterTimeoutMs_ = ms;
    return true;
}

std::optional<std::vector<std::string>> PrologixDriver::ask(const std::string& command,
                                                            Clock::duration wait) {
    if (!send(command + "\n++ver\n")) return std::nullopt;
    ++pendingMarkers_;
    std::string received;
    // Answers to earlier markers that came too late arrive first, and what precedes each is
    // theirs: taken for this command's, every later address of a scan would get its neighbour's.
    std::size_t from = 0;
    const auto deadline = clock_.now() + wait;
    for (;;) {
        while (pendingMarkers_ > 1) {
            const auto at = received.find(marker_, from);
            if (at == std::string::npos) break;
            from = at + marker_.size();
            --pendingMarkers_;
        }
        if (pendingMarkers_ == 1 && received.size() >= from + marker_.size() && endsWith(received, marker_))
            break;
        const auto got = transport_->receive(received, deadline);
        if (got == Transport::Received::Closed) lost_ = true;
        if (got != Transport::Received::Data) return std::nullopt;
    }
    --pendingMarkers_;
    received = received.substr(from, received.size() - marker_.size() - from);
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < received.size()) {
        auto end = received.find('\n', at);
        if (end == std::string::npos) end = received.size();
        std::string l = stripLineEnd(received.substr(at, end - at));
        if (!l.empty()) lines.push_back(std::move(l));
        at = end + 1;
    }
    return lines;
}

void PrologixDriver::settle() {
    if (lost_) return;
    if (read_.active && !read_.ended && read_.running && !read_.probing) {
        // The adapter may still be reading: its answer to ++ver comes once it has stopped.
        if (send("++ver\n")) ++pendingMarkers_;
    }
    read_ = Read{};
    std::string received;
    const auto deadline = clock_.now() + std::chrono::milliseconds(maxReadTimeoutMs(flavour_)) + kReplySlack;
    while (pendingMarkers_ > 0 && !lost_) {
        if (endsWith(received, marker_)) {
            received.clear();
            --pendingMarkers_;
            continue;
        }
        const auto got = transport_->receive(received, deadline);
        if (got == Transport::Received::Closed) lost_ = true;
        if (got != Transport::Received::Data) pendingMarkers_ = 0; // give up waiting; drop what came
    }
    dropPending();
}

void PrologixDriver::dropPending() {
    // A reply nobody read (the instrument's or the adapter's) must not be taken for the next one.
    std::string stray;
    while (!lost_) {
        const auto got = transport_->receive(stray, clock_.now());
        if (got == Transport::Received::Closed) lost_ = true;
        if (got != Transport::Received::Data) break;
        stray.clear();
    }
}

int32_t PrologixDriver::lostCall(int32_t status) {
    lastCount_ = 0;
    return publish(status, EABO, 0);
}

void PrologixDriver::SendIFC(int32_t board) {
    if (board != 0) {
        publish(kErr, ENEB, 0);
        return;
    }
    settle();
    if (!send("++ifc\n")) {
        lostCall(kErr);
        return;
    }
    publish(kCmpl, 0, 0);
}

int32_t PrologixDriver::ibclr(int32_t ud) {
    Descriptor* d = descriptors_.find(ud);
    if (!d) return publish(kErr, EDVR, 0);
    if (d->pad == 0) return publish(kErr, ENOL, 0);
    if (lost_) return lostCall(kErr);
    settle();
    // The adapter does not say whether anybody took the clear.
    if (!selectDevice(d->pad, d->sad) || !send("++clr\n")) return lostCall(kErr);
    return publish(kCmpl, 0, 0);
}

int32_t PrologixDriver::ibrsp(int32_t ud, char* spr) {
    Descriptor* d = descriptors_.find(ud);
    if (!d) return publish(kErr, EDVR, 0);
    if (!spr) return publish(kErr, EARG, 0);
    if (lost_) return lostCall(kErr | kTimo);
    settle();
    const int ms = adapterReadTimeoutMs(*d);
    if (!setAdapterTimeout(ms)) return lostCall(kErr | kTimo);
    std::string cmd = "++spoll " + std::to_string(d->pad);
    if (d->sad != 0) cmd += " " + std::to_string(d->sad);
    const auto lines = ask(cmd, std::chrono::milliseconds(ms) + kReplySlack);
    int value = -1;
    if (lines && !lines->empty()) {
        const std::string& l = lines->front();
        const auto [p, ec] = std::from_chars(l.data(), l.data() + l.size(), value);
        if (ec != std::errc() || p != l.data() + l.size() || value < 0 || value > 255) value = -1;
    }
    if (value < 0) {
        // Silence is the only sign: nobody answered the poll within the timeout.
        lastCount_ = 0;
        return publish(kErr | kTimo, EABO, 0);
    }
    *spr = static_cast<char>(value);
    lastCount_ = 1;
    return publish(kCmpl, 0, 1);
}

int32_t PrologixDriver::ibwrt(int32_t ud, const char* buf, int32_t count) {
    Descriptor* d = descriptors_.find(ud);
    if (!d) return publish(kErr, EDVR, 0);
    if (count < 0 || (count > 0 && !buf)) return publish(kErr, EARG, 0);
    if (lost_) return lostCall(kErr);
    settle();
    // A new message makes the instrument drop an unread reply; so does our side (settle).
    if (!selectDevice(d->pad, d->sad) ||
        !send(escapeData(std::string_view(buf, static_cast<std::size_t>(count)))))
        return lostCall(kErr);
    lastCount_ = count;
    return publish(kCmpl, 0, count);
}

int32_t PrologixDriver::ibtmo(int32_t ud, int32_t code) {
    return publish(descriptors_.setTimeout(ud, code));
}

} // namespace vellumix::gpib::prologix

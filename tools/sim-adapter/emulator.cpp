#include "tools/sim-adapter/emulator.h"

#include "gpib/status.h"

#include <algorithm>
#include <chrono>

namespace vellumix::simadapter {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kChunk = 64; // bytes per handshake burst where no host check needs single bytes

// The timeout code the bus applies to one forwarded burst: the longest not above `ms`.
int codeAtMost(int ms) {
    int best = 1;
    for (int code = 1; code <= gpib::MaxTimeoutCode; ++code)
        if (gpib::timeoutMicroseconds(code) <= static_cast<int64_t>(ms) * 1000) best = code;
    return best;
}

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

} // namespace

std::optional<AdapterEmulator::Line> AdapterEmulator::Parser::feed(char c) {
    if (escaped) {
        escaped = false;
        if (c == '+' && text.size() < 2) plusEscaped = true;
        text.push_back(c);
        return std::nullopt;
    }
    if (c == gpib::prologix::Esc) {
        escaped = true;
        return std::nullopt;
    }
    if (c == '\r' || c == '\n') {
        if (text.empty()) return std::nullopt;
        Line l{std::string(), !plusEscaped && text.size() > 2 && text.rfind("++", 0) == 0};
        l.text.swap(text);
        plusEscaped = false;
        return l;
    }
    text.push_back(c);
    return std::nullopt;
}

AdapterEmulator::AdapterEmulator(gpib::sim::Scenario scenario, AdapterOptions options)
    : options_(std::move(options)), profile_(profile(options_.effectiveFirmware())),
      bus_(gpib::sim::createSimBus(std::move(scenario), clock_)), readTimeoutMs_(profile_.readTimeoutMs) {
    bus_->RegisterGpibGlobalsForThread(&sta_, &err_, &cnt_, &cntl_);
    autoRead_ = options_.autoRead ? 1 : 0;
    if (profile_.flavour == Flavour::Prologix) pad_ = 0;
    if (!options_.pendingOutput.empty()) emit(options_.pendingOutput);
}

void AdapterEmulator::moveClock(Clock::duration t) {
    if (t > clock_.now()) clock_.advance(t - clock_.now());
}

void AdapterEmulator::busyFor(Clock::duration d) {
    busyUntil_ = std::max(busyUntil_, clock_.now() + d);
}

int32_t AdapterEmulator::descriptor(int pad, int sad) {
    const auto key = std::make_pair(pad, sad);
    const auto it = descriptors_.find(key);
    if (it != descriptors_.end()) return it->second;
    const int32_t ud = bus_->ibdev(0, pad, sad, gpib::T3s, 1, 0);
    descriptors_[key] = ud;
    return ud;
}

void AdapterEmulator::emit(std::string_view bytes) {
    if (dropping_ || bytes.empty()) return;
    if (options_.dropAfter > 0 && sent_ + bytes.size() >= options_.dropAfter) {
        bytes = bytes.substr(0, options_.dropAfter - sent_);
        dropping_ = true;
    }
    sent_ += bytes.size();
    // The host link is the narrow part: bytes leave one after another at its rate. The firmware
    // goes on once the rest fits its output buffer; a GPIB talker waits for it meanwhile.
    auto at = std::max(clock_.now(), linkFree_);
    if (options_.rate > 0) at += seconds(static_cast<double>(bytes.size()) / options_.rate);
    linkFree_ = at;
    const Clock::duration buffered = options_.rate > 0
                                         ? seconds(static_cast<double>(profile_.outputBuffer) / options_.rate)
                                         : Clock::duration{};
    moveClock(at - std::min(buffered, at));
    if (!bytes.empty()) output_.emplace_back(at, std::string(bytes));
}

std::optional<Clock::duration> AdapterEmulator::nextOutputAt() const {
    if (output_.empty()) return std::nullopt;
    return output_.front().first;
}

std::optional<Clock::duration> AdapterEmulator::nextEventAt() const {
    std::optional<Clock::duration> next;
    const auto consider = [&](Clock::duration t) {
        t = std::max(t, clock_.now());
        if (!next || t < *next) next = t;
    };
    if (!wire_.empty()) consider(wire_.front().first);
    if (read_) {
        // A read always has its timeout ahead; a byte may come sooner.
        consider(read_->lastByte +
                 std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(readTimeoutMs_)));
        gpib::sim::SimInstrument* in = bus_->instrumentAt(pad_);
        if (in && !in->silent() && sad_ == 0 && in->pending().active())
            consider(std::max(in->pending().readyAt, pauseEnd_));
    } else if (busyUntil_ > clock_.now()) {
        consider(busyUntil_);
    } else if (ready_ || !rx_.empty()) {
        consider(clock_.now());
    }
    return next;
}

std::size_t AdapterEmulator::takeOutput(Clock::duration upTo, std::string& out) {
    advanceTo(upTo);
    std::size_t n = 0;
    while (!output_.empty() && output_.front().first <= upTo) {
        out += output_.front().second;
        n += output_.front().second.size();
        output_.pop_front();
    }
    return n;
}

void AdapterEmulator::input(std::string_view bytes, Clock::duration at) {
    advanceTo(at);
    // Over a serial line the bytes follow each other at the baud rate; over TCP they come at once.
    const double rate = options_.ethernet ? 0 : (options_.inputRate > 0 ? options_.inputRate : 11520.0);
    for (char c : bytes) {
        auto t = at;
        if (rate > 0) {
            t = std::max(at, wireFree_) + seconds(1.0 / rate);
            wireFree_ = t;
        }
        wire_.emplace_back(t, c);
    }
}

void AdapterEmulator::advanceTo(Clock::duration t) {
    run(t);
}

void AdapterEmulator::arrive(Clock::duration t) {
    // A byte that finds the input buffer full is lost: the firmware reads it only between its
    // own operations.
    const std::size_t capacity = options_.ethernet ? 0 : profile_.inputBuffer;
    while (!wire_.empty() && wire_.front().first <= t) {
        if (capacity == 0 || rx_.size() < capacity) {
            rx_.push_back(wire_.front().second);
        } else {
            ++lostInput_;
        }
        wire_.pop_front();
    }
}

std::optional<AdapterEmulator::Line> AdapterEmulator::takeLine() {
    if (ready_) {
        auto l = std::move(ready_);
        ready_.reset();
        return l;
    }
    if (!profile_.mergesQueuedLines) {
        while (!rx_.empty()) {
            const char c = rx_.front();
            rx_.pop_front();
            if (auto l = parser_.feed(c)) return l;
        }
        return std::nullopt;
    }
    // These firmwares drain every byte waiting into one buffer that a line end does not clear:
    // lines that queued up while it was busy run together into the first one.
    std::optional<Line> result;
    bool endedOnTerminator = false;
    while (!rx_.empty()) {
        const char c = rx_.front();
        rx_.pop_front();
        endedOnTerminator = false;
        if (auto l = parser_.feed(c)) {
            if (!result) {
                result = std::move(l);
            } else {
                result->text += l->text;
            }
            endedOnTerminator = true;
        }
    }
    if (!result) return std::nullopt;
    if (!endedOnTerminator) {
        // A partial line follows: it joins the buffer and the whole runs when its end comes.
        parser_.text = result->text + parser_.text;
        return std::nullopt;
    }
    return result;
}

std::optional<Clock::duration> AdapterEmulator::lineCompleteAt(Clock::duration before) const {
    Parser p = parser_;
    for (char c : rx_)
        if (p.feed(c)) return clock_.now();
    for (const auto& [t, c] : wire_) {
        if (t > before) break;
        if (p.feed(c)) return t;
    }
    return std::nullopt;
}

void AdapterEmulator::run(Clock::duration until) {
    // Every event up to `until` has run; the firmware's time stands there, with the host bytes
    // that came meanwhile in its input buffer (or lost).
    const auto settle = [&] {
        moveClock(until);
        arrive(until);
    };
    for (;;) {
        if (read_) {
            if (!stepRead(until)) return settle();
            continue;
        }
        if (busyUntil_ > clock_.now()) {
            if (busyAbortable_) {
                if (const auto t = lineCompleteAt(std::min(busyUntil_, until)))
                    busyUntil_ = std::max(*t, clock_.now());
            }
            if (busyUntil_ > until) return settle();
            moveClock(busyUntil_);
        }
        busyAbortable_ = false;
        arrive(clock_.now());
        if (auto l = takeLine()) {
            line(*l);
            continue;
        }
        if (wire_.empty() || wire_.front().first > until) return settle();
        moveClock(wire_.front().first);
    }
}

void AdapterEmulator::startRead(ReadEnd end, unsigned char endChar) {
    bus_->ibtmo(descriptor(pad_, sad_), codeAtMost(readTimeoutMs_));
    Read r;
    r.end = end;
    r.endChar = endChar;
    r.lastByte = clock_.now(); // the idle timer starts with the read
    r.checksHost = profile_.abort == ReadAbort::AtOnce ||
                   (end == ReadEnd::Eoi &&
                    (profile_.abort == ReadAbort::CharPerByte || profile_.abort == ReadAbort::AfterByte));
    read_ = r;
}

bool AdapterEmulator::stepRead(Clock::duration until) {
    Read& r = *read_;
    gpib::sim::SimInstrument* in = bus_->instrumentAt(pad_);
    const auto timeout =
        std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(readTimeoutMs_));
    std::optional<Clock::duration> ready;
    if (in && !in->silent() && sad_ == 0 && in->pending().active())
        ready = std::max({clock_.now(), in->pending().readyAt, pauseEnd_});
    const bool timesOut = !ready || *ready - r.lastByte > timeout;
    const Clock::duration next = timesOut ? r.lastByte + timeout : *ready;

    if (r.checksHost && profile_.abort == ReadAbort::AtOnce) {
        if (const auto t = lineCompleteAt(std::min(next, until))) {
            // The read stops as the line is complete; nothing more is taken from the bus.
            moveClock(*t);
            read_.reset();
            return true;
        }
    }
    if (next > until) return false;
    moveClock(next);

    // Parses host input as the firmware does after a byte: true when a line is complete.
    const auto hostLine = [&](bool oneChar) {
        arrive(clock_.now());
        while (!rx_.empty()) {
            const char c = rx_.front();
            rx_.pop_front();
            if (auto l = parser_.feed(c)) {
                ready_ = std::move(l);
                return true;
            }
            if (oneChar) break;
        }
        return false;
    };

    if (timesOut) {
        // Silence is the only sign of a timeout; some firmware prints the byte it last held.
        const bool stopped = r.checksHost && profile_.abort == ReadAbort::AfterByte && hostLine(false);
        if (!stopped && profile_.timeoutPrintsLastByte) emit(std::string(1, r.lastValue));
        read_.reset();
        return true;
    }

    const bool single = r.checksHost || r.end != ReadEnd::Eoi;
    std::size_t& offset = replyOffset_[pad_];
    std::size_t n = single ? 1 : kChunk;
    if (options_.pauseAt > 0 && !paused_[pad_] && offset < options_.pauseAt)
        n = std::min(n, options_.pauseAt - offset);
    char buffer[kChunk];
    const int32_t sta = bus_->ibrd(descriptor(pad_, sad_), buffer, static_cast<int32_t>(n));
    const auto got = static_cast<std::size_t>(std::max(cnt_, 0));
    offset += got;
    if (options_.pauseAt > 0 && !paused_[pad_] && offset >= options_.pauseAt) {
        paused_[pad_] = true;
        pauseEnd_ = clock_.now() + seconds(options_.pauseSeconds);
    }
    const bool eoi = (sta & gpib::END) != 0;

    if (r.checksHost && got > 0) {
        if (profile_.abort == ReadAbort::CharPerByte && hostLine(true)) {
            if (ready_->command) {
                // A "++" line stops the read before the byte goes out; its EOI is forgotten.
                read_.reset();
                return true;
            }
            r.checksHost = false; // a data line waits for the read's end
        } else if (profile_.abort == ReadAbort::AfterByte && hostLine(false)) {
            // The byte in hand is lost; the end character only if it came with EOI.
            if (eoi && eotEnable_) emit(std::string(1, static_cast<char>(eotChar_)));
            read_.reset();
            return true;
        }
    }

    emit(std::string_view(buffer, got));
    r.lastByte = clock_.now();
    if (got > 0) r.lastValue = buffer[got - 1];
    if (sta & gpib::TIMO) {
        moveClock(r.lastByte + timeout);
        read_.reset();
        return true;
    }
    if (eoi) {
        // EOI: the end character follows when asked for.
        if (eotEnable_) emit(std::string(1, static_cast<char>(eotChar_)));
        read_.reset();
        return true;
    }
    if (sta & static_cast<uint16_t>(gpib::ERR)) {
        read_.reset();
        return true;
    }
    if (got == 0) return true;
    const char last = buffer[got - 1];
    if (r.end == ReadEnd::Char && static_cast<unsigned char>(last) == r.endChar) {
        read_.reset();
        return true;
    }
    r.tail.push_back(last);
    if (r.tail.size() > 2) r.tail.erase(0, 1);
    // Without an argument AR488 stops at its end-of-read sequence (CR LF); a Prologix reads
    // until EOI or the timeout.
    if (r.end == ReadEnd::Default && profile_.flavour == Flavour::Ar488 && r.tail == "\r\n") read_.reset();
    return true;
}

void AdapterEmulator::deliver(const std::string& bytes) {
    // A listener takes a message as ended at a byte sent with EOI or at LF. Where the firmware
    // raises EOI only after the last byte, a message without a final LF never ends: its bytes
    // wait in the instrument and run into the next message.
    std::string& held = unended_[pad_];
    held += bytes;
    const bool eoiWithLast = eoi_ && !profile_.eoiAfterLastByte;
    if (!eoiWithLast && (held.empty() || held.back() != '\n')) return;
    std::string message;
    message.swap(held);
    bus_->ibwrt(descriptor(pad_, sad_), message.data(), static_cast<int32_t>(message.size()));
    replyOffset_[pad_] = 0;
    paused_[pad_] = false;
}

} // namespace vellumix::simadapter

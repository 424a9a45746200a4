#include "tools/sim-adapter/emulator.h"

#include "gpib/status.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <sstream>

namespace vellumix::simadapter {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kChunk = 64; // bytes per handshake burst where no host check needs single bytes
constexpr const char* kUnrecognized = "Unrecognized command";

// Rows: what each firmware does (see docs/adapters.md for the sources and the rig checks).
// An ATmega328P's serial ring holds 64 slots of which 63 can be full; the output ring is the same.
const FirmwareProfile kProfiles[] = {
    {Firmware::Ar488_047, Flavour::Ar488, "ar488-0.47", "AR488 GPIB controller, ver. 0.47.60, 05/12/2019", 63,
     63, ReadAbort::CharPerByte, false, false, true, true, true, false, false, false, kUnrecognized, 1200,
     32000},
    {Firmware::Ar488_049, Flavour::Ar488, "ar488-0.49", "AR488 GPIB controller, ver. 0.49.03, 18/12/2020", 63,
     63, ReadAbort::None, false, false, true, true, true, false, true, false, kUnrecognized, 1200, 32000},
    {Firmware::Ar488_050, Flavour::Ar488, "ar488-0.50", "AR488 GPIB controller, ver. 0.50.16, 02/06/2021", 63,
     63, ReadAbort::AfterByte, false, false, true, false, true, true, true, false, kUnrecognized, 1200,
     32000},
    {Firmware::Ar488_053, Flavour::Ar488, "ar488-0.53", "AR488 GPIB controller, ver. 0.53.04, 13/04/2025", 63,
     63, ReadAbort::None, true, true, false, false, false, false, true, false, "Invalid parameter", 1200,
     32000},
    {Firmware::Prologix, Flavour::Prologix, "prologix", "Prologix GPIB-USB Controller version 6.107", 0, 0,
     ReadAbort::AtOnce, false, true, false, false, false, false, false, true, "", 500, 3000},
    {Firmware::Immediate, Flavour::Prologix, "immediate", "Prologix GPIB-USB Controller version 6.107", 0, 0,
     ReadAbort::AtOnce, false, true, false, false, false, false, false, true, "", 500, 3000},
};

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

std::optional<int> number(const std::string& w) {
    int v = 0;
    const auto [p, ec] = std::from_chars(w.data(), w.data() + w.size(), v);
    if (ec != std::errc() || p != w.data() + w.size()) return std::nullopt;
    return v;
}

// The timeout code the bus applies to one forwarded burst: the longest not above `ms`.
int codeAtMost(int ms) {
    int best = 1;
    for (int code = 1; code <= 17; ++code)
        if (gpib::timeoutMicroseconds(code) <= static_cast<int64_t>(ms) * 1000) best = code;
    return best;
}

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

} // namespace

const FirmwareProfile& profile(Firmware firmware) {
    for (const FirmwareProfile& p : kProfiles)
        if (p.firmware == firmware) return p;
    return kProfiles[0];
}

std::optional<Firmware> firmwareNamed(std::string_view name) {
    if (name == "ar488") return Firmware::Ar488_053;
    for (const FirmwareProfile& p : kProfiles)
        if (name == p.name) return p.firmware;
    return std::nullopt;
}

std::string versionText(const AdapterOptions& options) {
    const FirmwareProfile& p = profile(options.effectiveFirmware());
    if (p.flavour == Flavour::Prologix && options.ethernet)
        return "Prologix GPIB-ETHERNET Controller version 01.06.06.00";
    return p.version;
}

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

void AdapterEmulator::line(const Line& l) {
    if (l.command) {
        command(l.text.substr(2));
        return;
    }
    if (mode_ != 1) return;
    // The line end is dropped; the ++eos terminator goes in its place.
    static const char* const terminators[] = {"\r\n", "\r", "\n", ""};
    deliver(l.text + terminators[std::clamp(eos_, 0, 3)]);
    if (autoRead_ != 0) startRead(ReadEnd::Eoi, 0);
}

void AdapterEmulator::badValue() {
    if (*profile_.badValue) print(profile_.badValue);
}

void AdapterEmulator::unknown() {
    if (!profile_.unknownIsSilent) print(kUnrecognized);
}

void AdapterEmulator::command(const std::string& text) {
    commands_.push_back(text);
    const auto w = words(text);
    if (w.empty()) return;
    std::string name = w[0];
    const bool ar488 = profile_.flavour == Flavour::Ar488;
    if (ar488)
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return std::tolower(c); });
    const auto arg = [&](std::size_t i) { return i < w.size() ? number(w[i]) : std::nullopt; };
    const bool query = w.size() == 1;
    const bool v053 = profile_.firmware == Firmware::Ar488_053;
    const bool has047 = profile_.firmware == Firmware::Ar488_047;

    // Reads a value: out of range is answered as the firmware does; 0.53 ignores a non-number.
    const auto value = [&](int lo, int hi) -> std::optional<int> {
        const auto v = arg(1);
        if (!v && v053) return std::nullopt;
        if (!v || *v < lo || *v > hi) {
            badValue();
            return std::nullopt;
        }
        return v;
    };
    const auto setting = [&](int& target, int lo, int hi) {
        if (query) {
            print(std::to_string(target));
        } else if (const auto v = value(lo, hi)) {
            target = *v;
        }
    };
    const auto flag = [&](bool& target) {
        int v = target ? 1 : 0;
        setting(v, 0, 1);
        target = v != 0;
    };
    const std::string rest = text.size() > name.size() ? text.substr(name.size() + 1) : std::string();

    if (name == "ver") {
        if (ar488 && !versionString_.empty() && !(w.size() > 1 && w[1].rfind("rea", 0) == 0))
            print(versionString_);
        else
            print(versionText(options_));
    } else if (name == "addr") {
        if (query) {
            print(sad_ ? std::to_string(pad_) + " " + std::to_string(sad_) : std::to_string(pad_));
        } else if (const auto p = value(ar488 ? 1 : 0, 30)) {
            pad_ = *p;
            const auto s = arg(2);
            sad_ = s && *s >= 96 && *s <= 126 ? *s : 0;
        }
    } else if (name == "auto") {
        setting(autoRead_, 0, ar488 ? 3 : 1);
    } else if (name == "mode") {
        const int before = mode_;
        setting(mode_, 0, 1);
        // 0.53 stays away from its input for a while when it (re)starts controller mode.
        if (!query && v053 && mode_ == 1 && before >= 0) busyFor(100ms);
    } else if (name == "eoi") {
        flag(eoi_);
    } else if (name == "eos") {
        setting(eos_, 0, 3);
    } else if (name == "eot_enable") {
        flag(eotEnable_);
    } else if (name == "eot_char") {
        setting(eotChar_, 0, 255);
    } else if (name == "read_tmo_ms") {
        if (!ar488 && !query) {
            // A Prologix caps it at its maximum instead of refusing.
            if (const auto v = arg(1); v && *v >= 1) readTimeoutMs_ = std::min(*v, profile_.maxReadTimeoutMs);
        } else {
            setting(readTimeoutMs_, 1, profile_.maxReadTimeoutMs);
        }
    } else if (name == "read") {
        if (w.size() >= 2 && w[1] == "eoi") {
            startRead(ReadEnd::Eoi, 0);
        } else if (const auto c = arg(1); c && *c >= 0 && *c <= 255) {
            startRead(ReadEnd::Char, static_cast<unsigned char>(*c));
        } else {
            startRead(ReadEnd::Default, 0);
        }
    } else if (name == "spoll") {
        if (!query && profile_.spollAddressIgnored && w[1] != "all") return; // returns before the bus
        const auto p = arg(1);
        const auto s = arg(2);
        serialPoll(p ? *p : pad_, p ? (s ? *s : 0) : sad_);
    } else if (name == "clr") {
        unended_.erase(pad_); // a device clear empties the instrument's input
        bus_->ibclr(descriptor(pad_, sad_));
    } else if (name == "ifc") {
        bus_->SendIFC(0);
    } else if (name == "fndl" && profile_.hasFndl) {
        findListeners(rest);
    } else if (name == "help" && profile_.hasHelp) {
        if (ar488) {
            // The real list is longer; its lines end in LF alone.
            emit("++addr: [P] Display/set device address\n++fndl: [C] Find listeners\n"
                 "++ver: [P] Display firmware version\n");
        } else {
            print("Prologix commands: ++addr ++auto ++clr ++eoi ++eos ++eot_char ++eot_enable ++ifc "
                  "++mode ++read ++read_tmo_ms ++spoll ++ver");
        }
    } else if (name == "setvstr" && ar488) {
        // 0.53's copy of its "verstr " prefix keeps one character on an ATmega: the id handler
        // then sees an unknown keyword.
        if (v053 || rest.empty()) {
            unknown();
        } else {
            versionString_ = rest.substr(0, 47);
            if (profile_.echoesVersionString) print(versionString_);
        }
    } else if (name == "id" && ar488 && !has047) {
        const auto kw = w.size() > 1 ? w[1] : std::string();
        const auto pos = text.find(kw, 2);
        const std::string data = w.size() > 2 ? text.substr(text.find(w[2], pos + kw.size())) : std::string();
        if (kw == "verstr" && w.size() > 2) {
            if (data.size() < 48) {
                versionString_ = data;
                if (profile_.echoesVersionString) print(versionString_);
            } else {
                unknown();
            }
        } else if (kw == "verstr") {
            print(versionString_);
        } else if (kw == "fwver") {
            print(versionText(options_));
        } else if (kw == "name" || kw == "serial") {
            if (w.size() <= 2) print(kw == "name" ? "" : "000000000");
        } else {
            unknown();
        }
    } else if (name == "savecfg") {
        // AR488 writes its settings to EEPROM whatever follows; a Prologix switches auto-saving.
        if (!ar488 && !query) value(0, 1);
    } else {
        static const char* const common[] = {"allspoll", "dcl",     "default", "llo",    "loc",     "lon",
                                             "macro",    "ppoll",   "ren",     "repeat", "rst",     "trg",
                                             "srq",      "srqauto", "status",  "ton",    "verbose", "xdiag"};
        bool known = std::find(std::begin(common), std::end(common), name) != std::end(common);
        if (name == "eor" || name == "idn") known = ar488 && !has047;
        if (name == "tmbus") known = ar488 && !v053;
        if (name == "tct" || name == "send" || name == "unl" || name == "unt" || name == "flags" ||
            name == "prom")
            known = v053;
        if (!ar488)
            known = name == "loc" || name == "llo" || name == "rst" || name == "trg" || name == "srq" ||
                    name == "status" || name == "lon";
        // Known commands the simulation shows nothing of are taken and change nothing.
        if (!known) unknown();
    }
}

void AdapterEmulator::serialPoll(int pad, int sad) {
    gpib::sim::SimInstrument* in = pad >= 0 && pad <= 30 ? bus_->instrumentAt(pad) : nullptr;
    if (!in || in->silent() || sad != 0) {
        // Nobody answers the poll: the adapter waits its read timeout and prints nothing. Where a
        // host line stops a read at once it stops this wait too.
        busyFor(std::chrono::milliseconds(readTimeoutMs_));
        busyAbortable_ = profile_.abort == ReadAbort::AtOnce;
        return;
    }
    char stb = 0;
    bus_->ibrsp(descriptor(pad, 0), &stb);
    print(std::to_string(static_cast<unsigned char>(stb)));
}

void AdapterEmulator::findListeners(const std::string& args) {
    // The firmware lowers its read timeout to 35 ms for the scan and restores it only when the
    // scan completes: a refused argument leaves it at 35 ms.
    const int savedTimeout = readTimeoutMs_;
    readTimeoutMs_ = 35;
    std::vector<int> list;
    const auto ws = words(args);
    if (ws.empty()) {
        print("Missing parameter");
        return;
    }
    const auto dash = args.find('-');
    if (dash != std::string::npos && dash > 0) {
        const long lo = std::strtol(args.c_str(), nullptr, 10);
        const long hi = std::strtol(args.c_str() + dash + 1, nullptr, 10);
        if (hi > lo) {
            if (lo >= 30 || hi >= 31) {
                print("Invalid parameter");
                return;
            }
            for (long a = lo; a <= hi; ++a)
                list.push_back(static_cast<int>(a));
        }
    }
    if (list.empty()) {
        if (args.rfind("all", 0) == 0) {
            for (int a = 0; a <= 30; ++a)
                list.push_back(a);
        } else {
            std::string spaced = args;
            std::replace(spaced.begin(), spaced.end(), ',', ' ');
            for (const std::string& w : words(spaced)) {
                if (list.size() >= 15) break;
                const auto a = number(w);
                if (w.size() > 2 || !a || *a > 30) {
                    print("Invalid parameter");
                    return;
                }
                list.push_back(*a);
            }
        }
    }
    // Per address: UNL, the listen address, 1.6 ms, a look at NDAC; an absent one is also tried
    // with each of the 31 secondary addresses and a second 1.6 ms.
    std::string hits;
    Clock::duration spent{};
    for (int a : list) {
        if (a == 0) continue; // its own address
        const bool present = bus_->instrumentAt(a) != nullptr;
        spent += present ? 1900us : 6600us;
        if (!present) continue;
        if (!hits.empty()) hits += ",";
        hits += std::to_string(a);
    }
    busyFor(spent);
    moveClock(busyUntil_);
    print(hits);
    readTimeoutMs_ = savedTimeout;
}

} // namespace vellumix::simadapter

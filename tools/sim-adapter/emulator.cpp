#include "tools/sim-adapter/emulator.h"

#include "gpib/status.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <sstream>

namespace vellumix::simadapter {

namespace {

constexpr std::size_t kChunk = 64; // bytes per handshake burst the virtual adapter forwards

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

} // namespace

std::string versionText(const AdapterOptions& options) {
    if (options.flavour == Flavour::Ar488) return "AR488 GPIB controller, ver. 0.53.04, 13/04/2025";
    return options.ethernet ? "Prologix GPIB-ETHERNET Controller version 01.06.06.00"
                            : "Prologix GPIB-USB Controller version 6.107";
}

AdapterEmulator::AdapterEmulator(gpib::sim::Scenario scenario, AdapterOptions options)
    : options_(std::move(options)), bus_(gpib::sim::createSimBus(std::move(scenario), clock_)),
      readTimeoutMs_(options_.flavour == Flavour::Ar488 ? 1200 : 500) {
    bus_->RegisterGpibGlobalsForThread(&sta_, &err_, &cnt_, &cntl_);
    autoRead_ = options_.autoRead ? 1 : 0;
    if (!options_.pendingOutput.empty()) emit(options_.pendingOutput);
}

void AdapterEmulator::advanceTo(Clock::duration t) {
    if (t > clock_.now()) clock_.advance(t - clock_.now());
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
    // The host link is the narrow part: bytes leave one after another at its rate, and the GPIB
    // handshake holds the talker meanwhile, so the bus's time follows.
    auto at = std::max(clock_.now(), linkFree_);
    if (options_.rate > 0)
        at += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(bytes.size()) / options_.rate));
    linkFree_ = at;
    advanceTo(at);
    if (!bytes.empty()) output_.emplace_back(at, std::string(bytes));
}

std::optional<Clock::duration> AdapterEmulator::nextOutputAt() const {
    if (output_.empty()) return std::nullopt;
    return output_.front().first;
}

std::size_t AdapterEmulator::takeOutput(Clock::duration upTo, std::string& out) {
    std::size_t n = 0;
    while (!output_.empty() && output_.front().first <= upTo) {
        out += output_.front().second;
        n += output_.front().second.size();
        output_.pop_front();
    }
    return n;
}

void AdapterEmulator::input(std::string_view bytes, Clock::duration at) {
    // The firmware takes the next line only when the previous one is done: commands that arrive
    // during a read wait for its end.
    for (char c : bytes) {
        if (escaped_) {
            if (pending_.size() < 2) lineHasEscapes_ = true;
            pending_.push_back(c);
            escaped_ = false;
            continue;
        }
        if (c == gpib::prologix::Esc) {
            escaped_ = true;
            continue;
        }
        if (c == '\r' || c == '\n') {
            if (!pending_.empty()) {
                advanceTo(std::max(at, clock_.now()));
                const bool isCommand = !lineHasEscapes_ && pending_.rfind("++", 0) == 0;
                std::string text;
                text.swap(pending_);
                line(text, isCommand);
            }
            lineHasEscapes_ = false;
            continue;
        }
        pending_.push_back(c);
    }
}

void AdapterEmulator::line(const std::string& text, bool isCommand) {
    if (isCommand) {
        command(text.substr(2));
        return;
    }
    if (mode_ != 1) return;
    // The line end is dropped; the ++eos terminator goes in its place.
    static const char* const terminators[] = {"\r\n", "\r", "\n", ""};
    const std::string message = text + terminators[std::clamp(eos_, 0, 3)];
    const int32_t ud = descriptor(pad_, sad_);
    bus_->ibwrt(ud, message.data(), static_cast<int32_t>(message.size()));
    replyOffset_[pad_] = 0;
    paused_[pad_] = false;
    if (autoRead_ != 0) read(ReadEnd::Eoi, 0);
}

void AdapterEmulator::command(const std::string& text) {
    commands_.push_back(text);
    const auto w = words(text);
    if (w.empty()) return;
    const std::string& name = w[0];
    const auto arg = [&](std::size_t i) { return i < w.size() ? number(w[i]) : std::nullopt; };
    const bool query = w.size() == 1;
    const bool ar488 = options_.flavour == Flavour::Ar488;

    const auto setting = [&](int& value, int lo, int hi) {
        if (query) {
            print(std::to_string(value));
        } else if (const auto v = arg(1); v && *v >= lo && *v <= hi) {
            value = *v;
        }
    };
    const auto flag = [&](bool& value) {
        int v = value ? 1 : 0;
        setting(v, 0, 1);
        value = v != 0;
    };

    if (name == "ver") {
        print(versionText(options_));
    } else if (name == "addr") {
        if (query) {
            print(sad_ ? std::to_string(pad_) + " " + std::to_string(sad_) : std::to_string(pad_));
        } else if (const auto p = arg(1); p && *p >= 0 && *p <= 30) {
            pad_ = *p;
            const auto s = arg(2);
            sad_ = s && *s >= 96 && *s <= 126 ? *s : 0;
        }
    } else if (name == "auto") {
        setting(autoRead_, 0, ar488 ? 3 : 1);
    } else if (name == "mode") {
        setting(mode_, 0, 1);
    } else if (name == "eoi") {
        flag(eoi_);
    } else if (name == "eos") {
        setting(eos_, 0, 3);
    } else if (name == "eot_enable") {
        flag(eotEnable_);
    } else if (name == "eot_char") {
        setting(eotChar_, 0, 255);
    } else if (name == "read_tmo_ms") {
        if (query) {
            print(std::to_string(readTimeoutMs_));
        } else if (const auto v = arg(1); v && *v >= 1) {
            // The Prologix caps it at 3000 ms; AR488's code takes up to 32000.
            readTimeoutMs_ = std::min(*v, gpib::prologix::maxReadTimeoutMs(options_.flavour));
        }
    } else if (name == "read") {
        if (w.size() >= 2 && w[1] == "eoi") {
            read(ReadEnd::Eoi, 0);
        } else if (const auto c = arg(1); c && *c >= 0 && *c <= 255) {
            read(ReadEnd::Char, static_cast<unsigned char>(*c));
        } else {
            read(ReadEnd::Default, 0);
        }
    } else if (name == "spoll") {
        const auto p = arg(1);
        const auto s = arg(2);
        serialPoll(p ? *p : pad_, p ? (s ? *s : 0) : sad_);
    } else if (name == "clr") {
        bus_->ibclr(descriptor(pad_, sad_));
    } else if (name == "ifc") {
        bus_->SendIFC(0);
    } else if (name == "fndl" && ar488) {
        findListeners(text.substr(4));
    } else if (name == "help") {
        print(ar488 ? "AR488 commands: ++addr ++auto ++clr ++eoi ++eos ++eot_char ++eot_enable ++fndl ++ifc "
                      "++mode ++read ++read_tmo_ms ++spoll ++ver"
                    : "Prologix commands: ++addr ++auto ++clr ++eoi ++eos ++eot_char ++eot_enable ++ifc "
                      "++mode ++read ++read_tmo_ms ++spoll ++ver");
    }
    // Other commands (++rst, ++savecfg, ++loc, ++llo, ++trg, ...) are taken and change nothing
    // the simulation shows; unknown ones are ignored silently.
}

void AdapterEmulator::read(ReadEnd end, unsigned char endChar) {
    const int32_t ud = descriptor(pad_, sad_);
    bus_->ibtmo(ud, codeAtMost(readTimeoutMs_));
    gpib::sim::SimInstrument* in = bus_->instrumentAt(pad_);
    const auto timeout =
        std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(readTimeoutMs_));
    auto lastByte = clock_.now(); // the idle timer starts with the read
    std::string tail;             // the last two bytes, for AR488's CR LF end
    char buffer[kChunk];
    for (;;) {
        std::optional<Clock::duration> ready;
        if (in && !in->silent() && sad_ == 0 && in->pending().active())
            ready = std::max({clock_.now(), in->pending().readyAt, pauseEnd_});
        if (!ready || *ready - lastByte > timeout) {
            // Silence is the only sign of a timeout: the read just stops, nothing is appended.
            advanceTo(lastByte + timeout);
            return;
        }
        advanceTo(*ready);
        std::size_t& offset = replyOffset_[pad_];
        std::size_t n = end == ReadEnd::Eoi ? kChunk : 1;
        if (options_.pauseAt > 0 && !paused_[pad_] && offset < options_.pauseAt)
            n = std::min(n, options_.pauseAt - offset);
        const int32_t sta = bus_->ibrd(ud, buffer, static_cast<int32_t>(n));
        const auto got = static_cast<std::size_t>(std::max(cnt_, 0));
        emit(std::string_view(buffer, got));
        lastByte = clock_.now();
        offset += got;
        if (options_.pauseAt > 0 && !paused_[pad_] && offset >= options_.pauseAt) {
            paused_[pad_] = true;
            pauseEnd_ = clock_.now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(options_.pauseSeconds));
        }
        if (sta & gpib::TIMO) {
            advanceTo(lastByte + timeout);
            return;
        }
        if (sta & gpib::END) {
            // EOI: the end character follows when asked for.
            if (eotEnable_) emit(std::string(1, static_cast<char>(eotChar_)));
            return;
        }
        if (sta & static_cast<uint16_t>(gpib::ERR)) return;
        if (got == 0) continue;
        const char last = buffer[got - 1];
        if (end == ReadEnd::Char && static_cast<unsigned char>(last) == endChar) return;
        tail.push_back(last);
        if (tail.size() > 2) tail.erase(0, 1);
        // Without an argument AR488 stops at its end-of-read sequence (CR LF); a Prologix reads
        // until EOI or the timeout.
        if (end == ReadEnd::Default && options_.flavour == Flavour::Ar488 && tail == "\r\n") return;
    }
}

void AdapterEmulator::serialPoll(int pad, int sad) {
    gpib::sim::SimInstrument* in = pad >= 0 && pad <= 30 ? bus_->instrumentAt(pad) : nullptr;
    if (!in || in->silent() || sad != 0) {
        // Nobody answers the poll: the adapter waits its read timeout and prints nothing.
        advanceTo(clock_.now() + std::chrono::milliseconds(readTimeoutMs_));
        return;
    }
    char stb = 0;
    bus_->ibrsp(descriptor(pad, 0), &stb);
    print(std::to_string(static_cast<unsigned char>(stb)));
}

void AdapterEmulator::findListeners(const std::string& args) {
    std::vector<uint16_t> list;
    for (const std::string& w : words(args)) {
        if (w == "all") {
            for (int a = 1; a <= 30; ++a)
                list.push_back(static_cast<uint16_t>(a));
        } else if (const auto dash = w.find('-'); dash != std::string::npos) {
            const auto lo = number(w.substr(0, dash));
            const auto hi = number(w.substr(dash + 1));
            for (int a = lo.value_or(1); lo && hi && a <= *hi && a <= 30; ++a)
                list.push_back(static_cast<uint16_t>(a));
        } else if (const auto a = number(w); a && *a >= 1 && *a <= 30) {
            list.push_back(static_cast<uint16_t>(*a));
        }
    }
    // UNL, UNT, the listen address, 1.6 ms, then a look at NDAC: per address.
    advanceTo(clock_.now() + std::chrono::microseconds(1600) * static_cast<int>(list.size()));
    std::string hits;
    for (uint16_t a : list) {
        if (!bus_->instrumentAt(a)) continue;
        if (!hits.empty()) hits += ",";
        hits += std::to_string(a);
    }
    if (!hits.empty()) print(hits);
}

} // namespace vellumix::simadapter

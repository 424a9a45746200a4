// The firmware's "++" commands: settings, reads, serial polls, the listener search, and what it
// prints for a command or a value it does not take.
#include "tools/sim-adapter/emulator.h"

#include "gpib/status.h"
#include "platform/text.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <sstream>

namespace vellumix::simadapter {

namespace {

using namespace std::chrono_literals;
using gpib::MaxPrimaryAddress;

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

} // namespace

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
    if (!profile_.unknownIsSilent) print(UnrecognizedCommand);
}

void AdapterEmulator::command(const std::string& text) {
    commands_.push_back(text);
    const auto w = words(text);
    if (w.empty()) return;
    const bool ar488 = profile_.flavour == Flavour::Ar488;
    const std::string name = ar488 ? lowerAscii(w[0]) : w[0];
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
        } else if (const auto p = value(ar488 ? 1 : 0, MaxPrimaryAddress)) {
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
    gpib::sim::SimInstrument* in = pad >= 0 && pad <= MaxPrimaryAddress ? bus_->instrumentAt(pad) : nullptr;
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
            if (lo >= MaxPrimaryAddress || hi > MaxPrimaryAddress) {
                print("Invalid parameter");
                return;
            }
            for (long a = lo; a <= hi; ++a)
                list.push_back(static_cast<int>(a));
        }
    }
    if (list.empty()) {
        if (args.rfind("all", 0) == 0) {
            for (int a = 0; a <= MaxPrimaryAddress; ++a)
                list.push_back(a);
        } else {
            std::string spaced = args;
            std::replace(spaced.begin(), spaced.end(), ',', ' ');
            for (const std::string& w : words(spaced)) {
                if (list.size() >= 15) break;
                const auto a = number(w);
                if (w.size() > 2 || !a || *a > MaxPrimaryAddress) {
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

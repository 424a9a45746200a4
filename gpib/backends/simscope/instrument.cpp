#include "gpib/backends/simscope/instrument.h"

#include "platform/text.h"

#include "gpib/backends/simscope/picture.h"

#include <algorithm>
#include <cctype>
#include <chrono>

namespace vellumix::gpib::sim {
namespace {

std::string_view trim(std::string_view s) {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && space(s.back()))
        s.remove_suffix(1);
    return s;
}

// Tek mnemonics: the upper-case part is required, the rest may follow in full ("HARDC", "HARDCOPY").
bool keyword(const std::string& token, std::string_view full, std::size_t required) {
    return token.size() >= required && token.size() <= full.size() &&
           full.compare(0, token.size(), token) == 0;
}

bool onOff(const std::string& arg, bool& value) {
    const std::string a = upperAscii(arg);
    if (a == "ON" || a == "1")
        value = true;
    else if (a == "OFF" || a == "0")
        value = false;
    else
        return false;
    return true;
}

std::string generated(std::size_t n) {
    std::string s(n, 'A');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('A' + (i * 7 + i / 26) % 26);
    return s;
}

} // namespace

SimInstrument::SimInstrument(InstrumentSetup setup) : setup_(std::move(setup)) {
    settings_.format = setup_.format;
    settings_.inkSaver = setup_.inkSaver;
    settings_.port = setup_.port;
    fired_.assign(setup_.faults.size(), 0);
    if (setup_.idReply) idReply_ = text(*setup_.idReply);
    if (setup_.idnReply) idnReply_ = text(*setup_.idnReply);
}

std::shared_ptr<const std::string> SimInstrument::text(const std::string& t) {
    return std::make_shared<const std::string>(t + setup_.replyEnding);
}

void SimInstrument::queue(std::shared_ptr<const std::string> data, ReplyKind kind) {
    if (!data || data->empty()) return;
    pending_ =
        PendingReply{std::move(data), 0, 0, kind, kind == ReplyKind::Hardcopy ? pictureReadyAt_ : readyAt_};
}

void SimInstrument::receive(std::string_view message, Clock::duration readyAt, Clock::duration pictureReadyAt,
                            Clock::duration now) {
    received_.emplace_back(message);
    now_ = now;
    // An armed single acquisition stops once its trigger has come.
    AcquisitionState& a = acquisition_;
    if (a.running && a.sequence && setup_.triggerAfter &&
        now - a.armedAt >= std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(*setup_.triggerAfter))) {
        a.running = false;
        ++a.triggers;
    }
    clearOutput();
    readyAt_ = readyAt;
    pictureReadyAt_ = pictureReadyAt;
    if (setup_.silent) return;

    // Program message units are separated by ';'. A unit without a leading ':' continues the
    // header path of the one before it ("HARDCOPY:LAYOUT PORTRAIT;INKSAVER OFF").
    std::vector<std::string> base;
    std::size_t start = 0;
    const std::string msg(message);
    while (start <= msg.size()) {
        std::size_t end = msg.find(';', start);
        if (end == std::string::npos) end = msg.size();
        std::string_view unit = trim(std::string_view(msg).substr(start, end - start));
        start = end + 1;
        if (unit.empty()) continue;
        bool rooted = false;
        if (unit.front() == ':') {
            rooted = true;
            unit.remove_prefix(1);
        }
        const std::size_t sp = unit.find_first_of(" \t");
        std::string header = upperAscii(unit.substr(0, sp));
        const std::string args(sp == std::string_view::npos ? std::string_view() : trim(unit.substr(sp)));
        bool query = false;
        if (!header.empty() && header.back() == '?') {
            query = true;
            header.pop_back();
        }
        std::vector<std::string> path;
        for (std::size_t p = 0; p <= header.size();) {
            std::size_t q = header.find(':', p);
            if (q == std::string::npos) q = header.size();
            path.push_back(header.substr(p, q - p));
            p = q + 1;
        }
        if (!rooted && path.size() == 1 && header.front() != '*' && !base.empty())
            path.insert(path.begin(), base.begin(), base.end());
        base.assign(path.begin(), path.end() - 1);
        command(path, query, args);
    }
}

void SimInstrument::command(const std::vector<std::string>& path, bool query, const std::string& args) {
    const std::string& head = path.front();
    if (path.size() == 1 && query && head == "ID") return queue(idReply_, ReplyKind::Id);
    if (path.size() == 1 && query && head == "*IDN") return queue(idnReply_, ReplyKind::Id);
    if (!setup_.scope) return;
    if (path.size() == 1 && head == "*RST") {
        settings_ = HardcopySettings{};
        settings_.format = setup_.format;
        settings_.inkSaver = setup_.inkSaver;
        settings_.port = setup_.port;
        acquisition_.running = true;
        acquisition_.sequence = false;
        return;
    }
    if (path.size() == 1 && query && head == "BUSY") return queue(text("0"), ReplyKind::Other);
    if (keyword(head, "ACQUIRE", 4)) {
        acquire(path, query, upperAscii(args));
        return;
    }
    if (!keyword(head, "HARDCOPY", 5)) return; // unknown headers are ignored, as the scope only logs them
    const std::string arg = upperAscii(args);
    if (path.size() == 1) {
        if (!query && keyword(arg, "START", 4)) {
            // The picture goes to the port the scope is set to; only ours reaches us.
            if (settings_.port != connectionPort_) return;
            ++hardcopies_;
            return queue(picture(), ReplyKind::Hardcopy);
        }
        if (!query && keyword(arg, "ABORT", 3)) return clearOutput();
        return;
    }
    if (path.size() != 2) return;
    const std::string& sub = path[1];
    std::string* word = nullptr;
    if (keyword(sub, "FORMAT", 4)) {
        if (query) return queue(text(formatWord(settings_.format)), ReplyKind::Other);
        if (auto f = parseFormatWord(arg)) settings_.format = *f;
        return;
    }
    if (keyword(sub, "INKSAVER", 4)) {
        if (query) return queue(text(settings_.inkSaver ? "ON" : "OFF"), ReplyKind::Other);
        onOff(arg, settings_.inkSaver);
        return;
    }
    if (keyword(sub, "PALLET", 4) || keyword(sub, "PALETTE", 4))
        word = &settings_.pallet;
    else if (keyword(sub, "COMPRESSION", 8))
        word = &settings_.compression;
    else if (keyword(sub, "LAYOUT", 3))
        word = &settings_.layout;
    else if (keyword(sub, "PORT", 4))
        word = &settings_.port;
    if (!word) return;
    if (query) return queue(text(*word), ReplyKind::Other);
    if (arg.empty()) return;
    if (word == &settings_.port) {
        if (keyword(arg, "GPIB", 3))
            *word = "GPIB";
        else if (keyword(arg, "CENTRONICS", 3))
            *word = "CENTRONICS";
        else if (keyword(arg, "RS232", 5))
            *word = "RS232";
        else if (arg == "USB")
            *word = "USB";
        else
            *word = arg;
    } else if (word == &settings_.layout) {
        if (keyword(arg, "PORTRAIT", 4))
            *word = "PORTRAIT";
        else if (keyword(arg, "LANDSCAPE", 3))
            *word = "LANDSCAPE";
        else
            *word = arg;
    } else {
        *word = arg;
    }
}

bool SimInstrument::acquire(const std::vector<std::string>& path, bool query, const std::string& arg) {
    if (path.size() != 2) return false;
    AcquisitionState& a = acquisition_;
    const std::string& sub = path[1];
    if (keyword(sub, "STATE", 4)) {
        if (query) {
            queue(text(a.running ? "1" : "0"), ReplyKind::Other);
            return true;
        }
        bool run = false;
        if (arg == "RUN")
            run = true;
        else if (arg == "STOP")
            run = false;
        else if (!onOff(arg, run))
            return false;
        if (run && !a.running) a.armedAt = now_;
        a.running = run;
        return true;
    }
    if (keyword(sub, "STOPAFTER", 5)) {
        if (query) {
            queue(text(a.sequence ? "SEQUENCE" : "RUNSTOP"), ReplyKind::Other);
            return true;
        }
        if (keyword(arg, "SEQUENCE", 3)) {
            if (!a.sequence) a.armedAt = now_;
            a.sequence = true;
        } else if (keyword(arg, "RUNSTOP", 4)) {
            a.sequence = false;
        } else {
            return false;
        }
        return true;
    }
    return false;
}

std::shared_ptr<const std::string> SimInstrument::picture() {
    const auto key = std::make_pair(settings_.format, settings_.inkSaver);
    if (auto it = pictures_.find(key); it != pictures_.end()) return it->second;
    const auto byFormat = setup_.hardcopyByFormat.find(settings_.format);
    const Payload& p = byFormat != setup_.hardcopyByFormat.end() ? byFormat->second : setup_.hardcopy;
    std::string bytes;
    switch (p.source) {
    case Payload::Source::Render: {
        const Screen screen =
            drawScreen(setup_.effectiveWidth(), setup_.effectiveHeight(), setup_.effectiveModel());
        bytes = encodePicture(settings_.format, screen,
                              PictureOptions{settings_.inkSaver, setup_.bmpFileSizeField,
                                             scopeFamily(setup_.effectiveModel())});
        break;
    }
    case Payload::Source::Bytes:
        bytes = p.bytes;
        break;
    case Payload::Source::Size:
        bytes = generated(p.size);
        break;
    }
    bytes += p.append;
    auto shared = std::make_shared<const std::string>(std::move(bytes));
    pictures_[key] = shared;
    return shared;
}

template <typename Matches> const Fault* SimInstrument::take(Fault::Kind kind, const Matches& matches) {
    for (std::size_t i = 0; i < setup_.faults.size(); ++i) {
        const Fault& f = setup_.faults[i];
        if (f.kind != kind || (f.times > 0 && fired_[i] >= f.times) || !matches(f)) continue;
        ++fired_[i];
        return &f;
    }
    return nullptr;
}

const Fault* SimInstrument::takeWriteFault(std::string_view message) {
    const std::string msg = upperAscii(message);
    return take(Fault::Kind::WriteError, [&](const Fault& f) {
        return f.exact ? message == f.match : msg.find(upperAscii(f.match)) != std::string::npos;
    });
}

const Fault* SimInstrument::takeReadFault() {
    if (!pending_.active()) return nullptr;
    auto hits = [&](const Fault& f) {
        return f.chunk == pending_.reads && (f.reply == ReplyKind::Any || f.reply == pending_.kind);
    };
    if (const Fault* f = take(Fault::Kind::ReadTimeout, hits)) return f;
    return take(Fault::Kind::ReadError, hits);
}

const Fault* SimInstrument::takeTimeoutSetFault() {
    return take(Fault::Kind::TimeoutSetError, [](const Fault&) { return true; });
}

} // namespace vellumix::gpib::sim

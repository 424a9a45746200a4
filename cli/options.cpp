#include "cli/options.h"

#include "cli/exitstatus.h"

#include "gpib/backends/schemes.h"
#include "gpib/status.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <map>

namespace vellumix::cli {

namespace {

constexpr int MaxCount = 100000;
constexpr double MaxInterval = 7 * 24 * 3600.0;

struct CommandDef {
    const char* name;
    const char* synopsis; // as the help lists it
    const char* help;
};

constexpr CommandDef Commands[] = {
    {"scan", "scan", "list the listeners and their replies to ID?"},
    {"query", "query [--address N] TEXT",
     "send TEXT, print the reply\n(default address: the first listener)"},
    {"identify", "identify [--expect TEXT]", "find the scope; print model, address, formats, ink saver"},
    {"capture", "capture [options]", "fetch the hard copy and save it"},
};

// Which commands take an option; the help groups options by the set of commands they belong to.
enum Takers : unsigned {
    Global = 0,
    Query = 1,
    Identify = 2,
    Capture = 4,
};

struct OptionDef {
    const char* name;  // without the leading "--"
    char shortName;    // 0: none
    const char* value; // the value's placeholder in the help; nullptr: a flag
    unsigned takers;
    const char* help;
    bool listed = true; // false: described with its command instead
};

// "--bus" is taken out of the arguments before these are parsed (busuri.h), wherever it stands.
const OptionDef OptionTable[] = {
    {"address", 0, "N", Query, "", false},
    {"expect", 0, "TEXT", Identify | Capture,
     "text the reply to ID? must contain (default: TDS);\n\"!\" first: no error if none; \"!\" last: exact "
     "match"},
    {"format", 0, "WORD", Capture,
     "@FORMATS@\n(default: from -o's extension, else BMPCOLOR when the model\noffers it, else BMP)"},
    {"ink-saver", 0, nullptr, Capture, "ink saver on (default: off)"},
    {"output", 'o', "PATH|-", Capture,
     "file to write, - for stdout; {n} a counter (001),\n{time} the time (2026-12-08T10-15-30)\n"
     "(default: MODEL_YYYY-MM-DD_HHMMSS.EXT in this folder)"},
    {"count", 0, "N", Capture,
     "number of captures (default: 1); without {n} the\nfiles are numbered _001, _002, ...; a taken name\n"
     "is skipped, never replaced"},
    {"interval", 0, "SECONDS", Capture, "wait between captures (default: 0)"},
    {"on-trigger", 0, nullptr, Capture,
     "arm a single acquisition, capture once it has\ntriggered, then restore the acquisition settings"},
    {"trigger-timeout", 0, "SECONDS", Capture, "give up when no trigger came in time\n(default: wait)"},
    {"bus", 0, "URI", Global, "the bus, one of those below\n(default: $VELLUMIX_BUS, else gpib)"},
    {"help", 'h', nullptr, Global, "show this help and exit"},
    {"version", 0, nullptr, Global, "show the version and exit"},
};

unsigned takerOf(const std::string& command) {
    if (command == "query") return Query;
    if (command == "identify") return Identify;
    if (command == "capture") return Capture;
    return Global;
}

std::string formatWords(const char* separator) {
    std::string words;
    for (const auto& f : capture::Formats)
        words += std::string(words.empty() ? "" : separator) + f.formatWord;
    return words;
}

// "BMP, BMPCOLOR, TIFF, PNG, PCX or PCXCOLOR"
std::string formatChoice() {
    std::string words;
    const std::size_t n = capture::Formats.size();
    for (std::size_t i = 0; i < n; ++i)
        words += std::string(i == 0 ? "" : i + 1 == n ? " or " : ", ") + capture::Formats[i].formatWord;
    return words;
}

struct ParsedOptions {
    std::map<std::string, std::string> values; // by long name; flags get ""
    std::vector<std::string> positional;
    std::string error;

    bool has(const std::string& name) const { return values.count(name) != 0; }
    std::string value(const std::string& name, const std::string& fallback = {}) const {
        const auto it = values.find(name);
        return it == values.end() ? fallback : it->second;
    }
};

// The options a command takes: its own and "--help".
const OptionDef* findOption(const std::string& arg, unsigned taker, std::optional<std::string>& inlineValue) {
    std::string name;
    if (arg.compare(0, 2, "--") == 0) {
        name = arg.substr(2);
        if (const auto eq = name.find('='); eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.erase(eq);
        }
    } else if (arg.size() != 2) {
        return nullptr;
    }
    for (const auto& d : OptionTable) {
        const bool taken = (d.takers & taker) != 0 || std::string(d.name) == "help";
        if (!taken) continue;
        if (name.empty() ? d.shortName == arg[1] : name == d.name) return &d;
    }
    return nullptr;
}

ParsedOptions parseOptions(const std::vector<std::string>& args, std::size_t from, unsigned taker) {
    ParsedOptions o;
    bool optionsEnded = false;
    for (std::size_t i = from; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            o.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::optional<std::string> inlineValue;
        const OptionDef* def = findOption(arg, taker, inlineValue);
        if (!def) {
            o.error = "unknown option " + arg;
            return o;
        }
        const std::string name = def->name;
        if (!def->value) {
            if (inlineValue) {
                o.error = "--" + name + " takes no value";
                return o;
            }
            o.values[name] = "";
        } else if (inlineValue) {
            o.values[name] = *inlineValue;
        } else if (i + 1 < args.size()) {
            o.values[name] = args[++i];
        } else {
            o.error = "--" + name + " needs a value";
            return o;
        }
    }
    return o;
}

bool parseWhole(const std::string& text, long low, long high, long& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    out = v;
    return true;
}

bool parseSeconds(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || v < 0 || v > MaxInterval) return false;
    out = v;
    return true;
}

// Empty when the options make a valid request, else what is wrong.
std::string makeRequest(const std::string& command, const ParsedOptions& o, Request& r) {
    r.command = command;
    const std::size_t args = command == "query" ? 1 : 0;
    if (o.positional.size() > args) return command + " takes no argument \"" + o.positional[args] + "\"";
    if (o.positional.size() < args) return "query needs one message text, e.g. query \"ID?\"";
    if (command == "query") r.text = o.positional[0];
    if (o.has("address")) {
        long a = 0;
        if (!parseWhole(o.value("address"), 1, gpib::MaxPrimaryAddress, a))
            return "--address needs a GPIB primary address from " + gpib::instrumentAddressRange() +
                   ", not \"" + o.value("address") + "\"";
        r.address = static_cast<int16_t>(a);
    }
    r.expect = o.value("expect", DefaultExpect);
    if (o.has("format")) {
        r.format = capture::formatByWord(o.value("format"));
        if (!r.format)
            return "unknown format \"" + o.value("format") + "\"; the formats are " + allFormatWords();
    }
    r.inkSaver = o.has("ink-saver");
    if (o.has("count") && !parseWhole(o.value("count"), 1, MaxCount, r.count))
        return "--count needs a whole number from 1 to " + std::to_string(MaxCount) + ", not \"" +
               o.value("count") + "\"";
    if (o.has("interval") && !parseSeconds(o.value("interval"), r.interval))
        return "--interval needs a number of seconds of 0 or more, not \"" + o.value("interval") + "\"";
    r.onTrigger = o.has("on-trigger");
    if (o.has("trigger-timeout")) {
        double t = 0;
        if (!parseSeconds(o.value("trigger-timeout"), t) || t <= 0)
            return "--trigger-timeout needs a number of seconds above 0, not \"" +
                   o.value("trigger-timeout") + "\"";
        if (!r.onTrigger) return "--trigger-timeout needs --on-trigger";
        r.triggerTimeout = t;
    }
    r.output = o.value("output");
    if (o.has("output") && r.output.empty()) return "-o needs a file name, or - for stdout";
    // Pictures back to back on one stream could not be told apart again.
    if (r.output == "-" && r.count > 1) return "--count above 1 needs files: -o - writes a single picture";
    return {};
}

// One entry of the help: the left column padded to 28 characters, continuation lines indented.
void helpEntry(std::string& out, const std::string& left, const std::string& help) {
    constexpr std::size_t Column = 28;
    std::string line = "  " + left;
    line += std::string(line.size() < Column ? Column - line.size() : 1, ' ');
    std::size_t start = 0;
    for (;;) {
        const std::size_t nl = help.find('\n', start);
        out += (start == 0 ? line : std::string(Column, ' ')) + help.substr(start, nl - start) + '\n';
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
}

void optionEntries(std::string& out, unsigned takers) {
    for (const auto& d : OptionTable) {
        if (d.takers != takers || !d.listed) continue;
        std::string left =
            d.shortName ? std::string("-") + d.shortName + ", --" + d.name : std::string("--") + d.name;
        if (d.value) left += std::string(" ") + d.value;
        std::string help = d.help;
        if (const auto at = help.find("@FORMATS@"); at != std::string::npos)
            help.replace(at, 9, formatChoice());
        helpEntry(out, left, help);
    }
}

// "Exit statuses: 0 done, 1 usage, ..." from the table, wrapped before the 88th column.
void exitStatusEntries(std::string& out) {
    constexpr std::size_t Width = 88;
    std::string line = "Exit statuses:";
    const std::size_t n = std::size(ExitStatusMeanings);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string entry = std::to_string(ExitStatusMeanings[i].status) + " " +
                                  ExitStatusMeanings[i].meaning + (i + 1 == n ? "." : ",");
        if (line.size() + 1 + entry.size() > Width) {
            out += line + '\n';
            line = entry;
        } else {
            line += ' ' + entry;
        }
    }
    out += line + '\n';
}

} // namespace

std::string allFormatWords() {
    return formatWords(", ");
}

std::string helpText() {
    std::string out = "Usage: vellumix-cli [--bus URI] <command> [options]\n"
                      "\n"
                      "Finds a Tektronix TDS oscilloscope on the GPIB bus and fetches its screen hard copy.\n"
                      "\n"
                      "Commands:\n";
    for (const auto& c : Commands)
        helpEntry(out, c.synopsis, c.help);
    out += "\nOptions of identify and capture:\n";
    optionEntries(out, Identify | Capture);
    out += "Options of capture:\n";
    optionEntries(out, Capture);
    out += "\nGlobal options:\n";
    optionEntries(out, Global);
    out += "\nBuses:\n";
    for (const auto& scheme : gpib::busSchemes())
        for (const auto& form : scheme.forms)
            helpEntry(out, form.text, form.help);
    out += "\n";
    exitStatusEntries(out);
    return out;
}

Parsed parseCommandLine(const std::vector<std::string>& rest) {
    Parsed p;
    const auto usage = [&](const std::string& text) {
        p.action = Parsed::Action::Usage;
        p.error = text;
        return p;
    };
    std::size_t at = 0;
    for (; at < rest.size(); ++at) {
        const std::string& arg = rest[at];
        if (arg == "-h" || arg == "--help") {
            p.action = Parsed::Action::Help;
            return p;
        }
        if (arg == "--version") {
            p.action = Parsed::Action::Version;
            return p;
        }
        if (arg == "--") {
            ++at;
            break;
        }
        if (arg.empty() || arg[0] != '-') break;
        return usage("unknown option " + arg);
    }
    if (at >= rest.size()) return usage("a command is needed: scan, query, identify or capture");

    const std::string command = rest[at];
    bool known = false;
    for (const auto& c : Commands)
        known = known || command == c.name;
    if (!known) return usage("unknown command \"" + command + "\"");

    const ParsedOptions options = parseOptions(rest, at + 1, takerOf(command));
    if (!options.error.empty()) return usage(command + ": " + options.error);
    if (options.has("help")) {
        p.action = Parsed::Action::Help;
        return p;
    }
    if (const std::string problem = makeRequest(command, options, p.request); !problem.empty())
        return usage(problem);
    p.action = Parsed::Action::Run;
    return p;
}

} // namespace vellumix::cli

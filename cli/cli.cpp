#include "cli/cli.h"

#include "capture/formats.h"
#include "capture/hardcopy.h"
#include "capture/models.h"
#include "capture/pictureinfo.h"
#include "cli/exitstatus.h"
#include "cli/outputname.h"
#include "cli/progressbar.h"
#include "files/filerules.h"
#include "gpib/backends/busuri.h"
#include "gpib/link.h"
#include "gpib/backends/loader.h"
#include "gpib/status.h"
#include "buildversion.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>

namespace vellumix::cli {

namespace {

constexpr const char* Program = "vellumix-cli";
constexpr const char* DefaultExpect = "TDS";
constexpr int MaxCount = 100000;
constexpr double MaxInterval = 7 * 24 * 3600.0;

// --- Command-line options ---------------------------------------------------------------------

struct OptionDef {
    const char* name; // without the leading "--"
    char shortName;   // 0: none
    bool takesValue;
};

struct Options {
    std::map<std::string, std::string> values; // by long name; flags get ""
    std::vector<std::string> positional;
    std::string error;

    bool has(const std::string& name) const { return values.count(name) != 0; }
    std::string value(const std::string& name, const std::string& fallback = {}) const {
        const auto it = values.find(name);
        return it == values.end() ? fallback : it->second;
    }
};

Options parseOptions(const std::vector<std::string>& args, std::size_t from,
                     const std::vector<OptionDef>& defs) {
    Options o;
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
        std::string name;
        std::optional<std::string> inlineValue;
        const OptionDef* def = nullptr;
        if (arg.compare(0, 2, "--") == 0) {
            name = arg.substr(2);
            if (const auto eq = name.find('='); eq != std::string::npos) {
                inlineValue = name.substr(eq + 1);
                name.erase(eq);
            }
            for (const auto& s : defs)
                if (name == s.name) def = &s;
        } else if (arg.size() == 2) {
            for (const auto& s : defs)
                if (s.shortName == arg[1]) def = &s;
        }
        if (!def) {
            o.error = "unknown option " + arg;
            return o;
        }
        name = def->name;
        if (!def->takesValue) {
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

std::string offeredWords(const capture::Capabilities& caps) {
    std::string words;
    for (const auto& f : capture::Formats) {
        if (!caps.offersFormat(f.index)) continue;
        if (!words.empty()) words += ' ';
        words += f.formatWord;
    }
    return words;
}

std::string allFormatWords() {
    std::string words;
    for (const auto& f : capture::Formats)
        words += std::string(words.empty() ? "" : ", ") + f.formatWord;
    return words;
}

// What a command was asked to do, checked before the bus is opened so that a mistyped command
// line costs no bus time and says the same with or without a bus.
struct Request {
    std::string command;
    std::string text;               // query
    std::optional<int16_t> address; // query
    std::string expect = DefaultExpect;
    std::optional<capture::HardCopyFormat> format;
    bool inkSaver = false;
    std::string output; // empty: the default name
    long count = 1;
    double interval = 0;
};

// Empty when the options make a valid request, else what is wrong.
std::string makeRequest(const std::string& command, const Options& o, Request& r) {
    r.command = command;
    const std::size_t args = command == "query" ? 1 : 0;
    if (o.positional.size() > args) return command + " takes no argument \"" + o.positional[args] + "\"";
    if (o.positional.size() < args) return "query needs one message text, e.g. query \"ID?\"";
    if (command == "query") r.text = o.positional[0];
    if (o.has("address")) {
        long a = 0;
        if (!parseWhole(o.value("address"), 1, 30, a))
            return "--address needs a GPIB primary address from 1 to 30, not \"" + o.value("address") + "\"";
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
    r.output = o.value("output");
    if (o.has("output") && r.output.empty()) return "-o needs a file name, or - for stdout";
    // Pictures back to back on one stream could not be told apart again.
    if (r.output == "-" && r.count > 1) return "--count above 1 needs files: -o - writes a single picture";
    return {};
}

// --- A run over the bus -------------------------------------------------------------------------

struct Scope {
    int16_t device = 0;
    int16_t address = 0;
    std::string model;
    capture::Capabilities caps;
};

class Run {
public:
    Run(CliContext& context, gpib::GpibDriver& driver)
        : ctx_(context), desktop_(context.err, context.environment), link_(driver, desktop_, context.clock) {}

    TerminalDesktop& desktop() { return desktop_; }

    int scan();
    int query(const Request& r);
    int identify(const Request& r);
    int capture(const Request& r);

private:
    void fail(const std::string& text) { ctx_.err << Program << ": " << text << '\n' << std::flush; }
    void scanBus() {
        // As at the GUI's start-up: the timeout each handed-out descriptor gets, then a scan
        // whose every failure is fatal.
        link_.DeviceTimeout = gpib::T3s;
        link_.ScanBus(1);
    }
    int findScope(std::string expected, Scope& scope);
    std::string probeId(int16_t ud, int16_t address);
    std::tm localTime() const;
    int deliver(const std::string& picture, const std::string& target);

    CliContext& ctx_;
    TerminalDesktop desktop_;
    gpib::InstrumentLink link_;
};

int Run::scan() {
    scanBus();
    const int n = std::clamp<int>(link_.Listeners[0], 0, 14);
    // One descriptor re-addressed to each listener, with the search's short timeout: a silent
    // instrument costs about a second per call that waits for it.
    int16_t ud = 0;
    link_.ibdev(0, link_.Listeners[1], 0, gpib::T1s, 1, 0, ud);
    if ((link_.ibsta & gpib::ERR) || ud <= 0) {
        fail(std::string("no device could be opened on board 0: ") +
             gpib::InstrumentLink::errorText(link_.iberr));
        return ExitIo;
    }
    for (int slot = 1; slot <= n; ++slot) {
        const int16_t address = link_.Listeners[static_cast<std::size_t>(slot)];
        ctx_.out << address << '\t' << probeId(ud, address) << '\n';
    }
    ctx_.out.flush();
    return ctx_.out ? ExitOk : ExitWrite;
}

std::string Run::probeId(int16_t ud, int16_t address) {
    link_.ibpad(ud, address);
    link_.ibclr(ud);
    link_.ibwrt(ud, "ID?");
    if (link_.ibsta & gpib::ERR) return {};
    // An identification is short; a talker that never ends is cut off rather than read forever.
    constexpr int MaxProbeChunks = 16;
    std::string reply;
    std::string buffer(gpib::InstrumentLink::ProbeChunk, ' ');
    for (int i = 0; i < MaxProbeChunks; ++i) {
        link_.ibrd(ud, buffer);
        const auto got =
            static_cast<std::size_t>(std::clamp<int32_t>(link_.ibcntl, 0, gpib::InstrumentLink::ProbeChunk));
        reply.append(buffer, 0, got);
        if (link_.ibsta & (gpib::END | gpib::ERR | gpib::TIMO)) break;
    }
    if (link_.ibsta & gpib::ERR) link_.ibclr(ud);
    gpib::cleanReplyText(reply);
    return reply;
}

int Run::query(const Request& r) {
    scanBus();
    const int n = std::clamp<int>(link_.Listeners[0], 0, 14);
    int16_t address = link_.Listeners[1];
    if (r.address) {
        const int16_t wanted = *r.address;
        address = 0;
        std::string found;
        for (int slot = 1; slot <= n; ++slot) {
            const int16_t a = link_.Listeners[static_cast<std::size_t>(slot)];
            if (a == wanted) address = a;
            found += " " + std::to_string(a);
        }
        if (address == 0) {
            fail("no listener at GPIB address " + std::to_string(wanted) + "; listeners:" + found);
            return ExitNoInstrument;
        }
    }
    // Opened directly rather than through the ID search, so any instrument can be asked
    // anything, also one that does not answer ID?.
    int16_t ud = 0;
    link_.ibdev(0, address, 0, link_.DeviceTimeout, 1, 0, ud);
    if ((link_.ibsta & gpib::ERR) || ud <= 0) {
        fail("the instrument at GPIB address " + std::to_string(address) +
             " could not be opened: " + gpib::InstrumentLink::errorText(link_.iberr));
        return ExitIo;
    }
    const int boxes = desktop_.boxesShown();
    const std::string reply = link_.QueryDevice(ud, r.text);
    if (desktop_.boxesShown() != boxes) return ExitIo; // the read failed; the link has said so
    ctx_.out << reply << '\n' << std::flush;
    return ctx_.out ? ExitOk : ExitWrite;
}

int Run::findScope(std::string expected, Scope& scope) {
    scanBus();
    std::string query = "ID?";
    const std::string asked = expected;
    scope.device = link_.FindDeviceById(query, expected);
    // Only a quiet search ("!" before the expected text) comes back without a device.
    if (scope.device == 0) {
        fail("no instrument answered ID? with a reply matching \"" + asked + "\"");
        return ExitNoInstrument;
    }

    const int boxes = desktop_.boxesShown();
    const std::string reply = link_.QueryDevice(scope.device, "ID?");
    if (reply.empty() && desktop_.boxesShown() != boxes) return ExitIo;
    const capture::Identification id = capture::identifyReply(reply);
    scope.model = id.model;
    if (!id.capabilities) {
        desktop_.messageBox(capture::unsupportedModelText(id.model), MbCritical | MbOk, "TDS");
        return ExitUnsupportedModel;
    }
    scope.caps = *id.capabilities;
    for (int slot = 1; slot <= std::clamp<int>(link_.Listeners[0], 0, 14); ++slot) {
        if (link_.ListenerDevices[static_cast<std::size_t>(slot)] == scope.device) {
            scope.address = link_.Listeners[static_cast<std::size_t>(slot)];
            break;
        }
    }
    return ExitOk;
}

int Run::identify(const Request& r) {
    Scope scope;
    if (const int status = findScope(r.expect, scope); status != ExitOk) return status;
    ctx_.out << "Model: " << scope.model << '\n'
             << "Address: " << scope.address << '\n'
             << "Capabilities: " << scope.caps.mask << '\n'
             << "Formats: " << offeredWords(scope.caps) << '\n'
             << "Ink saver: " << (scope.caps.offersInkSaver() ? "yes" : "no") << '\n'
             << std::flush;
    return ctx_.out ? ExitOk : ExitWrite;
}

std::tm Run::localTime() const {
    if (ctx_.localTime) return ctx_.localTime();
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &now);
#else
    localtime_r(&now, &tm);
#endif
    return tm;
}

int Run::deliver(const std::string& picture, const std::string& target) {
    if (target == "-") {
        ctx_.out.write(picture.data(), static_cast<std::streamsize>(picture.size()));
        ctx_.out.flush();
        if (!ctx_.out) {
            fail("the hard copy could not be written to stdout");
            return ExitWrite;
        }
        return ExitOk;
    }
    std::string error;
    if (!writeFileReplacing(target, picture, error)) {
        fail("the hard copy could not be written to " + target + ": " + error +
             " (a previous file of that name, if any, is unchanged)");
        return ExitWrite;
    }
    ctx_.out << target << '\n' << std::flush;
    return ExitOk;
}

int Run::capture(const Request& r) {
    std::optional<capture::HardCopyFormat> format = r.format;
    const std::string& output = r.output;
    const long count = r.count;
    const bool inkSaver = r.inkSaver;

    Scope scope;
    if (const int status = findScope(r.expect, scope); status != ExitOk) return status;
    if (!format) format = capture::Formats[scope.caps.offersFormat(1) ? 1 : 0];
    if (!scope.caps.offersFormat(format->index)) {
        fail("the " + scope.model + " does not offer the format " + format->formatWord + "; it offers " +
             offeredWords(scope.caps));
        return ExitNotOffered;
    }
    if (inkSaver && !scope.caps.offersInkSaver()) {
        fail("the " + scope.model + " has no ink saver");
        return ExitNotOffered;
    }

    int result = ExitOk;
    for (long n = 1; n <= count; ++n) {
        if (n > 1) {
            ctx_.clock.sleepFor(
                std::chrono::duration_cast<gpib::Clock::duration>(std::chrono::duration<double>(r.interval)));
        }
        std::unique_ptr<ProgressBar> bar;
        if (ctx_.progress) bar = std::make_unique<ProgressBar>(ctx_.err, ctx_.clock);
        const auto progress = [&](std::size_t received, std::string_view head) {
            if (bar) bar->update(received, capture::expectedLength(head));
        };
        const int boxes = desktop_.boxesShown();
        const std::string picture =
            capture::requestHardCopy(link_, scope.device, format->formatWord, inkSaver, {}, progress);
        if (bar) bar->finish();
        if (picture.empty()) {
            if (desktop_.boxesShown() == boxes) fail("the scope sent an empty hard copy");
            return ExitIo;
        }

        std::string target = output;
        if (target.empty()) target = defaultPictureName(scope.model, localTime(), format->fileExt);
        if (count > 1) target = numberedPath(target, static_cast<int>(n));

        // Written even when short: a partial screen is still worth looking at.
        if (const int status = deliver(picture, target); status != ExitOk) return status;

        const std::string_view head(picture.data(), std::min(picture.size(), gpib::ProgressHeadBytes));
        const auto expected = capture::expectedLength(head);
        const bool bmpHeaderCut =
            capture::pictureKind(head) == capture::PictureKind::Bmp && picture.size() < 54;
        if (bmpHeaderCut || (expected && picture.size() < *expected)) {
            fail("the hard copy is incomplete: " + std::to_string(picture.size()) + " of " +
                 (expected ? std::to_string(*expected) : std::string("at least 54")) + " bytes came" +
                 (target == "-" ? std::string() : " (" + target + ")"));
            result = ExitIncompletePicture;
        }
    }
    return result;
}

} // namespace

std::string versionText() {
    return std::string(Program) + " " + std::to_string(build::versionMajor) + "." +
           std::to_string(build::versionMinor) + "." + std::to_string(build::versionPatch);
}

std::string helpText() {
    return std::string(
        "Usage: vellumix-cli [--bus URI] <command> [options]\n"
        "\n"
        "Finds a Tektronix TDS oscilloscope on the GPIB bus and fetches its screen hard copy.\n"
        "\n"
        "Commands:\n"
        "  scan                      list the listeners and their replies to ID?\n"
        "  query [--address N] TEXT  send TEXT, print the reply\n"
        "                            (default address: the first listener)\n"
        "  identify [--expect TEXT]  find the scope; print model, address, formats, ink saver\n"
        "  capture [options]         fetch the hard copy and save it\n"
        "\n"
        "Options of identify and capture:\n"
        "  --expect TEXT             text the reply to ID? must contain (default: TDS);\n"
        "                            \"!\" first: no error if none; \"!\" last: exact match\n"
        "Options of capture:\n"
        "  --format WORD             BMP, BMPCOLOR, TIFF, PNG, PCX or PCXCOLOR\n"
        "                            (default: BMPCOLOR when the model offers it, else BMP)\n"
        "  --ink-saver               ink saver on (default: off)\n"
        "  -o, --output PATH|-       file to write, - for stdout\n"
        "                            (default: MODEL_YYYY-MM-DD_HHMMSS.EXT in this folder)\n"
        "  --count N                 number of captures, files numbered _001, _002, ... (default: 1)\n"
        "  --interval SECONDS        wait between captures (default: 0)\n"
        "\n"
        "Global options:\n"
        "  --bus URI                 sim, sim:FILE.json, gpib or gpib:N\n"
        "                            (default: $VELLUMIX_BUS, else gpib)\n"
        "  -h, --help                show this help and exit\n"
        "  --version                 show the version and exit\n"
        "\n"
        "Exit statuses: 0 done, 1 usage, 2 bus or driver, 3 bus scan, 4 no matching instrument,\n"
        "5 unsupported model, 6 GPIB I/O error, 7 format or ink saver not offered,\n"
        "8 incomplete picture (file written), 9 file or stdout write error.\n");
}

int runCli(const std::vector<std::string>& args, CliContext& ctx) {
    const gpib::BusArgument bus = gpib::findBusArgument(args);
    const auto usage = [&](const std::string& text) {
        ctx.err << Program << ": " << text << "\nTry 'vellumix-cli --help'.\n" << std::flush;
        return ExitUsage;
    };
    if (!bus.error.empty()) return usage(bus.error);

    const std::vector<std::string>& rest = bus.remaining;
    std::size_t at = 0;
    for (; at < rest.size(); ++at) {
        const std::string& arg = rest[at];
        if (arg == "-h" || arg == "--help") {
            ctx.out << helpText() << std::flush;
            return ExitOk;
        }
        if (arg == "--version") {
            ctx.out << versionText() << '\n' << std::flush;
            return ExitOk;
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
    std::vector<OptionDef> defs{{"help", 'h', false}};
    if (command == "query") {
        defs.push_back({"address", 0, true});
    } else if (command == "identify") {
        defs.push_back({"expect", 0, true});
    } else if (command == "capture") {
        defs.insert(defs.end(), {{"expect", 0, true},
                                   {"format", 0, true},
                                   {"ink-saver", 0, false},
                                   {"output", 'o', true},
                                   {"count", 0, true},
                                   {"interval", 0, true}});
    } else if (command != "scan") {
        return usage("unknown command \"" + command + "\"");
    }
    const Options options = parseOptions(rest, at + 1, defs);
    if (!options.error.empty()) return usage(command + ": " + options.error);
    if (options.has("help")) {
        ctx.out << helpText() << std::flush;
        return ExitOk;
    }
    Request request;
    if (const std::string problem = makeRequest(command, options, request); !problem.empty())
        return usage(problem);

    std::unique_ptr<gpib::GpibDriver> opened;
    gpib::GpibDriver* driver = ctx.driver;
    if (!driver) {
        std::optional<std::string> environment;
        if (ctx.environment) {
            environment = ctx.environment(gpib::BusEnvironmentVariable);
        } else if (const char* v = std::getenv(gpib::BusEnvironmentVariable)) {
            environment = v;
        }
        const gpib::BusChoice choice = gpib::chooseBus(bus.value, environment);
        if (!choice.uri) {
            ctx.err << Program << ": " << choice.error << '\n' << std::flush;
            return ExitBus;
        }
        gpib::BusOpenResult result = gpib::openBus(*choice.uri, ctx.clock);
        if (!result.driver) {
            ctx.err << boxText(result.error, result.title) << '\n' << std::flush;
            return ExitBus;
        }
        opened = std::move(result.driver);
        driver = opened.get();
    }

    Run run(ctx, *driver);
    try {
        if (command == "scan") return run.scan();
        if (command == "query") return run.query(request);
        if (command == "identify") return run.identify(request);
        return run.capture(request);
    } catch (const ProgramEnd& end) {
        return exitStatusFor(end.reason);
    }
}

} // namespace vellumix::cli

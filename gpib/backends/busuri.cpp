#include "gpib/backends/busuri.h"

#include <cstdlib>

namespace vellumix::gpib {

namespace {

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

std::string forms() {
    return "use sim, sim:FILE.json, gpib, gpib:N with N from 0 to 15, prologix:/dev/DEVICE, "
           "prologix:HOST[:PORT], usbtmc, usbtmc:/dev/usbtmcN, usbtmc:sim or usbtmc:sim:FILE.json";
}

// "/dev/ttyUSB0" (a path: the USB serial flavour), "HOST", "HOST:PORT", "[v6]" or "[v6]:PORT".
bool parseAdapter(std::string_view argument, BusUri& uri) {
    if (argument.empty()) return false;
    if (argument.front() == '/' || argument.front() == '.') {
        uri.device = std::string(argument);
        return true;
    }
    std::string_view host = argument;
    std::string_view port;
    if (argument.front() == '[') {
        const size_t close = argument.find(']');
        if (close == std::string_view::npos || close == 1) return false;
        host = argument.substr(1, close - 1);
        const std::string_view rest = argument.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') return false;
        if (!rest.empty()) port = rest.substr(1);
        if (!rest.empty() && port.empty()) return false;
    } else {
        const size_t colon = argument.rfind(':');
        if (colon != std::string_view::npos) {
            if (argument.find(':') != colon) return false; // a bare IPv6 address needs brackets
            host = argument.substr(0, colon);
            port = argument.substr(colon + 1);
            if (port.empty()) return false;
        }
    }
    if (host.empty()) return false;
    for (char c : host)
        if (c == ' ' || c == '/' || c == '[' || c == ']') return false;
    uri.host = std::string(host);
    uri.port = 1234; // the GPIB-ETHERNET port
    if (!port.empty()) {
        if (port.size() > 5) return false;
        int value = 0;
        for (char c : port) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        if (value < 1 || value > 65535) return false;
        uri.port = value;
    }
    return true;
}

} // namespace

std::string BusUri::toString() const {
    if (kind == Kind::Sim) return scenarioPath.empty() ? std::string("sim") : "sim:" + scenarioPath;
    if (kind == Kind::Usbtmc) {
        if (simulated) return scenarioPath.empty() ? std::string("usbtmc:sim") : "usbtmc:sim:" + scenarioPath;
        return device.empty() ? std::string("usbtmc") : "usbtmc:" + device;
    }
    if (kind == Kind::Prologix) {
        if (!device.empty()) return "prologix:" + device;
        const bool v6 = host.find(':') != std::string::npos;
        return "prologix:" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    }
    return "gpib:" + std::to_string(board);
}

std::optional<BusUri> parseBusUri(std::string_view text, std::string& error) {
    const size_t colon = text.find(':');
    const std::string_view scheme = text.substr(0, colon);
    const bool hasArgument = colon != std::string_view::npos;
    const std::string_view argument = hasArgument ? text.substr(colon + 1) : std::string_view{};
    const std::string quoted = "\"" + std::string(text) + "\"";

    BusUri uri;
    if (equalsNoCase(scheme, "sim")) {
        uri.kind = BusUri::Kind::Sim;
        if (hasArgument && argument.empty()) {
            error = "The bus " + quoted + " names no scenario file: use sim, or sim:FILE.json.";
            return std::nullopt;
        }
        uri.scenarioPath = std::string(argument);
        return uri;
    }
    if (equalsNoCase(scheme, "gpib")) {
        uri.kind = BusUri::Kind::Gpib;
        if (!hasArgument) return uri;
        // Digits only: no sign, no spaces; two digits at most keeps the number small.
        bool digits = !argument.empty() && argument.size() <= 2;
        for (char c : argument)
            digits = digits && c >= '0' && c <= '9';
        const int board = digits ? std::stoi(std::string(argument)) : -1;
        if (board < 0 || board > MaxBoardIndex) {
            error =
                "The bus " + quoted + " has no valid board index: use gpib or gpib:N with N from 0 to 15.";
            return std::nullopt;
        }
        uri.board = board;
        return uri;
    }
    if (equalsNoCase(scheme, "usbtmc")) {
        uri.kind = BusUri::Kind::Usbtmc;
        if (!hasArgument) return uri;
        const size_t simColon = argument.find(':');
        if (equalsNoCase(argument.substr(0, simColon), "sim")) {
            uri.simulated = true;
            if (simColon != std::string_view::npos && simColon + 1 == argument.size()) {
                error =
                    "The bus " + quoted + " names no scenario file: use usbtmc:sim, or usbtmc:sim:FILE.json.";
                return std::nullopt;
            }
            if (simColon != std::string_view::npos)
                uri.scenarioPath = std::string(argument.substr(simColon + 1));
            return uri;
        }
        // A device node by its path; anything else is more likely a typo than a device.
        if (argument.empty() || argument.front() != '/') {
            error = "The bus " + quoted +
                    " names no device: use usbtmc for every USBTMC scope, or usbtmc:/dev/usbtmcN for one.";
            return std::nullopt;
        }
        uri.device = std::string(argument);
        return uri;
    }
    if (equalsNoCase(scheme, "prologix")) {
        uri.kind = BusUri::Kind::Prologix;
        if (!parseAdapter(argument, uri)) {
            error = "The bus " + quoted +
                    " names no GPIB controller: use prologix:/dev/DEVICE for a USB one, or prologix:HOST or "
                    "prologix:HOST:PORT (port 1 to 65535, 1234 when left out) for a network one.";
            return std::nullopt;
        }
        return uri;
    }
    error = "Unknown bus " + quoted + ": " + forms() + ".";
    return std::nullopt;
}

BusArgument findBusArgument(const std::vector<std::string>& args) {
    BusArgument result;
    const std::string prefix = std::string(BusOption) + "=";
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded) {
            result.remaining.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
            result.remaining.push_back(arg);
        } else if (arg == BusOption) {
            if (i + 1 >= args.size()) {
                result.error = std::string(BusOption) + " needs a bus: " + forms() + ".";
                result.value.reset();
                break;
            }
            result.value = args[++i];
        } else if (arg.compare(0, prefix.size(), prefix) == 0) {
            result.value = arg.substr(prefix.size());
        } else {
            result.remaining.push_back(arg);
        }
    }
    return result;
}

BusArgument findBusArgument(int argc, const char* const* argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc && argv && argv[i]; ++i)
        args.emplace_back(argv[i]);
    return findBusArgument(args);
}

BusChoice chooseBus(const std::optional<std::string>& commandLine,
                    const std::optional<std::string>& environment) {
    BusChoice choice;
    std::string text;
    if (commandLine) {
        choice.origin = BusOption;
        text = *commandLine;
    } else if (environment && !environment->empty()) {
        choice.origin = BusEnvironmentVariable;
        text = *environment;
    } else {
        choice.origin = "default";
        text = DefaultBusUri;
    }
    std::string why;
    choice.uri = parseBusUri(text, why);
    if (!choice.uri) {
        choice.error = why;
        if (choice.origin != "default") choice.error += " (The bus was given by " + choice.origin + ".)";
    }
    return choice;
}

BusChoice chooseBus(const std::vector<std::string>& args) {
    const BusArgument arg = findBusArgument(args);
    if (!arg.error.empty()) {
        BusChoice choice;
        choice.origin = BusOption;
        choice.error = arg.error;
        return choice;
    }
    std::optional<std::string> environment;
    if (const char* env = std::getenv(BusEnvironmentVariable)) environment = env;
    return chooseBus(arg.value, environment);
}

} // namespace vellumix::gpib

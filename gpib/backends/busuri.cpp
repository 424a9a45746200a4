#include "gpib/backends/busuri.h"

#include "gpib/backends/schemes.h"
#include "platform/environment.h"

namespace vellumix::gpib {

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
                result.error = std::string(BusOption) + " needs a bus: " + busForms() + ".";
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
    return chooseBus(arg.value, environmentVariable(BusEnvironmentVariable));
}

} // namespace vellumix::gpib

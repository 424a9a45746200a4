// The bus URI from --bus or VELLUMIX_BUS, and the --bus option among the other arguments.
#include "gpib/backends/busuri.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    if (const auto uri = vellumix::gpib::parseBusUri(text, error)) {
        // What a URI prints as must read back as the same URI.
        std::string again;
        const auto reparsed = vellumix::gpib::parseBusUri(uri->toString(), again);
        if (!reparsed || !(*reparsed == *uri)) __builtin_trap();
    }
    // The same bytes as a command line, one argument per NUL-separated piece.
    std::vector<std::string> args;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\0') {
            args.push_back(text.substr(from, i - from));
            from = i + 1;
        }
    }
    const auto found = vellumix::gpib::findBusArgument(args);
    if (found.remaining.size() > args.size()) __builtin_trap();
    (void)vellumix::gpib::chooseBus(found.value, text);
    return 0;
}

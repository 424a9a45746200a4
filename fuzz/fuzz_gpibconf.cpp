// linux-gpib's configuration file as read to tell the user which line to fix: the line and the text
// named must be found in the file, and the boards read must be ones the library can configure.
#include "gpib/backends/ni488/gpibconf.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

using vellumix::gpib::ni488::GpibConf;
using vellumix::gpib::ni488::parseGpibConf;

namespace {

// Whether `near` starts somewhere on 1-based line `line` of text.
bool foundOnLine(std::string_view text, const std::string& near, int line) {
    std::size_t begin = 0;
    for (int l = 1; l < line; ++l) {
        begin = text.find('\n', begin);
        if (begin == std::string_view::npos) return false;
        ++begin;
    }
    const std::size_t end = std::min(text.find('\n', begin), text.size());
    const std::size_t at = text.find(near, begin);
    return at != std::string_view::npos && at <= end;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const GpibConf conf = parseGpibConf(text);
    const int lines = 1 + static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    if (conf.valid) {
        if (conf.errorLine != 0 || !conf.errorExpected.empty()) __builtin_trap();
        std::set<int> boards;
        for (const auto& i : conf.interfaces) {
            if (i.minor < 0 || i.minor > 15 || !boards.insert(i.minor).second) __builtin_trap();
            if (conf.find(i.minor) != &i) __builtin_trap();
            if (text.find(i.boardType) == std::string_view::npos) __builtin_trap();
            // The lines the messages point at hold what they are said to hold.
            if (i.line < 1 || i.line > lines) __builtin_trap();
            if (!i.boardType.empty() && i.boardTypeLine == 0) __builtin_trap();
            if (i.boardTypeLine != 0 && !foundOnLine(text, "board_type", i.boardTypeLine)) __builtin_trap();
        }
    } else {
        if (conf.errorLine < 1 || conf.errorLine > lines || conf.errorExpected.empty()) __builtin_trap();
        if (conf.errorAtEnd ? !conf.errorNear.empty() || conf.errorLine != lines
                            : !foundOnLine(text, conf.errorNear, conf.errorLine))
            __builtin_trap();
        // Windows line ends are named only where reading stopped at a CR.
        if (conf.errorAtCarriageReturn && (conf.errorNear != "\r" || conf.errorAtEnd)) __builtin_trap();
        if (conf.duplicateOfLine < 0 || conf.duplicateOfLine > conf.errorLine) __builtin_trap();
    }
    return 0;
}

#include "capture/formats.h"

#include <algorithm>
#include <cctype>

namespace vellumix::capture {

std::optional<HardCopyFormat> formatByWord(std::string_view word) {
    for (const auto& f : Formats) {
        const std::string_view w = f.formatWord;
        if (w.size() == word.size() && std::equal(w.begin(), w.end(), word.begin(), [](char a, char b) {
                return std::toupper(static_cast<unsigned char>(a)) ==
                       std::toupper(static_cast<unsigned char>(b));
            }))
            return f;
    }
    return std::nullopt;
}

} // namespace vellumix::capture

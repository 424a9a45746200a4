#include "capture/formats.h"

#include "platform/text.h"

namespace vellumix::capture {

std::optional<HardCopyFormat> formatByWord(std::string_view word) {
    for (const auto& f : Formats) {
        if (equalsIgnoringCase(f.formatWord, word)) return f;
    }
    return std::nullopt;
}

int preselectedFormat(const FormatOffered& offered) {
    return offered(1) ? 1 : 0;
}

std::optional<int> formatForFileName(const std::string& name, const FormatOffered& offered) {
    const std::string tail = name.size() < 3 ? name : name.substr(name.size() - 3);
    if (tail.empty() || tail == "bmp") return preselectedFormat(offered);
    if (tail == "tif" && offered(2)) return 2;
    if (tail == "png" && offered(3)) return 3;
    if (tail == "pcx") return offered(5) ? 5 : 4;
    return std::nullopt;
}

} // namespace vellumix::capture

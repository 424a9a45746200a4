#include "capture/formats.h"

#include "platform/paths.h"
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

std::optional<int> formatForExtension(std::string_view path, const FormatOffered& offered) {
    const std::string_view name = path.substr(nameStart(path));
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    std::string ext = lowerAscii(name.substr(dot));
    if (ext == ".tiff") ext = ".tif"; // the longer spelling of the same files
    // The formats written with this extension: the colour one (listed last) where offered.
    std::optional<int> first, last;
    for (const auto& f : Formats) {
        if (ext != f.fileExt) continue;
        if (!first) first = f.index;
        last = f.index;
    }
    if (!first) return std::nullopt;
    return offered(*last) ? *last : *first;
}

picture::PictureKind kindOfExtension(std::string_view path) {
    const std::string_view name = path.substr(nameStart(path));
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos) return picture::PictureKind::Unknown;
    const std::string ext = lowerAscii(name.substr(dot));
    if (ext == ".tiff") return picture::PictureKind::Tiff;
    for (const auto& f : Formats)
        if (ext == f.fileExt) return f.kind;
    return picture::PictureKind::Unknown;
}

} // namespace vellumix::capture

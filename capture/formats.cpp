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

namespace {

// The formats written with an extension (".bmp"): the first listed, and the colour one listed last.
struct ExtensionFormats {
    std::optional<int> first, last;
};
ExtensionFormats formatsWritingExtension(std::string_view ext) {
    ExtensionFormats found;
    for (const auto& f : Formats) {
        if (ext != f.fileExt) continue;
        if (!found.first) found.first = f.index;
        found.last = f.index;
    }
    return found;
}

// The extension of the file name in path, lower case, ".tiff" read as the table's ".tif" (the longer
// spelling of the same files); empty when the name has none. dotFirst: a name that starts with its
// only dot (".png") has an extension.
std::string extensionOf(std::string_view path, bool dotFirst) {
    const std::string_view name = path.substr(nameStart(path));
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || (dot == 0 && !dotFirst)) return {};
    const std::string ext = lowerAscii(name.substr(dot));
    return ext == ".tiff" ? std::string(".tif") : ext;
}

} // namespace

std::optional<int> formatForFileName(const std::string& name, const FormatOffered& offered) {
    const std::string tail = name.size() < 3 ? name : name.substr(name.size() - 3);
    const ExtensionFormats w = formatsWritingExtension(tail.empty() ? Formats.front().fileExt : "." + tail);
    if (!w.first) return std::nullopt;
    if (offered(*w.last)) return *w.last;
    // A format without a colour sibling is no choice where the model lacks it; BMP and PCX fall back
    // to their mono format.
    if (*w.first == *w.last) return std::nullopt;
    return *w.first;
}

std::optional<int> formatForExtension(std::string_view path, const FormatOffered& offered) {
    // The colour format (listed last) where offered.
    const ExtensionFormats w = formatsWritingExtension(extensionOf(path, false));
    if (!w.first) return std::nullopt;
    return offered(*w.last) ? *w.last : *w.first;
}

picture::PictureKind kindOfExtension(std::string_view path) {
    const std::string ext = extensionOf(path, true);
    for (const auto& f : Formats)
        if (!ext.empty() && ext == f.fileExt) return f.kind;
    return picture::PictureKind::Unknown;
}

} // namespace vellumix::capture

// The published versions file: items, this program's entry, the version text and its value.
#include "about/updatecheck.h"
#include "about/version.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vellumix::UpdateItemReader reader(text);
    std::size_t consumed = 0;
    while (const auto item = reader.next()) {
        consumed += item->size();
        if (consumed > size) __builtin_trap(); // an item cannot hold more than the text
    }
    if (const auto entry = vellumix::findEntry(text, vellumix::AppTitle)) {
        const std::string version = vellumix::entryVersionText(*entry);
        (void)vellumix::versionValue(version);
        const std::string shown = vellumix::shownVersionText(version);
        if (shown.size() > vellumix::UpdateVersionShownChars + 3) __builtin_trap();
        for (const char c : shown)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) __builtin_trap();
    }
    (void)vellumix::versionValue(text);
    return 0;
}

#pragma once
// Reading a whole file without Qt, bounded, with the system's reason when it fails. Paths are UTF-8 on
// every system (wide paths on Windows).
#include <cstdint>
#include <filesystem>
#include <string>

namespace vellumix {

// Reads the file at path into out, at most limit bytes: a path may name a device that never ends. On
// failure problem holds the system's reason ("No such file or directory") or "larger than N MiB".
bool readFileBounded(const std::string& path, std::uint64_t limit, std::string& out, std::string& problem);

// Paths to and from UTF-8 text, the same on every system.
inline std::filesystem::path pathFromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}
inline std::string utf8FromPath(const std::filesystem::path& path) {
    const std::u8string u = path.u8string();
    return std::string(u.begin(), u.end());
}

} // namespace vellumix

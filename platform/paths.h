#pragma once
// Paths as the platform writes them: the separator put between a folder and a name, and where a
// file's name starts. On Windows a name also ends a drive ("C:name") and "/" separates as well as "\".
#include <string>
#include <string_view>

namespace vellumix {

#ifdef _WIN32
inline constexpr char NativeSeparator = '\\';
inline constexpr std::string_view NameDelimiters = "/\\:";
#else
inline constexpr char NativeSeparator = '/';
inline constexpr std::string_view NameDelimiters = "/";
#endif

// folder + the native separator + name.
inline std::string joinPath(const std::string& folder, const std::string& name) {
    return folder + NativeSeparator + name;
}

// Where the file name in path starts (after its last folder separator or drive), 0 when it has none.
inline std::size_t nameStart(std::string_view path) {
    const std::size_t cut = path.find_last_of(NameDelimiters);
    return cut == std::string_view::npos ? 0 : cut + 1;
}

} // namespace vellumix

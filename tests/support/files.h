#pragma once
// Whole-file reads and writes for tests, binary, byte for byte.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vellumix::test {

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// The genuine scope hard copies live beside the project, never in it.
inline std::filesystem::path realHardCopiesDir() {
    return std::filesystem::path(VELLUMIX_SHARED_DIR) / "real-hardcopies";
}

inline bool haveRealHardCopies() {
    return std::filesystem::is_directory(realHardCopiesDir());
}

// One genuine hard copy, by its name in that folder.
inline std::string realHardCopy(const std::string& name) {
    return readFile(realHardCopiesDir() / name);
}

// Every genuine hard copy there, by name, sorted.
inline std::vector<std::string> realHardCopyNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(realHardCopiesDir(), ec))
        if (e.is_regular_file() && e.path().extension() != ".md")
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace vellumix::test

// Skips the calling test when the genuine hard copies are not beside the project.
#define VELLUMIX_NEED_REAL_HARDCOPIES()                                                                      \
    if (!::vellumix::test::haveRealHardCopies())                                                             \
    GTEST_SKIP() << "the genuine scope hard copies are not at " << ::vellumix::test::realHardCopiesDir()

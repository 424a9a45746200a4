#pragma once
// Whole-file reads and writes for tests, binary, byte for byte.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace vellumix::test {

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// One of the real scope files kept in tests/data/real.
inline std::string realHardCopy(const std::string& name) {
    return readFile(std::filesystem::path(VELLUMIX_SOURCE_DIR) / "tests" / "data" / "real" / name);
}

} // namespace vellumix::test

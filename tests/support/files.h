#pragma once
// Whole-file reads and writes for tests, binary, byte for byte.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vellumix::test {

// A fresh empty folder under the system's temporary folder, removed with everything in it at the end.
class ScratchDir {
public:
    ScratchDir() {
        static std::atomic<unsigned> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            std::filesystem::path p =
                std::filesystem::temp_directory_path() /
                ("vellumix-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
            std::error_code ec;
            if (std::filesystem::create_directory(p, ec)) path_ = p.string();
        }
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool isValid() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string filePath(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

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

#pragma once
// One scratch folder for a test: a fresh, empty folder of its own (parallel runs never share one),
// removed with everything in it when the test is done. Entered, it is also the working folder
// while it lives, so that default file names land in it.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <algorithm>

namespace vellumix::test {

class ScratchDir {
public:
    enum class Enter { No, Yes };

    explicit ScratchDir(const std::string& tag = "test", Enter enter = Enter::No) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / ("vellumix-" + tag + "-XXXXXX")).string();
        if (!::mkdtemp(pattern.data()))
            throw std::filesystem::filesystem_error("mkdtemp",
                                                    std::error_code(errno, std::generic_category()));
        path_ = pattern;
        if (enter == Enter::Yes) {
            previous_ = std::filesystem::current_path();
            std::filesystem::current_path(path_);
        }
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!previous_.empty()) std::filesystem::current_path(previous_, ec);
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    // Writes a file in the folder; its path.
    std::string file(const std::string& name, const std::string& bytes) const {
        std::ofstream(path_ / name, std::ios::binary) << bytes;
        return (path_ / name).string();
    }
    // The names in the folder, sorted.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::filesystem::path path_;
    std::filesystem::path previous_;
};

} // namespace vellumix::test

#pragma once
// One scratch folder for a test: a fresh, empty folder of its own (parallel runs never share one),
// removed with everything in it when the test is done. Entered, it is also the working folder
// while it lives, so that default file names land in it.
#include <atomic>
#include <chrono>
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
        // create_directory says whether it made the folder, so a name another run took is skipped
        // (the same guarantee as mkdtemp, on every system).
        static std::atomic<unsigned> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int attempt = 0; path_.empty(); ++attempt) {
            const std::filesystem::path p =
                base / ("vellumix-" + tag + "-" + std::to_string(stamp) + "-" + std::to_string(counter++));
            if (std::filesystem::create_directory(p)) path_ = p;
            if (attempt > 1000)
                throw std::filesystem::filesystem_error("no fresh scratch folder", base,
                                                        std::make_error_code(std::errc::file_exists));
        }
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

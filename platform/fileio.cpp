#include "platform/fileio.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#ifdef _WIN32
#include "platform/winsystem.h"
#endif

namespace vellumix {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

std::FILE* openForReading(const std::string& path) {
#ifdef _WIN32
    return _wfopen(widen(path).c_str(), L"rb");
#else
    return std::fopen(path.c_str(), "rb");
#endif
}

std::string tooLarge(std::uint64_t limit) {
    return "larger than " + std::to_string(limit >> 20) + " MiB";
}

} // namespace

bool readFileBounded(const std::string& path, std::uint64_t limit, std::string& out, std::string& problem) {
    errno = 0;
    std::unique_ptr<std::FILE, FileCloser> file(openForReading(path));
    if (!file) {
        problem = std::strerror(errno ? errno : ENOENT);
        return false;
    }
    // A regular file says its size at once; a device or pipe is read against the limit as it comes.
    if (std::fseek(file.get(), 0, SEEK_END) == 0) {
        const long size = std::ftell(file.get());
        if (size > 0 && static_cast<std::uint64_t>(size) > limit) {
            problem = tooLarge(limit);
            return false;
        }
        std::rewind(file.get());
    }
    out.clear();
    std::string block(64 * 1024, '\0');
    for (;;) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), file.get());
        if (got > 0) {
            if (out.size() + got > limit) {
                problem = tooLarge(limit);
                return false;
            }
            out.append(block.data(), got);
        }
        if (got < block.size()) {
            if (std::ferror(file.get())) {
                problem = std::strerror(errno ? errno : EIO);
                return false;
            }
            return true;
        }
    }
}

} // namespace vellumix

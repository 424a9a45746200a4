#include "cli/outputname.h"

#include "platform/fileio.h"
#include "platform/paths.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif

namespace vellumix::cli {

std::string fileNamePart(const std::string& model) {
    std::string part;
    for (const char c : model) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isspace(u)) continue;
        part += (std::isalnum(u) && u < 0x80) || c == '-' || c == '_' || c == '.' ? c : '_';
    }
    // A name of dots alone would mean the folder itself or its parent.
    if (part.find_first_not_of('.') == std::string::npos) part = "TDS" + part;
    return part;
}

std::string defaultPictureName(const std::string& model, const std::tm& time, const std::string& ext) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "_%04d-%02d-%02d_%02d%02d%02d", time.tm_year + 1900, time.tm_mon + 1,
                  time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
    return fileNamePart(model) + stamp + ext;
}

std::string numberedPath(const std::string& path, int number) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%03d", number);
    const std::size_t start = nameStart(path);
    const std::size_t dot = path.rfind('.');
    // A dot that starts the name (".bmp") or sits in a folder name is no extension.
    if (dot == std::string::npos || dot <= start) return path + suffix;
    return path.substr(0, dot) + suffix + path.substr(dot);
}

bool hasCounterPattern(const std::string& name) {
    return name.find("{n}") != std::string::npos;
}

bool hasNamePattern(const std::string& name) {
    return hasCounterPattern(name) || name.find("{time}") != std::string::npos;
}

std::string expandPattern(const std::string& pattern, int number, const std::tm& time) {
    char counter[16];
    std::snprintf(counter, sizeof counter, "%03d", number);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d-%02d-%02d", time.tm_year + 1900, time.tm_mon + 1,
                  time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
    std::string out;
    for (std::size_t i = 0; i < pattern.size();) {
        if (pattern.compare(i, 3, "{n}") == 0) {
            out += counter;
            i += 3;
        } else if (pattern.compare(i, 6, "{time}") == 0) {
            out += stamp;
            i += 6;
        } else {
            out += pattern[i++];
        }
    }
    return out;
}

bool writeNewFile(const std::string& path, const std::string& bytes, bool& taken, std::string& error) {
    taken = false;
    // "x": created here or not at all, so a file that appears between a check and the write is
    // still never replaced.
#ifdef _WIN32
    // The C library there knows no "x" mode; the name is UTF-8 like every path of the program.
    const int fd =
        _wopen(pathFromUtf8(path).c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    std::FILE* f = fd < 0 ? nullptr : _fdopen(fd, "wb");
#else
    std::FILE* f = std::fopen(path.c_str(), "wbx");
#endif
    if (!f) {
        taken = errno == EEXIST;
        error = std::strerror(errno);
        return false;
    }
    errno = 0;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const int writeErrno = errno;
    const bool closed = std::fclose(f) == 0;
    if (written && closed) return true;
    error = std::strerror(!written && writeErrno != 0 ? writeErrno : errno != 0 ? errno : EIO);
    std::error_code ec;
    std::filesystem::remove(pathFromUtf8(path), ec);
    return false;
}

} // namespace vellumix::cli

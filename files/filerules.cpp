#include "files/filerules.h"

#include "platform/fileio.h"
#include "platform/paths.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "platform/winsystem.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vellumix {

namespace {

// An empty variable counts as unset: an empty base would put our folders at the file system root.
std::string nonEmptyEnv(Desktop& desktop, const char* name) {
    std::optional<std::string> value = desktop.environment(name);
    return value ? *value : std::string();
}

// Hard copies are a few hundred KiB, 16 MiB at the very most; anything far larger is not one.
constexpr std::uint64_t MaxCopyBytes = std::uint64_t(1) << 30;

std::string temporaryNameFor(const std::string& path) {
    // Unique within the process by the counter, across processes by the pid; O_EXCL settles the rest.
    static std::atomic<unsigned> counter{0};
#ifdef _WIN32
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    return path + ".vx" + std::to_string(pid) + "-" + std::to_string(counter++);
}

#ifdef _WIN32
int openExclusive(const std::string& name) {
    return _wopen(widen(name).c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
}
int writeSome(int fd, const char* at, std::size_t n) {
    return _write(fd, at, static_cast<unsigned>(std::min<std::size_t>(n, 1u << 30)));
}
bool flushToDisk(int fd) {
    return _commit(fd) == 0;
}
int closeFile(int fd) {
    return _close(fd);
}
void removeFile(const std::string& name) {
    _wunlink(widen(name).c_str());
}
// Replaces target in one step; an existing file is never half written.
bool replaceWith(const std::string& temporary, const std::string& target, std::string& error) {
    if (MoveFileExW(widen(temporary).c_str(), widen(target).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    error = windowsErrorText(GetLastError());
    if (error.empty()) error = "Windows error " + std::to_string(GetLastError());
    return false;
}
#else
int openExclusive(const std::string& name) {
    // 0666 less the umask, as any new file of the user's; an existing file's mode is copied below.
    return ::open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
}
ssize_t writeSome(int fd, const char* at, std::size_t n) {
    return ::write(fd, at, n);
}
bool flushToDisk(int fd) {
    return ::fsync(fd) == 0;
}
int closeFile(int fd) {
    return ::close(fd);
}
void removeFile(const std::string& name) {
    ::unlink(name.c_str());
}
bool replaceWith(const std::string& temporary, const std::string& target, std::string& error) {
    if (::rename(temporary.c_str(), target.c_str()) == 0) return true;
    error = std::strerror(errno);
    return false;
}
#endif

// A link is followed: the file it names is replaced, and the link stays.
std::string resolvedTarget(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path p = pathFromUtf8(path);
    if (!std::filesystem::is_symlink(p, ec)) return path;
    const std::filesystem::path target = std::filesystem::weakly_canonical(p, ec);
    return ec ? path : utf8FromPath(target);
}

} // namespace

std::string appDataBase(Desktop& desktop) {
    std::string appData = nonEmptyEnv(desktop, "AppData");
    if (!appData.empty()) return appData;
#ifdef _WIN32
    // Where Windows keeps the roaming application data when the variable is missing.
    std::string profile = nonEmptyEnv(desktop, "USERPROFILE");
    return profile.empty() ? profile : joinPath(joinPath(profile, "AppData"), "Roaming");
#endif
    // The XDG rules ignore a relative XDG_DATA_HOME.
    std::string xdg = nonEmptyEnv(desktop, "XDG_DATA_HOME");
    if (!xdg.empty() && xdg.front() == '/') return xdg;
    std::string home = nonEmptyEnv(desktop, "HOME");
    if (home.empty()) return {};
    return home + "/.local/share";
}

std::string dataFolder(Desktop& desktop) {
    std::string base = appDataBase(desktop);
    return base.empty() ? base : joinPath(base, "Vellumix");
}

std::string updateTempFolder(Desktop& desktop) {
    std::string base = appDataBase(desktop);
    return base.empty() ? base : joinPath(base, "vbTemp");
}

std::string defaultSavePath(Desktop& desktop) {
    std::string profile = nonEmptyEnv(desktop, "USERPROFILE");
    if (profile.empty()) profile = nonEmptyEnv(desktop, "HOME");
    std::error_code ec;
    if (std::filesystem::exists(joinPath(profile, "Documents"), ec)) return joinPath(profile, "Documents");
    return joinPath(profile, "My Documents");
}

std::string folderOfChosenFile(const std::string& fileName, const std::string& fileTitle) {
    const std::size_t cut = fileTitle.size() + 1;
    if (cut > fileName.size()) return {};
    return fileName.substr(0, fileName.size() - cut);
}

bool isPlainDataFileName(const std::string& name) {
    // Without separators a name cannot climb out of the folder, so inner dots are harmless: the
    // capture files themselves are called "Vellumix_Temp..bmp".
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char c : name) {
        // ':' also covers drive letters ("C:x") and Windows alternate data streams.
        if (c == '/' || c == '\\' || c == ':' || c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

bool copyReplacing(const std::string& src, const std::string& dst, std::string& error) {
    // Read whole, then written the safe way: copying a file onto itself works too.
    std::string bytes;
    if (!readFileBounded(src, MaxCopyBytes, bytes, error)) return false;
    return writeFileReplacing(dst, bytes, error);
}

bool writeFileReplacing(const std::string& path, const std::string& bytes, std::string& error) {
    const std::string target = resolvedTarget(path);
    const std::string temporary = temporaryNameFor(target);
    const int fd = openExclusive(temporary);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    auto fail = [&](int errnum) {
        error = std::strerror(errnum);
        closeFile(fd);
        removeFile(temporary);
        return false;
    };
#ifndef _WIN32
    // The replaced file keeps its permissions.
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ::fchmod(fd, old.st_mode & 07777);
#endif
    // Unbuffered writes, so every failure shows with its cause: a short write carries no error of its
    // own, and the next one on a full disk fails with the system's reason ("No space left on device").
    const char* at = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const auto written = writeSome(fd, at, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return fail(written < 0 ? errno : ENOSPC);
        at += written;
        left -= static_cast<std::size_t>(written);
    }
    // On disk before it takes the name: after a power cut the name holds the old file or the new one.
    if (!flushToDisk(fd)) return fail(errno);
    if (closeFile(fd) != 0) {
        error = std::strerror(errno);
        removeFile(temporary);
        return false;
    }
    if (!replaceWith(temporary, target, error)) {
        removeFile(temporary);
        return false;
    }
    return true;
}

} // namespace vellumix

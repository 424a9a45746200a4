#include "files/filerules.h"

#include "platform/paths.h"

#include <QFile>
#include <QSaveFile>

#include <filesystem>

namespace vellumix {

namespace {

// An empty variable counts as unset: an empty base would put our folders at the file system root.
std::string nonEmptyEnv(Desktop& desktop, const char* name) {
    std::optional<std::string> value = desktop.environment(name);
    return value ? *value : std::string();
}

QString toQt(const std::string& s) {
    return QString::fromStdString(s);
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
    // Hard copies are small (a few hundred KiB, 16 MiB at the very most): read whole, write safely.
    QFile in(toQt(src));
    if (!in.open(QIODevice::ReadOnly)) {
        error = in.errorString().toStdString();
        return false;
    }
    const QByteArray bytes = in.readAll();
    if (in.error() != QFileDevice::NoError) {
        error = in.errorString().toStdString();
        return false;
    }
    return writeFileReplacing(dst, bytes.toStdString(), error);
}

bool writeFileReplacing(const std::string& path, const std::string& bytes, std::string& error) {
    // Unbuffered, so that every failure shows in write() with its cause: a buffered file writes its
    // tail only at commit, where a full disk cut the file short and still committed it.
    QSaveFile out(toQt(path));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        error = out.errorString().toStdString();
        return false;
    }
    // A short write carries no error of its own; the next write on the full disk fails with the
    // system's reason ("No space left on device").
    const char* at = bytes.data();
    qint64 left = static_cast<qint64>(bytes.size());
    while (left > 0) {
        const qint64 written = out.write(at, left);
        if (written <= 0) {
            error = out.errorString().toStdString();
            out.cancelWriting();
            return false;
        }
        at += written;
        left -= written;
    }
    if (!out.commit()) {
        error = out.errorString().toStdString();
        return false;
    }
    return true;
}

} // namespace vellumix

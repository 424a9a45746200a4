#pragma once
// Paths between the core and Qt. The core keeps them as UTF-8 on Windows (its own convention there,
// see platform/fileio.h) and as the file system's own bytes elsewhere, which QFile's name
// conversion round-trips even where they are not valid UTF-8. On Windows that conversion would use
// the ANSI code page instead and garble every name outside it.
#include <QByteArray>
#include <QFile>
#include <QString>

#include <string>

namespace vellumix {

inline QString pathText(const std::string& path) {
#ifdef Q_OS_WIN
    return QString::fromStdString(path);
#else
    return QFile::decodeName(QByteArray::fromStdString(path));
#endif
}

inline std::string pathBytes(const QString& path) {
#ifdef Q_OS_WIN
    return path.toStdString();
#else
    return QFile::encodeName(path).toStdString();
#endif
}

} // namespace vellumix

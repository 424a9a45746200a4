#include "cli/outputname.h"

#include <cctype>
#include <cstdio>

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
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = path.rfind('.');
    // A dot that starts the name (".bmp") or sits in a folder name is no extension.
    if (dot == std::string::npos || dot <= nameStart) return path + suffix;
    return path.substr(0, dot) + suffix + path.substr(dot);
}

} // namespace vellumix::cli

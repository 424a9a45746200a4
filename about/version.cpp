#include "about/version.h"

#include "buildversion.h"

namespace vellumix {

std::string versionText(int major, int minor, int revision) {
    std::string text = std::to_string(major) + "." + std::to_string(minor) + std::to_string(revision);
    if (text.back() == '0') text.pop_back();
    return text;
}

std::string buildVersionText() {
    return versionText(build::versionMajor, build::versionMinor, build::versionPatch);
}

std::string titleText(const std::string& version, const std::string& date) {
    return std::string(AppTitle) + ", v" + version + " - " + date + " / QZ";
}

} // namespace vellumix

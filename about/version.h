#pragma once
// The program's version text, date, title and the fixed texts of the About window.
#include <string>

namespace vellumix {

inline constexpr const char* AppTitle = "Vellumix";
inline constexpr const char* AppDate = "Dec 2024";

// The project's own domain, the same host as the update data file; a role address rather than a
// person's so it survives a change of maintainer.
inline constexpr const char* MaintainerEmail = "support@vellumix.org";
inline constexpr const char* EmailSubject = "Vellumix";
// Short enough for one line of the About window.
inline constexpr const char* AuthorshipLine = "\u00a9 2019-2024 Quirin Zeller, Germany";

// major "." minor revision, then one trailing "0" dropped: 1.2.5 -> "1.25", 1.2.0 -> "1.2",
// 2.0.0 -> "2.0" (only one zero goes), 1.10.0 -> "1.10".
std::string versionText(int major, int minor, int revision);
// versionText of this build's numbers.
std::string buildVersionText();
// "Vellumix, v1.25 - Dec 2024 / QZ": the caption at load and the splash's label.
std::string titleText(const std::string& version, const std::string& date);

} // namespace vellumix

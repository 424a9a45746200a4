#pragma once
// The update check: download the published versions file, find this program's entry, compare.
#include "platform/desktop.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vellumix {

// The maintainer's web host; VELLUMIX_UPDATE_URL replaces it (the tests point it at 127.0.0.1).
inline constexpr const char* DefaultUpdateBaseUrl = "http://www.vellumix.org";
inline constexpr const char* UpdateFilePath = "/dl/swv.txt";
inline constexpr const char* HomepagePath = "/dl/Vellumix.htm";
inline constexpr const char* UpdateLocalName = "/versions.txt";
// The versions file is a few lines; only this much of the local copy is read, so a huge or hostile
// download cannot exhaust memory. Items beyond the bound are not seen (an item cut by it is read cut).
inline constexpr std::size_t UpdateFileReadLimit = 64 * 1024;

// Reads the items of the versions file one by one. An item ends at a comma or a line end (LF, CR or
// CRLF); blanks and tabs in front of it are skipped. An item starting with a double quote runs to the
// closing quote (commas and line ends inside kept, quotes dropped); what follows the closing quote up
// to the item's end is dropped.
class UpdateItemReader {
public:
    explicit UpdateItemReader(std::string_view text) : text_(text) {}
    std::optional<std::string> next();

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

// The first item that contains title, compared without regard to letter case.
std::optional<std::string> findEntry(std::string_view text, std::string_view title);
// Everything after the entry's first colon; the whole entry when it has none.
std::string entryVersionText(const std::string& entry);
// The decimal number the text begins with: blanks, tabs and line feeds are skipped wherever they stand,
// an optional sign, digits, "." as the decimal point whatever the locale. Reading stops at the first
// character that cannot continue the number (exponents are not read: versions are plain decimals).
// 0 when the text does not begin with a number.
double versionValue(std::string_view text);

std::string updateBaseUrl(Desktop& desktop);

// The entry's version text as box D shows it: its first line only, without control characters, and
// cut to UpdateVersionShownChars (ending "..." when cut). The file comes from the network: a quoted
// entry could otherwise hold thousands of lines and make a box taller than any screen.
inline constexpr std::size_t UpdateVersionShownChars = 40;
std::string shownVersionText(std::string_view versionText);

enum class UpdateOutcome {
    DownloadFailed, // box A; also when the local folder cannot be made
    CopyMissing,    // box B
    NoEntry,        // box C
    Newer,          // box D
    Latest,         // box E
};

struct UpdateMessage {
    std::string text;
    std::string title;
    int flags = MbOk;
};

UpdateMessage updateMessage(UpdateOutcome outcome, const std::string& appVersion,
                            const std::string& entryVersion);

// The click on Command_CheckUpdate: one whole check, its box, and the homepage when the user wants it.
UpdateOutcome CheckForUpdate(Desktop& desktop, const std::string& appVersion);

} // namespace vellumix

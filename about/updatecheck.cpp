#include "about/updatecheck.h"

#include "about/version.h"
#include "files/filerules.h"
#include "platform/text.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <limits>

namespace vellumix {

namespace {

bool containsNoCase(std::string_view haystack, std::string_view needle) {
    if (needle.empty()) return true;
    if (needle.size() > haystack.size()) return false;
    for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        std::size_t j = 0;
        while (j < needle.size() && lowerAscii(haystack[i + j]) == lowerAscii(needle[j]))
            ++j;
        if (j == needle.size()) return true;
    }
    return false;
}

bool isLineEnd(char c) {
    return c == '\n' || c == '\r';
}

// Reads the local copy up to the bound; the stream is closed when this returns.
std::optional<std::string> readBounded(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string data(UpdateFileReadLimit, '\0');
    in.read(data.data(), static_cast<std::streamsize>(data.size()));
    data.resize(static_cast<std::size_t>(in.gcount()));
    return data;
}

} // namespace

std::optional<std::string> UpdateItemReader::next() {
    const std::size_t n = text_.size();
    while (pos_ < n && (text_[pos_] == ' ' || text_[pos_] == '\t'))
        ++pos_;
    if (pos_ >= n) return std::nullopt;

    std::string item;
    if (text_[pos_] == '"') {
        const std::size_t close = text_.find('"', pos_ + 1);
        const std::size_t end = close == std::string_view::npos ? n : close;
        item.assign(text_.substr(pos_ + 1, end - pos_ - 1));
        pos_ = end == n ? n : end + 1;
        while (pos_ < n && text_[pos_] != ',' && !isLineEnd(text_[pos_]))
            ++pos_;
    } else {
        const std::size_t start = pos_;
        while (pos_ < n && text_[pos_] != ',' && !isLineEnd(text_[pos_]))
            ++pos_;
        item.assign(text_.substr(start, pos_ - start));
    }
    // Consume the item's end: a comma, or a line end with CRLF taken as one.
    if (pos_ < n) {
        if (text_[pos_] == '\r' && pos_ + 1 < n && text_[pos_ + 1] == '\n') ++pos_;
        ++pos_;
    }
    return item;
}

std::optional<std::string> findEntry(std::string_view text, std::string_view title) {
    UpdateItemReader reader(text);
    while (std::optional<std::string> item = reader.next()) {
        if (containsNoCase(*item, title)) return item;
    }
    return std::nullopt;
}

std::string entryVersionText(const std::string& entry) {
    const std::size_t colon = entry.find(':');
    return colon == std::string::npos ? entry : entry.substr(colon + 1);
}

double versionValue(std::string_view text) {
    auto skipped = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && skipped(text[i]))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Collect the digits ourselves and let from_chars convert them: it ignores the locale.
    std::string number;
    bool point = false;
    bool digits = false;
    for (; i < n; ++i) {
        const char c = text[i];
        if (skipped(c)) continue;
        if (c >= '0' && c <= '9') {
            number += c;
            digits = true;
        } else if (c == '.' && !point) {
            number += c;
            point = true;
        } else {
            break;
        }
    }
    if (!digits) return 0.0;
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) value = std::numeric_limits<double>::infinity();
    return negative ? -value : value;
}

std::string updateBaseUrl(Desktop& desktop) {
    std::optional<std::string> base = desktop.environment("VELLUMIX_UPDATE_URL");
    std::string url = (base && !base->empty()) ? *base : std::string(DefaultUpdateBaseUrl);
    while (!url.empty() && url.back() == '/')
        url.pop_back();
    return url;
}

std::string shownVersionText(std::string_view versionText) {
    std::string shown;
    for (const char c : versionText) {
        if (isLineEnd(c)) break;
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) continue;
        if (shown.size() == UpdateVersionShownChars) return shown + "...";
        shown += c;
    }
    return shown;
}

UpdateMessage updateMessage(UpdateOutcome outcome, const std::string& appVersion,
                            const std::string& entryVersion) {
    static const std::string homepageInfo = "\n\nGoto the Program Homepage for info ?";
    UpdateMessage m;
    m.title = "Current version: " + appVersion;
    m.flags = MbYesNo;
    switch (outcome) {
    case UpdateOutcome::DownloadFailed:
        m.text = "Web Datafile not foud." + homepageInfo;
        break;
    case UpdateOutcome::CopyMissing:
        m.text = "Downloaded Datafile not foud." + homepageInfo;
        break;
    case UpdateOutcome::NoEntry:
        m.text = "No data for this program found." + homepageInfo;
        break;
    case UpdateOutcome::Newer:
        m.text = "A newer version  ( " + shownVersionText(entryVersion) +
                 " )  is available.\n\nGoto the Program Homepage to download ?";
        break;
    case UpdateOutcome::Latest:
        m.text = "This is the latest version.";
        m.flags = MbOk;
        break;
    }
    return m;
}

namespace {

UpdateOutcome runCheck(Desktop& desktop, const std::string& appVersion, const std::string& base,
                       std::string& entryVersion) {
    namespace fs = std::filesystem;
    const std::string folder = updateTempFolder(desktop);
    if (folder.empty()) return UpdateOutcome::DownloadFailed;
    std::error_code ec;
    if (!fs::exists(folder, ec)) {
        // One level only, like the data folder; a missing parent means no download place.
        fs::create_directory(folder, ec);
        if (ec) return UpdateOutcome::DownloadFailed;
    }
    const std::string localCopy = folder + UpdateLocalName;

    // The download can take a while; the pointer says so, and the boxes come after it is back.
    desktop.setBusyPointer(true);
    const int downloaded = desktop.download(base + UpdateFilePath, localCopy);
    desktop.setBusyPointer(false);
    if (downloaded != 0) return UpdateOutcome::DownloadFailed;
    if (!fs::is_regular_file(localCopy, ec)) return UpdateOutcome::CopyMissing;

    std::optional<std::string> data = readBounded(localCopy);
    if (!data) return UpdateOutcome::CopyMissing;
    std::optional<std::string> entry = findEntry(*data, AppTitle);
    if (!entry) return UpdateOutcome::NoEntry;
    entryVersion = entryVersionText(*entry);
    return versionValue(entryVersion) > versionValue(appVersion) ? UpdateOutcome::Newer
                                                                 : UpdateOutcome::Latest;
}

} // namespace

UpdateOutcome CheckForUpdate(Desktop& desktop, const std::string& appVersion) {
    const std::string base = updateBaseUrl(desktop);
    std::string entryVersion;
    const UpdateOutcome outcome = runCheck(desktop, appVersion, base, entryVersion);
    const UpdateMessage m = updateMessage(outcome, appVersion, entryVersion);
    const MsgAnswer answer = desktop.messageBox(m.text, m.flags, m.title);
    if (outcome != UpdateOutcome::Latest && answer != MsgAnswer::No) {
        desktop.openWithDefaultHandler(base + HomepagePath, ShowMode::Normal);
    }
    return outcome;
}

} // namespace vellumix

#pragma once
// Synchronous HTTP download into a file, for the update check (Qt Network, no windows).
#include <cstdint>
#include <string>

namespace vellumix {

// Results of downloadToFile; everything but DownloadOk is a failure.
enum DownloadStatus : int {
    DownloadOk = 0,
    DownloadBadUrl = 1,        // not an http(s) URL with a host
    DownloadNetworkError = 2,  // host unreachable, connection refused or reset, too many redirects
    DownloadHttpError = 3,     // the server answered with a status of 400 or more
    DownloadTimedOut = 4,      // the whole transfer took longer than timeoutMs
    DownloadWriteFailed = 5,   // the file could not be written
    DownloadTooLarge = 6,      // the body is bigger than maxBytes
    DownloadNoApplication = 7, // no QCoreApplication, so no event loop to wait in
};

inline constexpr std::int64_t DownloadDefaultMaxBytes = 16 * 1024 * 1024;

// Downloads url into path (replacing it). 0 on success; non-zero when the host cannot be reached,
// the server answers with an error status, the time runs out or the file cannot be written.
// The body goes to a temporary file beside path that replaces it only after a complete download, so
// a failure leaves an existing file as it was. timeoutMs <= 0: no time limit. Waits in a local event
// loop that delivers no user input, so the windows cannot start a second check meanwhile.
int downloadToFile(const std::string& url, const std::string& path, int timeoutMs = 15000,
                   std::int64_t maxBytes = DownloadDefaultMaxBytes);

} // namespace vellumix

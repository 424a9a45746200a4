#pragma once
// Synchronous HTTP download into a file, for the update check (Qt Network, no windows).
#include <string>

namespace vellumix {

// Downloads url into path (replacing it). 0 on success; non-zero when the host cannot be reached,
// the server answers with an error status, the time runs out or the file cannot be written.
int downloadToFile(const std::string& url, const std::string& path, int timeoutMs = 15000);

} // namespace vellumix

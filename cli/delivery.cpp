// Where a capture's bytes go: stdout, a file replaced whole, or a new file under a free name, each
// telling the caller what arrived.
#include "cli/commands.h"

#include "capture/hardcopy.h"
#include "cli/exitstatus.h"
#include "cli/outputname.h"
#include "files/filerules.h"

#include <ctime>
#include <filesystem>
#include <system_error>

namespace vellumix::cli {

std::tm Run::localTime() const {
    if (ctx_.localTime) return ctx_.localTime();
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &now);
#else
    localtime_r(&now, &tm);
#endif
    return tm;
}

int Run::deliver(const std::string& picture, const std::string& target) {
    if (target == "-") {
        ctx_.out.write(picture.data(), static_cast<std::streamsize>(picture.size()));
        return finishOutput(ctx_, "the hard copy");
    }
    std::string error;
    if (!writeFileReplacing(target, picture, error)) {
        fail("the hard copy could not be written to " + target + ": " + error +
             " (a previous file of that name, if any, is unchanged)");
        return ExitWrite;
    }
    // The file is written and stays; still, a caller reading the name from stdout must learn that
    // it did not arrive.
    ctx_.out << target << '\n';
    return finishOutput(ctx_, "the file name " + target);
}

bool Run::writeUnderFreeName(const std::string& picture, const std::string& base, const std::tm& time,
                             bool numbered, int& counter, bool rejected, std::string& target,
                             std::string& error) {
    // A name with a counter goes on to the next free number; one without gets a number added
    // before its extension when it is taken. Either way the capture is kept under a free name.
    const bool counted = hasCounterPattern(base) || (numbered && !hasNamePattern(base));
    constexpr int MaxTries = 100000;
    for (int attempt = 1; attempt <= MaxTries; ++attempt) {
        std::string name;
        if (counted) {
            ++counter;
            name = hasNamePattern(base) ? expandPattern(base, counter, time) : numberedPath(base, counter);
        } else {
            const std::string expanded = expandPattern(base, counter, time);
            name = attempt == 1 ? expanded : numberedPath(expanded, attempt);
        }
        // Rejected bytes go beside the name a good capture would have had; a name whose good file
        // exists is passed over, so that the two are never taken for one capture.
        std::error_code ec;
        if (rejected && std::filesystem::exists(name, ec)) continue;
        target = rejected ? capture::rejectedPath(name) : name;
        bool taken = false;
        error.clear();
        if (writeNewFile(target, picture, taken, error)) return true;
        if (!taken) return false;
    }
    error = "no free file name after " + std::to_string(MaxTries) + " tries from " + base;
    return false;
}

int Run::deliverNew(const std::string& picture, const std::string& base, const std::tm& time, bool numbered,
                    int& counter, std::string& target) {
    std::string error;
    if (!writeUnderFreeName(picture, base, time, numbered, counter, false, target, error)) {
        fail("the hard copy could not be written to " + target + ": " + error);
        return ExitWrite;
    }
    ctx_.out << target << '\n';
    return finishOutput(ctx_, "the file name " + target);
}

} // namespace vellumix::cli

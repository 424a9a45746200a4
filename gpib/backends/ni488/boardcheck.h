#pragma once
// Checks, before the first bus scan, that the board the bus URI names can be used at all, so that the
// user hears what is wrong instead of a bare driver error code. linux-gpib turns every set-up problem
// into EARG or EDVR with a misleading count, so its prerequisites are looked at directly; NI-488.2 can
// tell by itself which boards exist.
#include "gpib/backends/ni488/ni488driver.h"
#include "gpib/backends/schemes.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vellumix::gpib::ni488 {

inline constexpr const char* LinuxGpibErrorTitle = "linux-gpib Driver Error";
inline constexpr const char* NiErrorTitle = "NI-488.2 Driver Error";

// Where the linux-gpib checks look. The defaults are the machine's; tests point them elsewhere.
struct LinuxGpibHost {
    // Tried in order when IB_CONFIG is not set: Debian's packages read the first, a build from source
    // with the default prefix the second.
    std::vector<std::string> configFiles = {"/etc/gpib.conf", "/usr/local/etc/gpib.conf"};
    std::string deviceNodePrefix = "/dev/gpib"; // board N is this followed by N
    std::string procModules = "/proc/modules";
    std::string sysModule = "/sys/module";
    std::string sysClass = "/sys/class";
    // Environment lookup for IB_CONFIG; empty: the process environment.
    std::function<std::optional<std::string>(const std::string&)> environment;
    // errno of opening a node for reading and writing, 0 when allowed; empty: access(2). Lets tests
    // that run as root see a refusal.
    std::function<int(const std::string&)> openError;
};

struct BoardProblem {
    std::string title;
    std::string what; // what is wrong, in the user's terms
    std::string fix;  // the one thing to do about it
    std::string message() const { return what + "\n\n" + fix; }
};

std::optional<BoardProblem> checkLinuxGpibBoard(int board, const LinuxGpibHost& host);
std::optional<BoardProblem> checkNiBoard(Ni488Driver& driver, int board);
// The check that fits the loaded library, for the board it was opened for.
std::optional<BoardProblem> checkBoard(Ni488Driver& driver, const LinuxGpibHost& host);

// The kernel module that drives a gpib.conf board_type, "" when unknown.
std::string kernelModuleFor(const std::string& boardType);

} // namespace vellumix::gpib::ni488

namespace vellumix::gpib {

// host: where the board check of a linux-gpib library looks. A library that loads but cannot use the
// board is reported like a missing one, with what is wrong and what to do.
BusOpenResult openBus(const BusUri& uri, Clock& clock, const DriverLibrarySearch& search,
                      const ni488::LinuxGpibHost& host);

} // namespace vellumix::gpib

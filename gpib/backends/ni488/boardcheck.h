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
// Where the package installs the driver guide that the messages refer to.
inline const std::string DriverGuide = std::string(GuideFolder) + "drivers.md.gz";

// Where the linux-gpib checks look. The defaults are the machine's; tests point them elsewhere.
struct LinuxGpibHost {
    // The file the library reads when IB_CONFIG is not set; empty: the one compiled into the loaded
    // library (Debian's reads /etc/gpib.conf, a build from source with the default prefix
    // /usr/local/etc/gpib.conf), else /etc/gpib.conf.
    std::string configFile;
    // Where else a gpib.conf may have been put: named when the library's own file is missing.
    std::vector<std::string> otherConfigFiles = {"/etc/gpib.conf", "/usr/local/etc/gpib.conf"};
    std::string deviceNodePrefix = "/dev/gpib"; // board N is this followed by N
    std::string procDevices = "/proc/devices";
    std::string procModules = "/proc/modules";
    std::string sysModule = "/sys/module";
    std::string sysClass = "/sys/class";
    // Environment lookup for IB_CONFIG; empty: the process environment.
    std::function<std::optional<std::string>(const std::string&)> environment;
    // errno of opening a node for reading and writing, 0 when it opens; empty: open(2). Lets tests
    // that run as root see a refusal.
    std::function<int(const std::string&)> openError;
    // The groups this process runs in, and those its user is given in the group database (a user
    // added to a group gets it at the next login). Empty: the process's own and the system's.
    std::function<std::vector<unsigned>()> processGroups;
    std::function<std::vector<unsigned>()> accountGroups;
};

struct BoardProblem {
    std::string title;
    std::string what; // what is wrong, in the user's terms
    std::string fix;  // the one thing to do about it
    std::string message() const { return what + "\n\n" + fix; }
};

// probe, when given, asks the library about the board once the set-up looks right: its answer tells
// what the files cannot (a module without a configured board).
std::optional<BoardProblem> checkLinuxGpibBoard(int board, const LinuxGpibHost& host,
                                                const std::function<BoardAnswer()>& probe = {});
std::optional<BoardProblem> checkNiBoard(Ni488Driver& driver, int board);
// The check that fits the loaded library, for the board it was opened for.
std::optional<BoardProblem> checkBoard(Ni488Driver& driver, const LinuxGpibHost& host);

// The kernel module that drives a gpib.conf board_type, "" when unknown.
std::string kernelModuleFor(const std::string& boardType);
// The configuration file compiled into a linux-gpib library file, "" when it cannot be told.
std::string libraryConfigFile(const std::string& libraryFile);

} // namespace vellumix::gpib::ni488

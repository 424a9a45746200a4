#include "gpib/backends/ni488/boardcheck.h"

#include "gpib/backends/ni488/gpibconf.h"
#include "gpib/status.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vellumix::gpib::ni488 {

namespace {

constexpr int BoardCount = 16;

std::string boardList(const std::vector<int>& boards) {
    std::string text;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        if (i > 0) text += i + 1 == boards.size() ? " and " : ", ";
        text += std::to_string(boards[i]);
    }
    return (boards.size() == 1 ? "board " : "boards ") + text;
}

} // namespace

#ifndef _WIN32
namespace {

constexpr const char* ConfigVariable = "IB_CONFIG";
constexpr const char* CoreModule = "gpib_common";

std::optional<std::string> lookup(const LinuxGpibHost& host, const std::string& name) {
    if (host.environment) return host.environment(name);
    const char* v = std::getenv(name.c_str());
    return v ? std::optional<std::string>(v) : std::nullopt;
}

int openError(const LinuxGpibHost& host, const std::string& path) {
    if (host.openError) return host.openError(path);
    return ::access(path.c_str(), R_OK | W_OK) == 0 ? 0 : errno;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Reads the whole file; on failure returns the errno and leaves text alone.
int readFile(const std::string& path, std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return errno;
    std::string out;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    const int failed = std::ferror(f) ? (errno ? errno : EIO) : 0;
    std::fclose(f);
    if (failed) return failed;
    text = std::move(out);
    return 0;
}

enum class KernelDriver { Loaded, NotLoaded, Unknown };

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

KernelDriver kernelDriver(const LinuxGpibHost& host) {
    std::ifstream modules(host.procModules);
    const bool listed = modules.is_open();
    std::string line;
    const std::string prefix = std::string(CoreModule) + " ";
    while (std::getline(modules, line))
        if (line.compare(0, prefix.size(), prefix) == 0) return KernelDriver::Loaded;
    // A driver built into the kernel is not in /proc/modules, but its device class is in sysfs.
    if (isDirectory(host.sysModule + "/" + CoreModule) || isDirectory(host.sysClass + "/" + CoreModule))
        return KernelDriver::Loaded;
    return listed ? KernelDriver::NotLoaded : KernelDriver::Unknown;
}

std::string configureCommand(int board) {
    return "sudo gpib_config --minor " + std::to_string(board);
}

BoardProblem linuxProblem(std::string what, std::string fix) {
    return {LinuxGpibErrorTitle, std::move(what), std::move(fix)};
}

std::optional<BoardProblem> checkNode(int board, const LinuxGpibHost& host, const GpibConfInterface& entry,
                                      const std::string& configFile) {
    const std::string node = host.deviceNodePrefix + std::to_string(board);
    const KernelDriver driver = kernelDriver(host);
    const bool nodeExists = exists(node);
    if (!nodeExists && driver == KernelDriver::Loaded) {
        return linuxProblem("The linux-gpib kernel driver is loaded, but " + node + " does not exist.",
                            "Check that udev is running: the driver creates the gpib device nodes when it "
                            "loads. Reloading it (sudo modprobe -r " +
                                std::string(CoreModule) +
                                " with its board driver, then loading it again) "
                                "creates them anew.");
    }
    // A node left from an earlier installation does not mean a driver is behind it.
    if (!nodeExists || driver == KernelDriver::NotLoaded) {
        const std::string module = kernelModuleFor(entry.boardType);
        std::string fix;
        if (!module.empty()) {
            fix = "Load the driver of your board and configure it: sudo modprobe " + module + " && " +
                  configureCommand(board);
        } else {
            fix = "Load the kernel module of your board" +
                  (entry.boardType.empty()
                       ? std::string()
                       : " (board_type \"" + entry.boardType + "\" in " + configFile + ")") +
                  " and configure it with " + configureCommand(board) + ".";
        }
        fix += "\nWithout the module, install linux-gpib's kernel drivers first (see docs/drivers.md).";
        return linuxProblem(
            "The linux-gpib kernel driver is not loaded: " +
                (nodeExists ? node + " exists, but no driver is behind it." : node + " does not exist."),
            fix);
    }

    const int err = openError(host, node);
    if (err == 0) return std::nullopt;
    if (err != EACCES && err != EPERM) {
        return linuxProblem(node + " cannot be opened: " + std::strerror(err) + ".",
                            "Check the board and its driver: docs/drivers.md lists what each message means.");
    }
    struct stat st {};
    std::string group = "root";
    unsigned mode = 0;
    if (::stat(node.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
        const struct group* g = ::getgrgid(st.st_gid);
        group = g ? g->gr_name : std::to_string(st.st_gid);
    }
    char modeText[8];
    std::snprintf(modeText, sizeof modeText, "%04o", mode);
    const std::string what = "You may not open " + node + ": it belongs to group " + group + " (mode " +
                             modeText + "), and Vellumix does not run in that group.";
    if (group == "root" || group == "0") {
        return linuxProblem(what,
                            "Install linux-gpib's udev rule 98-gpib-generic.rules (it gives /dev/gpib* to "
                            "group gpib), then: sudo groupadd -f gpib && sudo usermod -aG gpib $USER; "
                            "log out and in again and replug the board.");
    }
    return linuxProblem(what, "Add yourself to group " + group + ": sudo usermod -aG " + group +
                                  " $USER, then log out and in again.");
}

} // namespace
#endif

std::string kernelModuleFor(const std::string& boardType) {
    // board_type names as the kernel drivers register them, and the module each lives in.
    static const std::map<std::string, std::string> modules = {
        {"ni_usb_b", "ni_usb_gpib"},
        {"agilent_82357a", "agilent_82357a"},
        {"agilent_82350b", "agilent_82350b"},
        {"agilent_82350b_unaccel", "agilent_82350b"},
        {"ni_pci", "tnt4882"},
        {"ni_pci_accel", "tnt4882"},
        {"ni_pcmcia", "tnt4882"},
        {"ni_pcmcia_accel", "tnt4882"},
        {"ni_isa", "tnt4882"},
        {"ni_isa_accel", "tnt4882"},
        {"ni_nat4882_isa", "tnt4882"},
        {"ni_nat4882_isa_accel", "tnt4882"},
        {"ni_nec_isa", "tnt4882"},
        {"ni_nec_isa_accel", "tnt4882"},
        {"cec_pci", "cec_gpib"},
        {"ines_pci", "ines_gpib"},
        {"ines_pci_accel", "ines_gpib"},
        {"ines_pci_unaccel", "ines_gpib"},
        {"ines_isa", "ines_gpib"},
        {"lpvo_usb_gpib", "lpvo_usb_gpib"},
    };
    const auto it = modules.find(boardType);
    return it == modules.end() ? std::string() : it->second;
}

std::optional<BoardProblem> checkLinuxGpibBoard(int board, const LinuxGpibHost& host) {
#ifdef _WIN32
    // linux-gpib has no Windows library.
    (void)board;
    (void)host;
    return std::nullopt;
#else
    // The configuration file, found as the library finds it.
    std::string configFile;
    const std::optional<std::string> named = lookup(host, ConfigVariable);
    if (named) {
        configFile = *named;
    } else {
        for (const std::string& candidate : host.configFiles) {
            if (exists(candidate)) {
                configFile = candidate;
                break;
            }
        }
    }
    const std::string defaultFile = host.configFiles.empty() ? "/etc/gpib.conf" : host.configFiles.front();
    // An empty IB_CONFIG is a set variable naming no file: the library fails on it as on a missing one.
    const std::string shown = named ? (named->empty() ? std::string("\"\"") : *named)
                                    : (configFile.empty() ? defaultFile : configFile);
    const std::string via = named ? " (named by " + std::string(ConfigVariable) + ")" : std::string();

    std::string text;
    const int readError = configFile.empty() ? ENOENT : readFile(configFile, text);
    if (readError == ENOENT) {
        return linuxProblem("linux-gpib cannot find its configuration file " + shown + via +
                                ", so it cannot use GPIB board " + std::to_string(board) + ".",
                            named ? "Point " + std::string(ConfigVariable) +
                                        " at your gpib.conf, or unset it to use " + defaultFile + "."
                                  : "Install gpib-user-tools (it brings " + defaultFile +
                                        ") or write that file with an interface block for board " +
                                        std::to_string(board) + " (docs/drivers.md shows one), then run " +
                                        configureCommand(board) + ".");
    }
    if (readError != 0) {
        return linuxProblem("linux-gpib cannot read its configuration file " + shown + via + ": " +
                                std::strerror(readError) + ".",
                            readError == EACCES ? "Make it readable for you: sudo chmod a+r " + shown
                                                : "Replace " + shown + " with a readable gpib.conf file.");
    }

    const GpibConf conf = parseGpibConf(text);
    if (!conf.valid) {
        const std::string found =
            conf.errorAtEnd ? std::string("the end of the file") : "\"" + conf.errorNear + "\"";
        return linuxProblem("linux-gpib cannot read line " + std::to_string(conf.errorLine) +
                                " of its configuration file " + shown + via + ": it expects " +
                                conf.errorExpected + " there, not " + found + ".",
                            "Fix line " + std::to_string(conf.errorLine) + " of " + shown + ", then run " +
                                configureCommand(board) + ".");
    }

    const GpibConfInterface* entry = conf.find(board);
    if (!entry) {
        std::vector<int> boards;
        for (const auto& i : conf.interfaces)
            boards.push_back(i.minor);
        const std::string add = "an interface block with minor = " + std::to_string(board) + " to " + shown +
                                " and run " + configureCommand(board) + ".";
        if (boards.empty()) {
            return linuxProblem("The linux-gpib configuration file " + shown + via +
                                    " configures no GPIB board: it has no interface block.",
                                "Add " + add + " docs/drivers.md shows one for each common board.");
        }
        return linuxProblem("The linux-gpib configuration file " + shown + via + " configures " +
                                boardList(boards) + ", not board " + std::to_string(board) + ".",
                            "Choose a configured board with --bus gpib:" + std::to_string(boards.front()) +
                                ", or add " + add);
    }
    return checkNode(board, host, *entry, shown);
#endif
}

std::optional<BoardProblem> checkNiBoard(Ni488Driver& driver, int board) {
    const auto missing = [&](int index) {
        const BoardAnswer a = driver.askInterface(index);
        return (a.ibsta & static_cast<uint16_t>(ERR)) != 0 && a.iberr == ENEB;
    };
    if (!missing(board)) return std::nullopt;
    std::vector<int> present;
    for (int i = 0; i < BoardCount; ++i)
        if (i != board && !missing(i)) present.push_back(i);
    BoardProblem p;
    p.title = NiErrorTitle;
    p.what = "NI-488.2 has no GPIB board " + std::to_string(board) + ".";
    if (present.empty()) {
        p.what += " It finds no GPIB board at all.";
        p.fix =
            "Connect the board and check that NI's GPIB configuration utility lists it, then start Vellumix "
            "again.";
    } else {
        p.what += " It has " + boardList(present) + ".";
        p.fix = "Choose an existing board with --bus gpib:" + std::to_string(present.front()) + ".";
    }
    return p;
}

std::optional<BoardProblem> checkBoard(Ni488Driver& driver, const LinuxGpibHost& host) {
    if (driver.family() == LibraryFamily::LinuxGpib) return checkLinuxGpibBoard(driver.board(), host);
    return checkNiBoard(driver, driver.board());
}

} // namespace vellumix::gpib::ni488

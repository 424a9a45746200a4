// The linux-gpib board's kernel driver, device node and access, checked as the library would meet
// them, each problem with the one thing to do about it.
#ifndef _WIN32
#include "gpib/backends/ni488/linuxgpibcheck.h"

#include "gpib/status.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vellumix::gpib::ni488::linuxgpib {

namespace {

constexpr const char* CoreModule = "gpib_common";
constexpr unsigned GpibMajor = 160; // the character device major linux-gpib registers

// Opened as the library opens it: access(2) would pass a node whose driver is missing (ENXIO).
int openError(const LinuxGpibHost& host, const std::string& path) {
    if (host.openError) return host.openError(path);
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

enum class KernelDriver { Loaded, NotLoaded, Unknown };

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

KernelDriver kernelDriver(const LinuxGpibHost& host) {
    bool listed = false;
    // A registered major means a driver, loaded or built in; some kernels have no /proc/modules.
    std::ifstream devices(host.procDevices);
    std::string line;
    if (devices.is_open()) {
        listed = true;
        bool characters = false;
        while (std::getline(devices, line)) {
            if (line.rfind("Character devices", 0) == 0) characters = true;
            if (line.rfind("Block devices", 0) == 0) characters = false;
            std::istringstream fields(line);
            unsigned major = 0;
            std::string name;
            if (characters && fields >> major >> name && major == GpibMajor && name.rfind("gpib", 0) == 0)
                return KernelDriver::Loaded;
        }
    }
    std::ifstream modules(host.procModules);
    if (modules.is_open()) listed = true;
    const std::string prefix = std::string(CoreModule) + " ";
    while (std::getline(modules, line))
        if (line.compare(0, prefix.size(), prefix) == 0) return KernelDriver::Loaded;
    // A driver built into the kernel is not in /proc/modules, but its device class is in sysfs.
    if (isDirectory(host.sysModule + "/" + CoreModule) || isDirectory(host.sysClass + "/" + CoreModule))
        return KernelDriver::Loaded;
    return listed ? KernelDriver::NotLoaded : KernelDriver::Unknown;
}

bool isUsbBoard(const std::string& boardType) {
    return boardType == "ni_usb_b" || boardType == "agilent_82357a" || boardType == "lpvo_usb_gpib";
}

std::string guideHint(const std::string& about) {
    return about + " (the GPIB driver guide, " + DriverGuide + ", says how)";
}

// Where a board_type came from, and what to write when it names another board than the user's.
std::string boardTypeSource(const GpibConfInterface& entry, const ConfigUse& cfg) {
    return "board_type \"" + entry.boardType + "\" on line " + std::to_string(entry.boardTypeLine) + " of " +
           cfg.file;
}

std::string otherBoardHint() {
    return "If that is not your board, correct it there first: an NI GPIB-USB-HS is \"ni_usb_b\", an "
           "Agilent 82357B \"agilent_82357a\", an NI PCI-GPIB \"ni_pci\".";
}

// The way from a missing kernel driver to a configured board.
std::string loadFix(int board, const GpibConfInterface& entry, const ConfigUse& cfg) {
    const std::string module = kernelModuleFor(entry.boardType);
    std::string fix;
    if (entry.boardType.empty()) {
        fix = "Give board " + std::to_string(board) + " a board_type in " + cfg.file +
              " (an NI GPIB-USB-HS is \"ni_usb_b\", an Agilent 82357B \"agilent_82357a\"), load its kernel "
              "module and run " +
              cfg.configure(board);
    } else if (module.empty()) {
        fix =
            "Load the kernel module for " + boardTypeSource(entry, cfg) + " and run " + cfg.configure(board);
    } else {
        const std::string load = "sudo modprobe " + module + " && " + cfg.configure(board);
        fix =
            isUsbBoard(entry.boardType)
                ? "Plug the adapter in: that loads its driver. If it is plugged in, load and configure it: " +
                      load
                : "Load the driver of your board and configure it: " + load;
        fix += "\n" + std::string("That is the driver for ") + boardTypeSource(entry, cfg) + ". " +
               otherBoardHint();
    }
    return fix + "\nWithout the module, " + guideHint("install linux-gpib's kernel drivers first") + ".";
}

BoardProblem notLoaded(const std::string& node, bool nodeExists, int board, const GpibConfInterface& entry,
                       const ConfigUse& cfg) {
    return linuxProblem(
        "The linux-gpib kernel driver is not loaded: " +
            (nodeExists ? node + " exists, but no driver is behind it." : node + " does not exist."),
        loadFix(board, entry, cfg));
}

std::string nodeKind(const struct stat& st) {
    if (S_ISREG(st.st_mode)) return "a plain file";
    if (S_ISDIR(st.st_mode)) return "a folder";
    if (S_ISFIFO(st.st_mode)) return "a named pipe (FIFO)";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    if (S_ISBLK(st.st_mode)) return "a block device";
    if (S_ISCHR(st.st_mode))
        return "the character device " + std::to_string(major(st.st_rdev)) + "," +
               std::to_string(minor(st.st_rdev)) + " of another driver";
    return "not a device";
}

BoardProblem notAGpibNode(const std::string& node, const std::string& kind, int board,
                          const GpibConfInterface& entry, const ConfigUse& cfg) {
    const std::string module = kernelModuleFor(entry.boardType);
    const std::string reload =
        module.empty()
            ? "reload your board's kernel module, which creates the node, and run " + cfg.configure(board)
            : "load the driver again so that it creates the node: sudo modprobe -r " + module + " " +
                  CoreModule + "; sudo modprobe " + module + " && " + cfg.configure(board);
    return linuxProblem(node + " is not a GPIB device node: it is " + kind +
                            ". GPIB device nodes are character devices with major number " +
                            std::to_string(GpibMajor) + ".",
                        "Remove it (sudo rm " + shellWord(node) + "), then " + reload);
}

std::vector<unsigned> processGroups(const LinuxGpibHost& host) {
    if (host.processGroups) return host.processGroups();
    std::vector<gid_t> ids(static_cast<std::size_t>(std::max(0, ::getgroups(0, nullptr))) + 1);
    const int n = ::getgroups(static_cast<int>(ids.size()), ids.data());
    ids.resize(static_cast<std::size_t>(std::max(0, n)));
    ids.push_back(::getegid());
    return {ids.begin(), ids.end()};
}

std::vector<unsigned> accountGroups(const LinuxGpibHost& host) {
    if (host.accountGroups) return host.accountGroups();
    const struct passwd* pw = ::getpwuid(::getuid());
    if (!pw) return {};
    int n = 64;
    std::vector<gid_t> ids(static_cast<std::size_t>(n));
    if (::getgrouplist(pw->pw_name, pw->pw_gid, ids.data(), &n) < 0) {
        ids.resize(static_cast<std::size_t>(n));
        if (::getgrouplist(pw->pw_name, pw->pw_gid, ids.data(), &n) < 0) return {};
    }
    ids.resize(static_cast<std::size_t>(n));
    return {ids.begin(), ids.end()};
}

BoardProblem refused(const std::string& node, int err, const LinuxGpibHost& host) {
    struct stat st {};
    unsigned gid = 0;
    unsigned mode = 0;
    if (::stat(node.c_str(), &st) == 0) {
        gid = st.st_gid;
        mode = st.st_mode & 07777;
    }
    const struct group* g = ::getgrgid(gid);
    const std::string group = g ? g->gr_name : std::to_string(gid);
    char modeText[8];
    std::snprintf(modeText, sizeof modeText, "%04o", mode);
    const auto has = [gid](const std::vector<unsigned>& groups) {
        return std::find(groups.begin(), groups.end(), gid) != groups.end();
    };
    const std::string owned = "it belongs to group " + group + " (mode " + modeText + ")";
    if (gid == 0) {
        return linuxProblem(
            "You may not open " + node + ": " + owned + ", so only root may use it.",
            "Install linux-gpib's udev rule 98-gpib-generic.rules (it gives /dev/gpib* to "
            "group gpib with mode 0660), join that group, then log out and in again and replug the board. "
            "Joining: sudo groupadd -f gpib && sudo usermod -aG gpib $USER");
    }
    const bool now = has(processGroups(host));
    if (now && (mode & 060) != 060) {
        return linuxProblem(
            "You may not open " + node + " although you are in its group " + group + ": its mode " +
                modeText + " gives that group no access (a udev rule sets GROUP without MODE).",
            "Add MODE=\"0660\" to the udev rule that sets GROUP=\"" + group +
                "\" (under /etc/udev/rules.d/), then apply it: sudo udevadm control --reload && "
                "sudo udevadm trigger --sysname-match='gpib*'");
    }
    if (!now && (mode & 060) != 060 && !has(accountGroups(host))) {
        // Joining the group alone would not do: the mode shuts the group out too.
        return linuxProblem(
            "You may not open " + node + ": " + owned +
                ", you are not in that group, and its mode gives that group no access "
                "either (a udev rule sets GROUP without MODE).",
            "Add MODE=\"0660\" to the udev rule that sets GROUP=\"" + group +
                "\" (under /etc/udev/rules.d/) and apply it: sudo udevadm control --reload && "
                "sudo udevadm trigger --sysname-match='gpib*'\nThen add yourself to the group: "
                "sudo usermod -aG " +
                group + " $USER\nThen log out and in again.");
    }
    if (!now && has(accountGroups(host))) {
        return linuxProblem("You may not open " + node + ": " + owned +
                                ", and you joined that group after this session began.",
                            "Log out and in again (or start Vellumix from a shell opened with: newgrp " +
                                group + ").");
    }
    if (!now) {
        return linuxProblem("You may not open " + node + ": " + owned + ", and you are not in that group.",
                            "Add yourself to group " + group +
                                ", then log out and in again: sudo usermod -aG " + group + " $USER");
    }
    return linuxProblem(node + " cannot be opened: " + std::strerror(err) +
                            ", although you are in its group " + group + " and its mode is " + modeText + ".",
                        "Check the node's access control list (getfacl " + shellWord(node) +
                            ") and the security policy's messages: sudo dmesg | tail");
}

const char* const KernelLog =
    "Check the board, its cable and the kernel's messages: sudo dmesg | grep -i gpib";

} // namespace

std::optional<BoardProblem> checkNode(int board, const LinuxGpibHost& host, const GpibConfInterface& entry,
                                      const ConfigUse& cfg, const std::function<BoardAnswer()>& probe) {
    const std::string node = host.deviceNodePrefix + std::to_string(board);
    const KernelDriver driver = kernelDriver(host);
    struct stat st {};
    const bool nodeExists = ::stat(node.c_str(), &st) == 0;
    if (!nodeExists && driver == KernelDriver::Loaded) {
        return linuxProblem("The linux-gpib kernel driver is loaded, but " + node + " does not exist.",
                            "Check that udev is running: the driver creates the gpib device nodes when it "
                            "loads. Reloading it (sudo modprobe -r " +
                                std::string(CoreModule) +
                                " with its board driver, then loading it again) "
                                "creates them anew.");
    }
    if (!nodeExists) return notLoaded(node, false, board, entry, cfg);
    // The library would open it and fail on its first request with ENOTTY, or worse.
    if (!S_ISCHR(st.st_mode) || major(st.st_rdev) != GpibMajor)
        return notAGpibNode(node, nodeKind(st), board, entry, cfg);
    // A node left from an earlier installation does not mean a driver is behind it.
    if (driver == KernelDriver::NotLoaded) return notLoaded(node, true, board, entry, cfg);

    const int err = openError(host, node);
    if (err == ENXIO || err == ENODEV) return notLoaded(node, true, board, entry, cfg);
    if (err == EACCES || err == EPERM) return refused(node, err, host);
    if (err != 0) return linuxProblem(node + " cannot be opened: " + std::strerror(err) + ".", KernelLog);
    if (!probe) return std::nullopt;

    // The library reports every system error as EDVR with the errno as its count.
    const BoardAnswer answer = probe();
    if (!(answer.ibsta & static_cast<int32_t>(ERR))) return std::nullopt;
    if (answer.iberr == EARG) {
        return linuxProblem(
            "linux-gpib refuses board " + std::to_string(board) + " although its configuration file " +
                cfg.file + cfg.via() + " configures it: it reports a bad argument (EARG).",
            "Run " + cfg.configure(board) + ": it names what linux-gpib cannot read in " + cfg.file + ".");
    }
    if (answer.iberr != EDVR) return std::nullopt;
    switch (answer.ibcntl) {
    case ENODEV: {
        const std::string module = kernelModuleFor(entry.boardType);
        std::string fix =
            isUsbBoard(entry.boardType)
                ? "Plug the adapter in (that configures it), or configure it yourself: " +
                      cfg.configure(board)
                : "Configure the board (after every start of the computer): " + cfg.configure(board);
        if (!module.empty()) {
            fix += "\nIf gpib_config does not know the board type, load its driver first: sudo modprobe " +
                   module + " (the driver for " + boardTypeSource(entry, cfg) + ").";
        }
        return linuxProblem(
            "The linux-gpib kernel driver is loaded, but no board is configured on " + node +
                ": gpib_config has not been run for it, or it ran while the adapter was unplugged.",
            fix);
    }
    case ENXIO:
        return notLoaded(node, true, board, entry, cfg);
    case ENOTTY:
        return notAGpibNode(node, "a device that does not take GPIB requests", board, entry, cfg);
    default:
        return linuxProblem("linux-gpib cannot use GPIB board " + std::to_string(board) +
                                ": the system reports error " + std::to_string(answer.ibcntl) + " (" +
                                std::strerror(answer.ibcntl) + ").",
                            KernelLog);
    }
}

} // namespace vellumix::gpib::ni488::linuxgpib
#endif

#include "gpib/backends/ni488/boardcheck.h"

#include "gpib/backends/ni488/gpibconf.h"
#include "gpib/status.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#ifndef _WIN32
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
constexpr unsigned GpibMajor = 160; // the character device major linux-gpib registers

std::optional<std::string> lookup(const LinuxGpibHost& host, const std::string& name) {
    if (host.environment) return host.environment(name);
    const char* v = std::getenv(name.c_str());
    return v ? std::optional<std::string>(v) : std::nullopt;
}

// Opened as the library opens it: access(2) would pass a node whose driver is missing (ENXIO).
int openError(const LinuxGpibHost& host, const std::string& path) {
    if (host.openError) return host.openError(path);
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
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

// A path as a shell takes it when pasted.
std::string shellWord(const std::string& text) {
    const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._-+,:@%", c);
    });
    if (plain) return text;
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool isUsbBoard(const std::string& boardType) {
    return boardType == "ni_usb_b" || boardType == "agilent_82357a" || boardType == "lpvo_usb_gpib";
}

// What the checks found out about the configuration, for the commands they give.
struct ConfigUse {
    std::string file;   // as shown to the user
    bool named = false; // by IB_CONFIG: sudo resets the environment, so gpib_config needs --file
    std::string via() const {
        return named ? " (named by " + std::string(ConfigVariable) + ")" : std::string();
    }
    std::string configure(int board) const {
        return "sudo gpib_config " + (named ? "--file " + shellWord(file) + " " : std::string()) +
               "--minor " + std::to_string(board);
    }
};

BoardProblem linuxProblem(std::string what, std::string fix) {
    return {LinuxGpibErrorTitle, std::move(what), std::move(fix)};
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
              cfg.configure(board) + ".";
    } else if (module.empty()) {
        fix = "Load the kernel module for " + boardTypeSource(entry, cfg) + " and run " +
              cfg.configure(board) + ".";
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
        module.empty() ? "reload your board's kernel module, which creates the node, and run " +
                             cfg.configure(board) + "."
                       : "load the driver again so that it creates the node: sudo modprobe -r " + module +
                             " " + CoreModule + "; sudo modprobe " + module + " && " + cfg.configure(board);
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
            "group gpib with mode 0660), then: sudo groupadd -f gpib && sudo usermod -aG gpib $USER; "
            "log out and in again and replug the board.");
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
    if (!now && has(accountGroups(host))) {
        return linuxProblem("You may not open " + node + ": " + owned +
                                ", and you joined that group after this session began.",
                            "Log out and in again (or start Vellumix from a shell opened with: newgrp " +
                                group + ").");
    }
    if (!now) {
        return linuxProblem("You may not open " + node + ": " + owned + ", and you are not in that group.",
                            "Add yourself to group " + group + ": sudo usermod -aG " + group +
                                " $USER, then log out and in again.");
    }
    return linuxProblem(node + " cannot be opened: " + std::strerror(err) +
                            ", although you are in its group " + group + " and its mode is " + modeText + ".",
                        "Check the node's access control list (getfacl " + shellWord(node) +
                            ") and the security policy's messages: sudo dmesg | tail");
}

const char* const KernelLog =
    "Check the board, its cable and the kernel's messages: sudo dmesg | grep -i gpib";

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

// The file the library reads when IB_CONFIG is not set.
std::string defaultConfigFile(const LinuxGpibHost& host) {
    return host.configFile.empty() ? std::string("/etc/gpib.conf") : host.configFile;
}

// The file of a loaded library, found through one of its symbols.
std::string loadedFile(const std::string& library) {
    void* handle = ::dlopen(library.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) return {};
    std::string file;
    Dl_info info{};
    if (void* symbol = ::dlsym(handle, "ibdev"); symbol && ::dladdr(symbol, &info) && info.dli_fname)
        file = info.dli_fname;
    ::dlclose(handle);
    return file;
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

std::string libraryConfigFile(const std::string& libraryFile) {
#ifdef _WIN32
    (void)libraryFile;
    return {};
#else
    // The build puts "$(sysconfdir)/gpib.conf" into the library as a string.
    std::string bytes;
    if (readFile(libraryFile, bytes) != 0) return {};
    const std::string tail = "/gpib.conf";
    std::string found;
    for (std::size_t at = bytes.find(tail); at != std::string::npos; at = bytes.find(tail, at + 1)) {
        const std::size_t end = at + tail.size();
        if (end >= bytes.size() || bytes[end] != '\0') continue;
        std::size_t begin = at;
        while (begin > 0 && std::isprint(static_cast<unsigned char>(bytes[begin - 1])))
            --begin;
        const std::string path = bytes.substr(begin, end - begin);
        if (path.front() != '/' || path.find(' ') != std::string::npos) continue;
        if (!found.empty() && found != path) return {}; // two candidates: cannot tell
        found = path;
    }
    return found;
#endif
}

std::optional<BoardProblem> checkLinuxGpibBoard(int board, const LinuxGpibHost& host,
                                                const std::function<BoardAnswer()>& probe) {
#ifdef _WIN32
    // linux-gpib has no Windows library.
    (void)board;
    (void)host;
    (void)probe;
    return std::nullopt;
#else
    // The configuration file, found as the library finds it.
    const std::optional<std::string> named = lookup(host, ConfigVariable);
    const std::string defaultFile = defaultConfigFile(host);
    const std::string configFile = named ? *named : defaultFile;
    ConfigUse cfg;
    cfg.named = named.has_value();
    // An empty IB_CONFIG is a set variable naming no file: the library fails on it as on a missing one.
    cfg.file = configFile.empty() ? std::string("\"\"") : configFile;
    const std::string boardText = std::to_string(board);

    std::string text;
    const int readError = configFile.empty() ? ENOENT : readFile(configFile, text);
    if (readError == ENOENT) {
        std::string what = "linux-gpib cannot find its configuration file " + cfg.file + cfg.via() +
                           ", so it cannot use GPIB board " + boardText + ".";
        std::string fix;
        if (named) {
            fix = "Point " + std::string(ConfigVariable) + " at your gpib.conf, or unset it to use " +
                  defaultFile + ".";
        } else {
            std::string elsewhere;
            for (const std::string& other : host.otherConfigFiles)
                if (other != defaultFile && elsewhere.empty() && exists(other)) elsewhere = other;
            if (!elsewhere.empty()) {
                what +=
                    " There is a " + elsewhere + ", but this linux-gpib library reads " + defaultFile + ".";
                fix = "Move it: sudo mv " + shellWord(elsewhere) + " " + shellWord(defaultFile) +
                      ", then run " + cfg.configure(board) + ".";
            } else {
                fix = "Install gpib-user-tools (it brings " + defaultFile +
                      ") or write that file with an interface "
                      "block for board " +
                      boardText + " (the GPIB driver guide, " + DriverGuide + ", shows one), then run " +
                      cfg.configure(board) + ".";
            }
        }
        return linuxProblem(what, fix);
    }
    if (readError != 0) {
        return linuxProblem("linux-gpib cannot read its configuration file " + cfg.file + cfg.via() + ": " +
                                std::strerror(readError) + ".",
                            readError == EACCES
                                ? "Make it readable for you: sudo chmod a+r " + shellWord(cfg.file)
                                : "Replace " + cfg.file + " with a readable gpib.conf file.");
    }

    const GpibConf conf = parseGpibConf(text);
    if (!conf.valid) {
        const std::string line = std::to_string(conf.errorLine);
        if (conf.errorAtCarriageReturn) {
            return linuxProblem(
                "linux-gpib cannot read its configuration file " + cfg.file + cfg.via() +
                    ": it has Windows line ends (CR LF), and linux-gpib stops at the CR at the end of "
                    "line " +
                    line + ".",
                "Convert it to Unix line ends: " + std::string(cfg.named ? "" : "sudo ") +
                    "sed -i 's/\\r$//' " + shellWord(cfg.file) + ", then run " + cfg.configure(board) + ".");
        }
        if (conf.duplicateOfLine > 0) {
            return linuxProblem("linux-gpib cannot read line " + line + " of its configuration file " +
                                    cfg.file + cfg.via() + ": it configures board " + conf.errorNear +
                                    " a second time there (the first interface block for it is on line " +
                                    std::to_string(conf.duplicateOfLine) + ").",
                                "Remove one of the two blocks, or give it another minor, then run " +
                                    cfg.configure(board) + ".");
        }
        const std::string found =
            conf.errorAtEnd ? std::string("the end of the file") : "\"" + conf.errorNear + "\"";
        return linuxProblem(
            "linux-gpib cannot read line " + line + " of its configuration file " + cfg.file + cfg.via() +
                ": it expects " + conf.errorExpected + " there, not " + found + ".",
            "Fix line " + line + " of " + cfg.file + ", then run " + cfg.configure(board) + ".");
    }

    const GpibConfInterface* entry = conf.find(board);
    if (!entry) {
        std::vector<int> boards;
        for (const auto& i : conf.interfaces)
            boards.push_back(i.minor);
        const std::string add = "an interface block with minor = " + boardText + " to " + cfg.file +
                                " and run " + cfg.configure(board) + ".";
        if (boards.empty()) {
            return linuxProblem("The linux-gpib configuration file " + cfg.file + cfg.via() +
                                    " configures no GPIB board: it has no interface block.",
                                "Add " + add + " The GPIB driver guide, " + DriverGuide +
                                    ", shows one for each common board.");
        }
        return linuxProblem("The linux-gpib configuration file " + cfg.file + cfg.via() + " configures " +
                                boardList(boards) + ", not board " + boardText + ".",
                            "Choose a configured board with --bus gpib:" + std::to_string(boards.front()) +
                                ", or add " + add);
    }
    return checkNode(board, host, *entry, cfg, probe);
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
    if (driver.family() != LibraryFamily::LinuxGpib) return checkNiBoard(driver, driver.board());
#ifdef _WIN32
    (void)host; // no linux-gpib set-up to look at
    return std::nullopt;
#else
    LinuxGpibHost used = host;
    if (used.configFile.empty()) used.configFile = libraryConfigFile(loadedFile(driver.path()));
    return checkLinuxGpibBoard(driver.board(), used,
                               [&driver] { return driver.askInterface(driver.board()); });
#endif
}

} // namespace vellumix::gpib::ni488

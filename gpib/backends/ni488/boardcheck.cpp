#include "gpib/backends/ni488/boardcheck.h"
#include "gpib/backends/ni488/linuxgpibcheck.h"

#include "gpib/backends/ni488/gpibconf.h"
#include "gpib/status.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#ifndef _WIN32
#include <dlfcn.h>
#include <sys/stat.h>
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
namespace linuxgpib {

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

BoardProblem linuxProblem(std::string what, std::string fix) {
    return {LinuxGpibErrorTitle, std::move(what), std::move(fix)};
}

} // namespace linuxgpib

namespace {

using namespace linuxgpib;

std::optional<std::string> lookup(const LinuxGpibHost& host, const std::string& name) {
    if (host.environment) return host.environment(name);
    const char* v = std::getenv(name.c_str());
    return v ? std::optional<std::string>(v) : std::nullopt;
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
                      ", then run " + cfg.configure(board);
            } else {
                fix = "Install gpib-user-tools (it brings " + defaultFile +
                      ") or write that file with an interface "
                      "block for board " +
                      boardText + " (the GPIB driver guide, " + DriverGuide + ", shows one), then run " +
                      cfg.configure(board);
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
                    "sed -i 's/\\r$//' " + shellWord(cfg.file) + ", then run " + cfg.configure(board));
        }
        if (conf.duplicateOfLine > 0) {
            return linuxProblem("linux-gpib cannot read line " + line + " of its configuration file " +
                                    cfg.file + cfg.via() + ": it configures board " + conf.errorNear +
                                    " a second time there (the first interface block for it is on line " +
                                    std::to_string(conf.duplicateOfLine) + ").",
                                "Remove one of the two blocks, or give it another minor, then run " +
                                    cfg.configure(board));
        }
        const std::string found =
            conf.errorAtEnd ? std::string("the end of the file") : "\"" + conf.errorNear + "\"";
        return linuxProblem("linux-gpib cannot read line " + line + " of its configuration file " + cfg.file +
                                cfg.via() + ": it expects " + conf.errorExpected + " there, not " + found +
                                ".",
                            "Fix line " + line + " of " + cfg.file + ", then run " + cfg.configure(board));
    }

    const GpibConfInterface* entry = conf.find(board);
    if (!entry) {
        std::vector<int> boards;
        for (const auto& i : conf.interfaces)
            boards.push_back(i.minor);
        const std::string add = "an interface block with minor = " + boardText + " to " + cfg.file +
                                " and run " + cfg.configure(board);
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

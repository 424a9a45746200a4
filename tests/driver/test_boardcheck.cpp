// Checks of a board before the first scan: gpib.conf read as linux-gpib reads it, the linux-gpib
// prerequisites, NI's own answer, and each set-up fault of the genuine library without a board,
// reproduced with the stub library.
#include "gpib/backends/loader.h"
#include "gpib/backends/ni488/boardcheck.h"
#include "gpib/backends/ni488/gpibconf.h"
#include "gpib/backends/ni488/ni488bus.h"
#include "gpib/discovery.h"
#include "gpib/link.h"
#include "stubcontrol.h"
#include "tests/support/fakes.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace vellumix;
using namespace vellumix::gpib;
using namespace vellumix::gpib::ni488;
using vellumix::test::StubControl;

namespace fs = std::filesystem;

namespace {
BusUri gpibBoard(int board) {
    BusUri uri;
    uri.board = board;
    return uri;
}
} // namespace

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The troubleshooting table of docs/drivers.md quotes each message (and variants of it) in its first
// column, with placeholders (X a file, N L F E numbers, K the boards configured, M,m a device, …):
// a message the program gives that the guide does not show is caught here.
const std::vector<std::regex>& documentedMessages() {
    static const std::vector<std::regex> patterns = [] {
        std::vector<std::regex> out;
        std::ifstream guide(std::string(VELLUMIX_SOURCE_DIR) + "/docs/drivers.md");
        const std::regex firstCell(R"re(^\| (.*?) \|)re");
        const std::regex quoted(R"re("([^"]+)")re");
        const std::regex special(R"([.^$|()\[\]{}*+?\\])");
        const std::vector<std::pair<std::regex, std::string>> placeholders = {
            {std::regex(R"(\b[NXLFEMm]\b)"), ".+"},          {std::regex(R"(gpibN)"), "gpib[0-9]+"},
            {std::regex(R"(board K)"), "boards? .+"},        {std::regex(R"(group gpib)"), "group .+"},
            {std::regex(R"(mode 0[0-7]+)"), "mode 0[0-7]+"}, {std::regex(" ?… ?"), ".*"},
        };
        for (std::string line; std::getline(guide, line);) {
            std::smatch cell;
            if (!std::regex_search(line, cell, firstCell)) continue;
            const std::string first = cell[1].str();
            for (std::sregex_iterator q(first.begin(), first.end(), quoted), end; q != end; ++q) {
                std::string text = std::regex_replace((*q)[1].str(), special, "\\$&");
                for (const auto& [from, to] : placeholders)
                    text = std::regex_replace(text, from, to);
                out.emplace_back(text);
            }
        }
        return out;
    }();
    return patterns;
}

// Whether the guide's table shows this message; the test machine's own root is left out of paths.
bool documented(std::string what, const std::string& root) {
    for (std::size_t at; (at = what.find(root)) != std::string::npos;)
        what.erase(at, root.size());
    for (const auto& pattern : documentedMessages())
        if (std::regex_search(what, pattern)) return true;
    return false;
}

// --- gpib.conf ---

TEST(GpibConf, ReadsWhatTheLibraryReadsAndStopsWhereItStops) {
    struct Case {
        const char* what;
        const char* text;
        bool valid;
        std::vector<int> boards; // when valid
        int line;                // when not
        const char* near;
        bool atEnd = false;
    };
    const std::vector<Case> cases = {
        {"empty file", "", true, {}, 0, ""},
        {"usb board with the usual settings",
         "/* bench */\ninterface {\n\tminor = 0\n\tboard_type = \"ni_usb_b\"\n\tpad = 0\n\tsad = 0\n"
         "\ttimeout = T3s\n\teos = 0x0a\n\tset-reos = yes\n\tset-bin = no\n\tset-eot = yes\n\tmaster = "
         "yes\n}\n",
         true,
         {0},
         0,
         ""},
        {"two boards and a device",
         "interface { minor = 1 board_type = ni_pci }\ninterface { minor = 0 board_type = \"agilent_82357a\" "
         "}\n"
         "device { minor = 0 name = \"scope\" pad = 7 init-flags = LLO, DCL autopoll timeout = 10s }\n",
         true,
         {1, 0},
         0,
         ""},
        {"old switches without =",
         "interface { minor = 0 set-reos yes set-bin no master yes }",
         true,
         {0},
         0,
         ""},
        {"comment over lines, then a setting without =",
         "/* one\ntwo */\ninterface {\n minor = 0\n pad 0\n}\n",
         false,
         {},
         5,
         "0"},
        {"minor not first",
         "interface {\n board_type = \"ni_pci\"\n minor = 0\n}\n",
         false,
         {},
         2,
         "board_type"},
        {"board index out of range", "interface {\n minor = 16\n}\n", false, {}, 2, "16"},
        {"block never closed", "interface {\n minor = 0\n", false, {}, 3, "", true},
        {"text never closed", "interface {\n minor = 0\n name = \"violet\n}\n", false, {}, 3, "\""},
        {"unknown setting", "interface {\n minor = 0\n colour = 1\n}\n", false, {}, 3, "colour"},
        {"set-eot needs =", "interface { minor = 0\n set-eot yes }", false, {}, 2, "yes"},
        {"hex number", "interface { minor = 0 eos = 0xZZ }", false, {}, 1, "0xZZ"},
        {"timeout codes and durations",
         "device { timeout = TNONE timo = T1000s timeout = 300ms }",
         true,
         {},
         0,
         ""},
        {"timeout code spelt like a duration", "device {\n timeout = Tnone\n}", false, {}, 2, "Tnone"},
        {"truth value as a timeout", "device {\n timeout = yes\n}", false, {}, 2, "yes"},
        {"same board twice", "interface { minor = 0 }\ninterface {\n minor = 0 }", false, {}, 3, "0"},
        {"stray word at the top", "interface { minor = 0 }\nboard { }", false, {}, 2, "board"},
        // Named as the file spells it, not as the library's lexer renames it.
        {"old spelling of DCL out of place",
         "interface {\n minor = 0\n set-clear\n}\n",
         false,
         {},
         3,
         "set-clear"},
        // An empty text is not the end of the file.
        {"empty text for a number", "interface {\n minor = 0\n pad = \"\"\n}\n", false, {}, 3, ""},
        // The library's lexer skips only blanks and tabs: a CR is a stray character, except inside a
        // comment or a text.
        {"Windows line ends", "/* bench */\r\ninterface {\r\n minor = 0\r\n}\r\n", false, {}, 1, "\r"},
        {"CR inside a comment and a text",
         "/* saved on Windows\r\n */\ninterface { minor = 0 name = \"a\rb\" }\n",
         true,
         {0},
         0,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const GpibConf conf = parseGpibConf(c.text);
        EXPECT_EQ(conf.valid, c.valid) << conf.errorExpected;
        if (c.valid) {
            std::vector<int> boards;
            for (const auto& i : conf.interfaces)
                boards.push_back(i.minor);
            EXPECT_EQ(boards, c.boards);
        } else {
            EXPECT_EQ(conf.errorLine, c.line);
            EXPECT_EQ(conf.errorNear, c.near);
            EXPECT_EQ(conf.errorAtEnd, c.atEnd);
            EXPECT_FALSE(conf.errorExpected.empty());
        }
    }
    EXPECT_EQ(parseGpibConf("interface { minor = 1 board_type = ni_pci }").find(1)->boardType, "ni_pci");

    const GpibConf crlf = parseGpibConf("interface {\r\n minor = 0\r\n}\r\n");
    EXPECT_TRUE(crlf.errorAtCarriageReturn);
    EXPECT_FALSE(parseGpibConf("interface {\n pad = 0\n}").errorAtCarriageReturn);
    // Where a board and its type are written, for messages that point there.
    const GpibConf two = parseGpibConf("interface { minor = 1 }\n\ninterface {\n minor = 0\n\n board_type =\n"
                                       " \"ni_pci\"\n}\n");
    ASSERT_TRUE(two.valid);
    EXPECT_EQ(two.find(0)->line, 4);
    EXPECT_EQ(two.find(0)->boardTypeLine, 6);
    EXPECT_EQ(two.find(1)->boardTypeLine, 0);
    const GpibConf dup = parseGpibConf("interface {\n minor = 0 }\ndevice { }\ninterface { minor = 0 }");
    EXPECT_EQ(dup.errorLine, 4);
    EXPECT_EQ(dup.duplicateOfLine, 2);
    EXPECT_EQ(dup.errorNear, "0");
}

// --- A scratch machine: configuration file, device nodes, loaded modules ---

class Machine {
public:
    Machine() : root_(scratch_.path()) {
        fs::create_directories(root_ / "dev");
        fs::create_directories(root_ / "sys" / "module");
        host.configFile = (root_ / "etc" / "gpib.conf").string();
        host.otherConfigFiles = {(root_ / "usr" / "local" / "etc" / "gpib.conf").string()};
        host.deviceNodePrefix = (root_ / "dev" / "gpib").string();
        host.procDevices = (root_ / "devices").string();
        host.procModules = (root_ / "modules").string();
        host.sysModule = (root_ / "sys" / "module").string();
        host.sysClass = (root_ / "sys" / "class").string();
        host.environment = [this](const std::string& name) -> std::optional<std::string> {
            if (name == "IB_CONFIG" && !ibConfig.empty()) return ibConfig;
            return std::nullopt;
        };
        host.openError = [this](const std::string& path) { return refused.count(path) ? refused[path] : 0; };
        host.processGroups = [this] { return inGroups; };
        host.accountGroups = [this] { return accountGroups; };
        write("modules", "ext4 1015808 1 - Live 0x0\n");
    }

    // Device nodes need mknod, which only root may do.
    static bool canMakeNodes() {
        const std::string probe =
            (fs::path(testing::TempDir()) / ("vellumix-mknod-" + std::to_string(::getpid()))).string();
        const bool made = ::mknod(probe.c_str(), S_IFCHR | 0600, makedev(160, 0)) == 0;
        ::unlink(probe.c_str());
        return made;
    }

    void write(const std::string& rel, const std::string& text) {
        fs::create_directories((root_ / rel).parent_path());
        std::ofstream(root_ / rel, std::ios::binary) << text;
    }
    std::string path(const std::string& rel) const { return (root_ / rel).string(); }
    std::string root() const { return root_.string(); }
    void config(const std::string& text) { write("etc/gpib.conf", text); }
    std::string nodePath(int board) const { return host.deviceNodePrefix + std::to_string(board); }
    // A GPIB node, as the driver's core creates it together with its device class.
    void node(int board, unsigned major = 160) {
        const std::string p = nodePath(board);
        ::unlink(p.c_str());
        if (::mknod(p.c_str(), S_IFCHR | 0660, makedev(major, static_cast<unsigned>(board))) != 0)
            ADD_FAILURE() << "mknod " << p << ": " << std::strerror(errno);
        if (major == 160) fs::create_directories(root_ / "sys" / "class" / "gpib_common");
    }
    void plainNode(int board) { write("dev/gpib" + std::to_string(board), ""); }
    // The kernel lists the driver's major but has no /proc/modules.
    void driverBuiltIn() {
        fs::remove(path("modules"));
        write("devices", "Character devices:\n  1 mem\n  4 tty\n160 gpib\n\nBlock devices:\n  8 sd\n");
    }
    void refuse(int board, int err) { refused[nodePath(board)] = err; }
    void giveNode(int board, unsigned gid, unsigned mode) {
        ASSERT_EQ(::chown(nodePath(board).c_str(), 0, gid), 0);
        ASSERT_EQ(::chmod(nodePath(board).c_str(), mode), 0);
    }

    LinuxGpibHost host;
    std::string ibConfig;
    std::map<std::string, int> refused;
    std::vector<unsigned> inGroups;
    std::vector<unsigned> accountGroups;

private:
    vellumix::test::ScratchDir scratch_{"host"}; // a folder of its own per machine, removed after
    fs::path root_;
};

const char* const UsbBoard0 = "interface {\n minor = 0\n board_type = \"ni_usb_b\"\n master = yes\n}\n";

TEST(LinuxGpibCheck, EachMissingPrerequisiteHasItsOwnMessageAndRemedy) {
    struct Case {
        const char* what;
        std::function<void(Machine&)> setUp;
        int board;
        std::vector<std::string> whatSays;
        std::vector<std::string> fixSays;
        bool needsNode = false;                     // mknod: root only
        std::vector<std::string> messageLacks = {}; // words that would mislead here
    };
    constexpr unsigned Bench = 4242; // a group the node is given to
    const std::vector<Case> cases = {
        {"no configuration file",
         [](Machine&) {},
         0,
         {"cannot find its configuration file", "etc/gpib.conf", "board 0"},
         {"gpib-user-tools", "sudo gpib_config --minor 0"}},
        {"IB_CONFIG names a missing file",
         [](Machine& m) { m.ibConfig = m.path("mine.conf"); },
         0,
         {"mine.conf", "(named by IB_CONFIG)"},
         {"Point IB_CONFIG at your gpib.conf"}},
        {"IB_CONFIG set but empty",
         [](Machine& m) {
             m.config(UsbBoard0);
             m.host.environment = [](const std::string&) { return std::optional<std::string>(""); };
         },
         0,
         {"configuration file \"\" (named by IB_CONFIG)"},
         {"Point IB_CONFIG"}},
        {"IB_CONFIG wins over the usual place",
         [](Machine& m) {
             m.config(UsbBoard0);
             m.write("mine.conf", "interface { minor = 3 }");
             m.ibConfig = m.path("mine.conf");
         },
         0,
         {"mine.conf", "configures board 3, not board 0"},
         {"--bus gpib:3"}},
        {"syntax error",
         [](Machine& m) { m.config("interface {\n minor = 0\n pad 0\n}\n"); },
         0,
         {"line 3 of its configuration file", "not \"0\""},
         {"Fix line 3 of", "gpib.conf"}},
        {"empty text where a number belongs",
         [](Machine& m) { m.config("interface {\n minor = 0\n pad = \"\"\n}\n"); },
         0,
         {"line 3 of its configuration file", "a number there, not \"\"."},
         {"Fix line 3 of"}},
        {"file ends inside a block",
         [](Machine& m) { m.config("interface {\n minor = 0\n"); },
         0,
         {"line 3 of its configuration file", "not the end of the file."},
         {"Fix line 3 of"}},
        {"no interface block",
         [](Machine& m) { m.config("device { minor = 0 pad = 7 }\n"); },
         0,
         {"configures no GPIB board"},
         {"minor = 0", "sudo gpib_config --minor 0"}},
        {"other boards only",
         [](Machine& m) { m.config("interface { minor = 0 }\ninterface { minor = 2 }\n"); },
         1,
         {"configures boards 0 and 2, not board 1"},
         {"--bus gpib:0", "minor = 1", "gpib_config --minor 1"}},
        {"module not loaded, known board type",
         [](Machine& m) { m.config(UsbBoard0); },
         0,
         {"kernel driver is not loaded", "gpib0 does not exist"},
         {"sudo modprobe ni_usb_gpib && sudo gpib_config --minor 0"}},
        {"module not loaded, unknown board type",
         [](Machine& m) { m.config("interface { minor = 0 board_type = \"homemade\" }"); },
         0,
         {"kernel driver is not loaded"},
         {"board_type \"homemade\"", "gpib_config --minor 0"}},
        {"module loaded, node missing",
         [](Machine& m) {
             m.config(UsbBoard0);
             m.write("modules",
                     "gpib_common 61440 1 ni_usb_gpib, Live 0x0\nni_usb_gpib 45056 0 - Live 0x0\n");
         },
         0,
         {"kernel driver is loaded, but", "gpib0 does not exist"},
         {"udev"}},
        {"module built in: only its sysfs folder",
         [](Machine& m) {
             m.config(UsbBoard0);
             fs::create_directories(m.path("sys/module/gpib_common"));
         },
         0,
         {"kernel driver is loaded, but"},
         {"udev"}},
        {"node left over, module not loaded",
         [](Machine& m) {
             m.config(UsbBoard0);
             m.node(0);
             fs::remove_all(m.path("sys/class/gpib_common"));
         },
         0,
         {"kernel driver is not loaded", "gpib0 exists, but no driver is behind it"},
         {"modprobe ni_usb_gpib"},
         true},
        {"node refused",
         [](Machine& m) {
             m.config(UsbBoard0);
             m.node(0);
             m.refuse(0, EACCES);
         },
         0,
         {"You may not open", "gpib0", "belongs to group", "only root"},
         {"usermod -aG", "98-gpib-generic.rules"},
         true},
        {"node fails otherwise",
         [](Machine& m) {
             m.config(UsbBoard0);
             m.node(0);
             m.refuse(0, EIO);
         },
         0,
         {"gpib0 cannot be opened", "Input/output error"},
         {"sudo dmesg | grep -i gpib"},
         true},
        {"node without a driver behind it, on a kernel without /proc/modules",
         [](Machine& m) {
             m.config(UsbBoard0);
             m.node(0);
             fs::remove(m.path("modules"));
             m.refuse(0, ENXIO);
         },
         0,
         {"kernel driver is not loaded", "gpib0 exists, but no driver is behind it"},
         {"Plug the adapter in", "sudo modprobe ni_usb_gpib && sudo gpib_config --minor 0"},
         true,
         {"Bad file descriptor", "No such device or address"}},
        {"/proc/devices lists the driver where /proc/modules is absent",
         [](Machine& m) {
             m.config(UsbBoard0);
             m.driverBuiltIn();
         },
         0,
         {"kernel driver is loaded, but", "gpib0 does not exist"},
         {"udev"}},
        {"major 160 among the block devices is not the driver",
         [](Machine& m) {
             m.config(UsbBoard0);
             fs::remove(m.path("modules"));
             m.write("devices", "Character devices:\n  1 mem\n\nBlock devices:\n160 gpib\n");
         },
         0,
         {"kernel driver is not loaded"},
         {"modprobe ni_usb_gpib"}},
        {"Windows line ends",
         [](Machine& m) { m.config("/* bench */\r\ninterface {\r\n minor = 0\r\n}\r\n"); },
         0,
         {"Windows line ends (CR LF)", "at the end of line 1"},
         {"sudo sed -i 's/\\r$//' ", "etc/gpib.conf, then run sudo gpib_config --minor 0"},
         false,
         {"not \""}},
        {"Windows line ends in the file IB_CONFIG names: no sudo, gpib_config told the file",
         [](Machine& m) {
             m.write("my conf/gpib.conf", "interface {\r\n minor = 0\r\n}\r\n");
             m.ibConfig = m.path("my conf/gpib.conf");
         },
         0,
         {"Windows line ends", "(named by IB_CONFIG)"},
         {"Convert it to Unix line ends: sed -i", "sudo gpib_config --file '",
          "my conf/gpib.conf' --minor 0"}},
        {"IB_CONFIG: sudo drops it, so gpib_config gets --file",
         [](Machine& m) {
             m.write("bench.conf", UsbBoard0);
             m.ibConfig = m.path("bench.conf");
         },
         0,
         {"kernel driver is not loaded"},
         {"sudo modprobe ni_usb_gpib && sudo gpib_config --file /", "bench.conf --minor 0"}},
        {"one board twice",
         [](Machine& m) {
             m.config("interface { minor = 0 }\ndevice { pad = 1 }\ninterface {\n minor = 0 }\n");
         },
         0,
         {"line 4 of its configuration file",
          "it configures board 0 a second time there (the first interface block for it is on line 1)"},
         {"Remove one of the two blocks"},
         false,
         {"not \"0\"", "already there"}},
        {"the template's board_type for a USB adapter user",
         [](Machine& m) { m.config("interface {\n minor = 0\n board_type = \"ni_pci\"\n}\n"); },
         0,
         {"kernel driver is not loaded"},
         {"sudo modprobe tnt4882", "board_type \"ni_pci\" on line 3 of", "etc/gpib.conf",
          "an NI GPIB-USB-HS is \"ni_usb_b\""}},
        {"no board_type at all",
         [](Machine& m) { m.config("interface { minor = 0 }"); },
         0,
         {"kernel driver is not loaded"},
         {"Give board 0 a board_type", "\"ni_usb_b\""}},
        {"the library's file missing, one at the other prefix",
         [](Machine& m) { m.write("usr/local/etc/gpib.conf", UsbBoard0); },
         0,
         {"cannot find its configuration file", "There is a", "usr/local/etc/gpib.conf",
          "but this linux-gpib library reads"},
         {"sudo mv ", "sudo gpib_config --minor 0"}},
        {"plain file where the node belongs",
         [](Machine& m) {
             m.config(UsbBoard0);
             m.plainNode(0);
         },
         0,
         {"gpib0 is not a GPIB device node: it is a plain file", "major number 160"},
         {"Remove it (sudo rm ", "sudo modprobe ni_usb_gpib && sudo gpib_config --minor 0"}},
        {"named pipe where the node belongs",
         [](Machine& m) {
             m.config(UsbBoard0);
             ASSERT_EQ(::mkfifo(m.nodePath(0).c_str(), 0660), 0);
         },
         0,
         {"is not a GPIB device node: it is a named pipe"},
         {"sudo rm "}},
        {"another driver's character device where the node belongs",
         [](Machine& m) {
             m.config(UsbBoard0);
             m.node(0, 4);
         },
         0,
         {"is not a GPIB device node: it is the character device 4,0 of another driver"},
         {"sudo rm "},
         true},
        {"in the group, but the node is mode 0600",
         [](Machine& m) {
             m.config(UsbBoard0);
             m.node(0);
             m.giveNode(0, Bench, 0600);
             m.refuse(0, EACCES);
             m.inGroups = {Bench};
             m.accountGroups = {Bench};
         },
         0,
         {"although you are in its group", "mode 0600 gives that group no access"},
         {"MODE=\"0660\"", "sudo udevadm control --reload && sudo udevadm trigger"},
         true,
         {"not in that group", "usermod"}},
        {"joined the group, session older",
         [](Machine& m) {
             m.config(UsbBoard0);
             m.node(0);
             m.giveNode(0, Bench, 0660);
             m.refuse(0, EACCES);
             m.accountGroups = {Bench};
         },
         0,
         {"(mode 0660)", "you joined that group after this session began"},
         {"Log out and in again", "newgrp"},
         true,
         {"usermod"}},
        {"not in the group, whose mode gives it nothing anyway",
         [](Machine& m) {
             m.config(UsbBoard0);
             m.node(0);
             m.giveNode(0, Bench, 0600);
             m.refuse(0, EACCES);
             m.inGroups = {1};
         },
         0,
         {"(mode 0600)", "you are not in that group, and its mode gives that group no access"},
         {"MODE=\"0660\"", "sudo usermod -aG 4242 $USER", "log out and in again"},
         true},
        {"not in the group",
         [](Machine& m) {
             m.config(UsbBoard0);
             m.node(0);
             m.giveNode(0, Bench, 0660);
             m.refuse(0, EACCES);
             m.inGroups = {1};
         },
         0,
         {"(mode 0660)", "you are not in that group"},
         {"then log out and in again: sudo usermod -aG 4242 $USER"},
         true},
    };
    const bool nodes = Machine::canMakeNodes();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsNode && !nodes) continue; // covered where the tests run as root
        Machine m;
        c.setUp(m);
        const auto problem = checkLinuxGpibBoard(c.board, m.host);
        ASSERT_TRUE(problem);
        EXPECT_EQ(problem->title, "linux-gpib Driver Error");
        for (const auto& part : c.whatSays)
            EXPECT_TRUE(contains(problem->what, part)) << part << " missing in: " << problem->what;
        for (const auto& part : c.fixSays)
            EXPECT_TRUE(contains(problem->fix, part)) << part << " missing in: " << problem->fix;
        for (const auto& part : c.messageLacks)
            EXPECT_FALSE(contains(problem->message(), part)) << part << " in: " << problem->message();
        // The messages point at the installed guide, never at a path inside the sources.
        EXPECT_FALSE(contains(problem->message(), " docs/drivers.md")) << problem->message();
        // Commands work as pasted: no full stop, comma or semicolon glued to their last word.
        EXPECT_FALSE(std::regex_search(problem->fix, std::regex(R"((--minor [0-9]+|\$USER)[.,;])")))
            << problem->fix;
        EXPECT_TRUE(documented(problem->what, m.root()))
            << "not in docs/drivers.md's table: " << problem->what;
    }

    if (!nodes) GTEST_SKIP() << "a usable board needs a device node, and only root may make one";
    Machine ready;
    ready.config(UsbBoard0);
    ready.node(0);
    EXPECT_FALSE(checkLinuxGpibBoard(0, ready.host)) << "a usable board must pass";
}

TEST(LinuxGpibCheck, ARefusedNodeNamesItsGroupAndTheWayIn) {
    const struct group* g = getgrnam("users");
    if (!g) g = getgrnam("nogroup");
    if (!g || ::geteuid() != 0) GTEST_SKIP() << "needs root and a group users or nogroup to give the node to";
    Machine m;
    m.config(UsbBoard0);
    m.node(0);
    m.refuse(0, EACCES);
    const std::string node = m.host.deviceNodePrefix + "0";
    ASSERT_EQ(::chown(node.c_str(), 0, g->gr_gid), 0);
    ASSERT_EQ(::chmod(node.c_str(), 0660), 0);
    const auto problem = checkLinuxGpibBoard(0, m.host);
    ASSERT_TRUE(problem);
    const std::string group = g->gr_name;
    EXPECT_TRUE(contains(problem->what, "group " + group + " (mode 0660)")) << problem->what;
    EXPECT_TRUE(contains(problem->fix, "sudo usermod -aG " + group + " $USER")) << problem->fix;
    EXPECT_TRUE(contains(problem->fix, "log out and in again")) << problem->fix;
}

// The library reads the gpib.conf its build compiled in: Debian's /etc, a source build's /usr/local/etc.
TEST(LinuxGpibCheck, TheConfigurationFileIsTheOneCompiledIntoTheLibrary) {
    Machine m;
    using namespace std::string_literals;
    struct Case {
        const char* what;
        std::string bytes;
        std::string file;
    };
    const std::vector<Case> cases = {
        {"source build",
         "\x7f"
         "ELF\0\0libgpib\0/usr/local/etc/gpib.conf\0failed to open"s,
         "/usr/local/etc/gpib.conf"},
        {"named twice alike", "\0/etc/gpib.conf\0x\0/etc/gpib.conf\0"s, "/etc/gpib.conf"},
        {"two different files: cannot tell", "\0/etc/gpib.conf\0/opt/etc/gpib.conf\0"s, ""},
        {"a sentence about the file", "\0see /etc/gpib.conf for the boards\0"s, ""},
        {"a relative name", "\0etc/gpib.conf\0"s, ""},
        {"nothing", "\0\0\0"s, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m.write("lib.so", c.bytes);
        EXPECT_EQ(libraryConfigFile(m.path("lib.so")), c.file);
    }
    EXPECT_EQ(libraryConfigFile(m.path("absent.so")), "");
    EXPECT_EQ(libraryConfigFile(STUB_GPIB_PATH), "/etc/gpib.conf");
    EXPECT_EQ(libraryConfigFile(STUB_GPIB_LOCAL_PATH), "/usr/local/etc/gpib.conf");

    // Opening the bus asks the loaded library, not a list of guesses.
    StubControl stub(STUB_GPIB_LOCAL_PATH);
    VirtualClock clock;
    m.ibConfig = m.path("absent.conf");
    m.host.configFile.clear();
    BusUri uri;
    const auto opened = openBus(uri, clock, DriverLibrarySearch{{STUB_GPIB_LOCAL_PATH}, false}, m.host);
    ASSERT_FALSE(opened.driver);
    EXPECT_TRUE(contains(opened.error, "or unset it to use /usr/local/etc/gpib.conf")) << opened.error;
}

TEST(LinuxGpibCheck, BoardTypesNameTheirKernelModules) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"ni_usb_b", "ni_usb_gpib"}, {"agilent_82357a", "agilent_82357a"},
        {"ni_pci", "tnt4882"},       {"cec_pci", "cec_gpib"},
        {"unheard_of", ""},          {"", ""}};
    for (const auto& [type, module] : cases)
        EXPECT_EQ(kernelModuleFor(type), module) << type;
}

// --- The genuine library's failures without a board, row by row ---

struct Row {
    const char* cause;
    std::function<void(Machine&, StubControl&)> setUp;
    int board;
    int iberr;  // what the library leaves after the scan's first call
    long count; // ... and its count
    std::vector<std::string> message;
    bool needsNode = false; // mknod: root only
};

void PrintTo(const Row& r, std::ostream* os) {
    *os << r.cause;
}

class NoBoardRow : public testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        if (GetParam().needsNode && !Machine::canMakeNodes())
            GTEST_SKIP() << "needs a device node, and only root may make one";
        stub.reset();
        GetParam().setUp(machine, stub);
        // The library finds its file through IB_CONFIG, as the check does.
        setenv("IB_CONFIG",
               machine.ibConfig.empty() ? machine.path("etc/gpib.conf").c_str() : machine.ibConfig.c_str(),
               1);
        machine.ibConfig = std::getenv("IB_CONFIG");
        stub.emulateLinuxGpib(machine.host.deviceNodePrefix);
    }
    void TearDown() override { unsetenv("IB_CONFIG"); }

    Machine machine;
    StubControl stub{STUB_GPIB_PATH};
    VirtualClock clock;
};

// Scanning anyway shows the same bare code for different causes: the status cannot tell them apart.
TEST_P(NoBoardRow, TheLibraryLeavesOnlyACodeThatDoesNotNameTheCause) {
    const Row& row = GetParam();
    std::string error;
    auto driver = Ni488Driver::load(STUB_GPIB_PATH, row.board, error);
    ASSERT_TRUE(driver) << error;
    test::FakeDesktop desktop;
    InstrumentLink link(*driver, desktop, clock);
    EXPECT_THROW(ScanBus(link, 1), test::ProgramEnded);
    EXPECT_EQ(link.iberr, row.iberr);
    EXPECT_EQ(link.ibcntl, row.count);
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_EQ(desktop.boxes[0].title, "Initialization Error " + std::to_string(row.iberr));
}

TEST_P(NoBoardRow, OpeningTheBusSaysWhatIsWrongInstead) {
    const Row& row = GetParam();
    const auto opened =
        openBus(gpibBoard(row.board), clock, DriverLibrarySearch{{STUB_GPIB_PATH}, false}, machine.host);
    ASSERT_FALSE(opened.driver);
    EXPECT_EQ(opened.title, "linux-gpib Driver Error");
    for (const auto& part : row.message)
        EXPECT_TRUE(contains(opened.error, part)) << part << " missing in:\n" << opened.error;
    EXPECT_FALSE(contains(opened.error, "Invalid argument")) << opened.error;
    EXPECT_TRUE(documented(opened.error, machine.root()))
        << "not in docs/drivers.md's table: " << opened.error;
}

const std::vector<Row> Rows = {
    {"no configuration file",
     [](Machine& m, StubControl&) { m.ibConfig = m.path("etc/gpib.conf"); },
     0,
     4,
     2,
     {"cannot find its configuration file"}},
    {"configuration file with a syntax error",
     [](Machine& m, StubControl&) { m.config("interface {\n minor = 0\n board_type = }\n"); },
     0,
     4,
     0,
     {"line 3", "Fix line 3"}},
    {"board 1 asked, only board 0 configured",
     [](Machine& m, StubControl&) { m.config(UsbBoard0); },
     1,
     4,
     0,
     {"configures board 0, not board 1", "--bus gpib:0"}},
    {"kernel module not loaded",
     [](Machine& m, StubControl&) { m.config(UsbBoard0); },
     0,
     0,
     EBADF,
     {"kernel driver is not loaded", "modprobe ni_usb_gpib"}},
    {"device node not permitted",
     [](Machine& m, StubControl& s) {
         m.config(UsbBoard0);
         m.node(0);
         m.refuse(0, EACCES);
         s.refuseNode(EACCES);
     },
     0,
     0,
     EBADF,
     {"You may not open", "usermod -aG"},
     true},
    // The open fails with ENXIO, which the library's status poll then reports as EBADF.
    {"device node without a driver behind it",
     [](Machine& m, StubControl& s) {
         m.config(UsbBoard0);
         m.node(0);
         fs::remove(m.path("modules"));
         m.refuse(0, ENXIO);
         s.setKernel(StubControl::NoDriver);
     },
     0,
     0,
     EBADF,
     {"kernel driver is not loaded", "exists, but no driver is behind it", "Plug the adapter in"},
     true},
    // gpib_config never ran, or ran while the adapter was unplugged: the node opens, every request
    // fails with ENODEV.
    {"module loaded, no board configured",
     [](Machine& m, StubControl& s) {
         m.config(UsbBoard0);
         m.node(0);
         m.driverBuiltIn();
         s.setKernel(StubControl::NoBoard);
     },
     0,
     0,
     ENODEV,
     {"kernel driver is loaded, but no board is configured on", "Plug the adapter in",
      "sudo gpib_config --file /", "gpib.conf --minor 0"},
     true},
    {"plain file at the node's path",
     [](Machine& m, StubControl&) {
         m.config(UsbBoard0);
         m.plainNode(0);
     },
     0,
     0,
     ENOTTY,
     {"is not a GPIB device node: it is a plain file", "sudo rm "}},
    {"configuration file with Windows line ends",
     [](Machine& m, StubControl&) {
         m.config("interface {\r\n minor = 0\r\n board_type = \"ni_usb_b\"\r\n}\r\n");
     },
     0,
     4,
     0,
     {"Windows line ends (CR LF)", "line 1", "sed -i 's/\\r$//'"}},
};

INSTANTIATE_TEST_SUITE_P(LinuxGpib, NoBoardRow, testing::ValuesIn(Rows));

class StubTest : public testing::Test {
protected:
    void SetUp() override {
        stub.reset();
        machine.config(UsbBoard0);
        if (Machine::canMakeNodes()) machine.node(0);
        setenv("IB_CONFIG", machine.path("etc/gpib.conf").c_str(), 1);
        stub.emulateLinuxGpib(machine.host.deviceNodePrefix);
    }
    void TearDown() override { unsetenv("IB_CONFIG"); }
    Machine machine;
    StubControl stub{STUB_GPIB_PATH};
    VirtualClock clock;
};

TEST_F(StubTest, IbdevFailureLivesInTheThreadStatusOnly) {
    setenv("IB_CONFIG", machine.path("absent.conf").c_str(), 1);
    std::string error;
    auto driver = Ni488Driver::load(STUB_GPIB_PATH, 0, error);
    ASSERT_TRUE(driver) << error;
    int32_t sta = 0, err = -1, cnt = 0, cntl = 0;
    ASSERT_EQ(driver->RegisterGpibGlobalsForThread(&sta, &err, &cnt, &cntl), 0);
    EXPECT_EQ(driver->ibdev(0, 1, 0, T1s, 1, 0), -1);
    EXPECT_EQ(sta, 0x8000);
    EXPECT_EQ(err, EDVR);
    EXPECT_EQ(cntl, ENOENT);
    EXPECT_EQ(stub.globalIberr(), 0) << "the process-wide copy is not updated on this path";
}

// Addresses above 30 crash linux-gpib's ibdev once its file is loaded: none may reach a driver.
TEST_F(StubTest, AddressesADriverCannotTakeNeverReachIt) {
    if (!Machine::canMakeNodes()) GTEST_SKIP() << "needs a device node, and only root may make one";
    std::string error;
    auto driver = Ni488Driver::load(STUB_GPIB_PATH, 0, error);
    ASSERT_TRUE(driver) << error;
    test::FakeDesktop desktop;
    InstrumentLink link(*driver, desktop, clock);
    int16_t ud = 0;
    link.ibdev(0, 1, 0, T1s, 1, 0, ud); // loads the configuration: the crash is armed

    struct Case {
        const char* what;
        std::function<void()> call;
    };
    // Through the link, which every backend sits behind.
    const std::vector<Case> linkCases = {
        {"ibdev pad 31", [&] { link.ibdev(0, 31, 0, T1s, 1, 0, ud); }},
        {"ibdev pad -1", [&] { link.ibdev(0, -1, 0, T1s, 1, 0, ud); }},
        {"ibdev sad 0x7F", [&] { link.ibdev(0, 5, 0x7F, T1s, 1, 0, ud); }},
        {"ibdev sad 5", [&] { link.ibdev(0, 5, 5, T1s, 1, 0, ud); }},
        {"ibpad 31", [&] { link.ibpad(ud, 31); }},
    };
    for (const Case& c : linkCases) {
        SCOPED_TRACE(c.what);
        const int before = stub.calls();
        c.call();
        EXPECT_EQ(stub.calls(), before);
        EXPECT_EQ(link.ibsta & ERR, ERR);
        EXPECT_EQ(link.iberr, EARG);
    }
    EXPECT_EQ(ud, -1);
    // And the backend itself, for any caller that skips the link.
    const int before = stub.calls();
    EXPECT_EQ(driver->ibdev(0, 200, 0, T1s, 1, 0), -1);
    EXPECT_EQ(driver->ibpad(3, 31) & 0x8000, 0x8000);
    EXPECT_EQ(stub.calls(), before);

    link.ibdev(0, 30, 0x7E, T1s, 1, 0, ud);
    EXPECT_EQ(stub.lastCall(), "ibdev") << "the highest valid addresses go through";
}

TEST_F(StubTest, TheStubCrashesLikeTheLibraryOnAnAddressAbove30) {
    using IbdevFn = int (*)(int, int, int, int, int, int);
    void* handle = dlopen(STUB_GPIB_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(handle);
    const auto ibdev = reinterpret_cast<IbdevFn>(dlsym(handle, "ibdev"));
    ASSERT_TRUE(ibdev);
    ibdev(0, 1, 0, 11, 1, 0);
    EXPECT_DEATH(ibdev(0, 31, 0, 11, 1, 0), "");
    dlclose(handle);
}

// --- NI: the library says which boards exist ---

TEST(NiCheck, AMissingBoardIsNamedWithTheBoardsThatExist) {
    struct Case {
        int mask;
        int board;
        bool problem;
        std::vector<std::string> parts;
    };
    const std::vector<Case> cases = {
        {0b101, 1, true, {"NI-488.2 has no GPIB board 1.", "It has boards 0 and 2.", "--bus gpib:0"}},
        {0b1000, 0, true, {"has no GPIB board 0", "It has board 3.", "--bus gpib:3"}},
        {0, 0, true, {"finds no GPIB board at all", "configuration utility"}},
        {0b10, 1, false, {}},
    };
    StubControl stub(STUB_NI4882_PATH);
    VirtualClock clock;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mask);
        stub.reset();
        stub.setBoards(c.mask);
        const auto opened = openBus(gpibBoard(c.board), clock, DriverLibrarySearch{{STUB_NI4882_PATH}, false},
                                    LinuxGpibHost{});
        EXPECT_EQ(!opened.driver, c.problem);
        if (!c.problem) continue;
        EXPECT_EQ(opened.title, "NI-488.2 Driver Error");
        for (const auto& part : c.parts)
            EXPECT_TRUE(contains(opened.error, part)) << part << " missing in:\n" << opened.error;
    }
    stub.reset();
}

} // namespace

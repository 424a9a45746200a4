// The USBTMC backend's real side on what this machine has: no usbtmc devices, so its error paths.
#include "gpib/backends/port.h"
#include "gpib/backends/usbtmc/pipe.h"
#include "gpib/backends/usbtmc/usbtmcbus.h"
#include "gpib/backends/usbtmc/usbtmcdriver.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vellumix::gpib::usbtmc {
namespace {

namespace fs = std::filesystem;

// The tests' scratch folder, as the strings the pipe takes.
struct TempDir {
    test::ScratchDir scratch{"usbtmc"};
    std::string path() const { return scratch.path().string(); }
    std::string file(const std::string& name, const std::string& text = "not a device") const {
        return scratch.file(name, text);
    }
};

// The port's answer for a node that is opened as the given user would open it. As root, a forked
// child drops to "nobody" so that file permissions count.
int openAsUnprivileged(const std::string& path) {
    if (geteuid() != 0) {
        const int fd = createDevicePipe()->open(path);
        return fd >= 0 ? 0 : fd;
    }
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
        const int fd = createDevicePipe()->open(path);
        _exit(fd >= 0 ? 0 : -fd);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 101;
    return code == 0 ? 0 : -code;
}

TEST(UsbtmcDevicePort, RefusesWhatIsNotAUsbtmcDevice) {
    TempDir dir;
    const std::string fifo = dir.path() + "/usbtmc1";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::pair<std::string, int>> cases = {
        {dir.path() + "/usbtmc9", -ENOENT}, // no such node: module not loaded, scope not connected
        {dir.file("usbtmc0"), -ENOTTY},     // an ordinary file
        {fifo, -ENOTTY},                    // a FIFO, which must not hang the open
        {"/dev/null", -ENOTTY},             // a character device of another kind
        {dir.path(), -EISDIR},
    };
    auto port = createDevicePipe(dir.path());
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(port->open(path), expected);
    }
}

TEST(UsbtmcDevicePort, PermissionDeniedIsReportedAsSuch) {
    TempDir dir;
    const std::string node = dir.file("usbtmc0");
    ASSERT_EQ(chmod(node.c_str(), 0600), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    EXPECT_EQ(openAsUnprivileged(node), geteuid() == 0 ? -EACCES : -ENOTTY);
}

TEST(UsbtmcDevicePort, ListsTheNodesInTheOrderOfTheirNumbers) {
    TempDir dir;
    for (const char* name : {"usbtmc10", "usbtmc2", "usbtmc", "usbtmcX", "ttyUSB0", "usbtmc0"})
        dir.file(name);
    std::vector<std::string> names;
    for (const std::string& p : createDevicePipe(dir.path())->listDevices())
        names.push_back(fs::path(p).filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"usbtmc0", "usbtmc2", "usbtmc10"}));
    EXPECT_TRUE(createDevicePipe(dir.path() + "/none")->listDevices().empty());
}

TEST(UsbtmcDevicePort, TheUserIsToldWhatToDoForEachCause) {
    TempDir dir;
    struct Case {
        const char* name;
        std::string device; // empty: every device in the folder
        bool withFile;
        std::vector<std::string> said;
    };
    const std::vector<Case> cases = {
        {"none present",
         {},
         false,
         {"No USBTMC device was found", "\"Computer\"", "modprobe usbtmc", "usbtmc:sim"}},
        {"named node missing",
         "/nonexistent/usbtmc0",
         false,
         {"cannot open /nonexistent/usbtmc0: it does not exist.", "modprobe usbtmc"}},
        {"present but not usbtmc", {}, true, {"usbtmc0: it is not a USBTMC device.", "/dev/usbtmc0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.withFile) dir.file("usbtmc0");
        UsbtmcDriver driver(createDevicePipe(dir.path()), c.device);
        const std::string message = driver.openDevices();
        for (const std::string& s : c.said)
            EXPECT_NE(message.find(s), std::string::npos) << message;
    }
    const std::string denied = deviceOpenFailure("/dev/usbtmc0", EACCES, usbtmcOpenHints());
    EXPECT_NE(denied.find("/dev/usbtmc0: permission denied."), std::string::npos) << denied;
    EXPECT_NE(denied.find("99-vellumix-usbtmc.rules"), std::string::npos) << denied;
    EXPECT_NE(deviceOpenFailure("/x", EIO, usbtmcOpenHints()).find("Input/output error"), std::string::npos);
}

TEST(UsbtmcBus, TheShippedUdevRuleGrantsTheUsbtmcNodes) {
    std::ifstream rule(std::string(VELLUMIX_SOURCE_DIR) + "/docs/99-vellumix-usbtmc.rules");
    ASSERT_TRUE(rule) << "docs/99-vellumix-usbtmc.rules is missing";
    std::string text((std::istreambuf_iterator<char>(rule)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("KERNEL==\"usbtmc[0-9]*\""), std::string::npos);
    EXPECT_NE(text.find("SUBSYSTEM==\"usbmisc\""), std::string::npos);
}

} // namespace
} // namespace vellumix::gpib::usbtmc

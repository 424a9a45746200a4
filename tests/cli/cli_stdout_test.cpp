// vellumix-cli as a process whose stdout fails: a reader that closed the pipe, a full disk, a closed
// descriptor. Every command must end with status 9 and say why on stderr, never die of SIGPIPE or
// report success.
#include "cli/exitstatus.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vellumix::cli {
namespace {

namespace fs = std::filesystem;

enum class Stdout { ClosedPipe, FullDisk, Closed };

struct Outcome {
    int status = -1; // exit status, or 128 + signal
    std::string err;
};

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

Outcome runWithStdout(Stdout kind, const std::vector<std::string>& args) {
    int errPipe[2];
    int outPipe[2];
    if (pipe(errPipe) != 0 || pipe(outPipe) != 0) return {};
    if (kind == Stdout::ClosedPipe) close(outPipe[0]); // the reader is gone before the first write
    const pid_t pid = fork();
    if (pid == 0) {
        // The test runner may ignore SIGPIPE, and exec keeps that: give the program the default.
        std::signal(SIGPIPE, SIG_DFL);
        dup2(errPipe[1], STDERR_FILENO);
        if (kind == Stdout::ClosedPipe) dup2(outPipe[1], STDOUT_FILENO);
        if (kind == Stdout::FullDisk) dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO);
        if (kind == Stdout::Closed) close(STDOUT_FILENO);
        std::vector<char*> argv{const_cast<char*>(VELLUMIX_CLI_PATH)};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(VELLUMIX_CLI_PATH, argv.data());
        _exit(127);
    }
    close(errPipe[1]);
    close(outPipe[1]);
    if (kind != Stdout::ClosedPipe) close(outPipe[0]);
    Outcome o;
    o.err = readAll(errPipe[0]);
    close(errPipe[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    o.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return o;
}

struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string what; // what could not be written
};

TEST(CliStdout, EveryCommandReportsAFailedStdout) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    const std::string bus = "sim:" + std::string(VELLUMIX_SOURCE_DIR) + "/tests/cli/data/cli-scope.json";
    const test::ScratchDir scratch("stdout");
    const fs::path file = scratch / "shot.png";
    const Case cases[] = {
        {"help", {"--help"}, "the help"},
        {"version", {"--version"}, "the version"},
        {"scan", {"--bus", bus, "scan"}, "the output"},
        {"query", {"--bus", bus, "query", "ID?"}, "the output"},
        {"identify", {"--bus", bus, "identify"}, "the output"},
        {"capture to stdout", {"--bus", bus, "capture", "--format", "PNG", "-o", "-"}, "the hard copy"},
        {"capture to a file",
         {"--bus", bus, "capture", "--format", "PNG", "-o", file.string()},
         "the file name " + file.string()},
    };
    const struct {
        Stdout kind;
        const char* name;
        const char* cause;
    } outs[] = {{Stdout::ClosedPipe, "closed pipe", "Broken pipe"},
                {Stdout::FullDisk, "full disk", "No space left on device"},
                {Stdout::Closed, "closed", "Bad file descriptor"}};
    for (const auto& out : outs) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(out.name) + ", " + c.name);
            const Outcome o = runWithStdout(out.kind, c.args);
            EXPECT_EQ(o.status, ExitWrite) << o.err;
            EXPECT_NE(o.err.find(c.what + " could not be written to stdout: " + out.cause), std::string::npos)
                << o.err;
        }
    }
    // The picture itself was written; only its name could not be told.
    EXPECT_TRUE(fs::exists(file));
    fs::remove(file);
}

} // namespace
} // namespace vellumix::cli

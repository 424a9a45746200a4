#pragma once
// Starts one of the virtual instrument programs as a child process, for tests, benchmarks and the
// demo, and stops it on destruction. Each prints where it serves on its first line.
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vellumix::tools {

class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args) {
        int out[2];
        if (::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            std::vector<std::string> copy = args;
            std::string path = program;
            std::vector<char*> argv{path.data()};
            for (auto& a : copy)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(path.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        FILE* f = ::fdopen(out[0], "r");
        char line[256] = {};
        if (f && std::fgets(line, sizeof line, f)) firstLine_ = line;
        if (!firstLine_.empty() && firstLine_.back() == '\n') firstLine_.pop_back();
        if (f) std::fclose(f);
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // What the program printed first; empty when it did not start.
    const std::string& firstLine() const { return firstLine_; }

private:
    pid_t pid_ = -1;
    std::string firstLine_;
};

} // namespace vellumix::tools

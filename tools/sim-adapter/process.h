#pragma once
// Starts vellumix-sim-adapter as a child process, for tests and benchmarks; stops it on
// destruction. Where it serves is the first line it prints.
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vellumix::simadapter {

class AdapterProcess {
public:
    AdapterProcess(const std::string& program, const std::vector<std::string>& args) {
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
        if (f && std::fgets(line, sizeof line, f)) where_ = line;
        if (!where_.empty() && where_.back() == '\n') where_.pop_back();
        if (f) std::fclose(f);
    }
    ~AdapterProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    AdapterProcess(const AdapterProcess&) = delete;
    AdapterProcess& operator=(const AdapterProcess&) = delete;

    // "prologix:127.0.0.1:PORT" or "prologix:/dev/pts/N"; empty when it did not start.
    std::string uri() const {
        if (where_.rfind("tcp ", 0) == 0 || where_.rfind("pty ", 0) == 0)
            return "prologix:" + where_.substr(4);
        return {};
    }
    // The TCP port, or 0.
    int port() const {
        const auto colon = where_.rfind(':');
        return where_.rfind("tcp ", 0) == 0 && colon != std::string::npos
                   ? std::stoi(where_.substr(colon + 1))
                   : 0;
    }

private:
    pid_t pid_ = -1;
    std::string where_;
};

} // namespace vellumix::simadapter

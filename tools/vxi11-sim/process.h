#pragma once
// Starts vellumix-vxi11-sim as a child process, for tests, benchmarks and the demo; stops it on
// destruction. Its ports are on the first line it prints.
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vellumix::vxi11sim {

class SimProcess {
public:
    SimProcess(const std::string& program, const std::vector<std::string>& args) {
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
        if (f && std::fgets(line, sizeof line, f))
            std::sscanf(line, "portmapper 127.0.0.1:%d core 127.0.0.1:%d abort 127.0.0.1:%d", &portmapper_,
                        &core_, &abort_);
        if (f) std::fclose(f);
    }
    ~SimProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    int portmapper() const { return portmapper_; }
    int core() const { return core_; }
    int abort() const { return abort_; }
    // "vxi11:127.0.0.1:CORE" plus "/DEVICE" when given; empty when it did not start.
    std::string uri(const std::string& device = {}) const {
        if (core_ == 0) return {};
        return "vxi11:127.0.0.1:" + std::to_string(core_) + (device.empty() ? "" : "/" + device);
    }

private:
    pid_t pid_ = -1;
    int portmapper_ = 0;
    int core_ = 0;
    int abort_ = 0;
};

} // namespace vellumix::vxi11sim

#pragma once
// Starts vellumix-vxi11-sim as a child process, for tests, benchmarks and the demo; stops it on
// destruction. Its ports are on the first line it prints.
#include "tools/childprocess.h"

#include <cstdio>
#include <string>
#include <vector>

namespace vellumix::vxi11sim {

class SimProcess : public tools::ChildProcess {
public:
    SimProcess(const std::string& program, const std::vector<std::string>& args)
        : ChildProcess(program, args) {
        std::sscanf(firstLine().c_str(), "portmapper 127.0.0.1:%d core 127.0.0.1:%d abort 127.0.0.1:%d",
                    &portmapper_, &core_, &abort_);
    }

    int portmapper() const { return portmapper_; }
    int core() const { return core_; }
    int abort() const { return abort_; }
    // "vxi11:127.0.0.1:CORE" plus "/DEVICE" when given; empty when it did not start.
    std::string uri(const std::string& device = {}) const {
        if (core_ == 0) return {};
        return "vxi11:127.0.0.1:" + std::to_string(core_) + (device.empty() ? "" : "/" + device);
    }

private:
    int portmapper_ = 0;
    int core_ = 0;
    int abort_ = 0;
};

} // namespace vellumix::vxi11sim

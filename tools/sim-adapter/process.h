#pragma once
// Starts vellumix-sim-adapter as a child process, for tests and benchmarks; stops it on
// destruction. Where it serves is the first line it prints.
#include "tools/childprocess.h"

#include <string>
#include <vector>

namespace vellumix::simadapter {

class AdapterProcess : public tools::ChildProcess {
public:
    using ChildProcess::ChildProcess;

    // "prologix:127.0.0.1:PORT" or "prologix:/dev/pts/N"; empty when it did not start.
    std::string uri() const {
        if (firstLine().rfind("tcp ", 0) == 0 || firstLine().rfind("pty ", 0) == 0)
            return "prologix:" + firstLine().substr(4);
        return {};
    }
    // The TCP port, or 0.
    int port() const {
        const auto colon = firstLine().rfind(':');
        return firstLine().rfind("tcp ", 0) == 0 && colon != std::string::npos
                   ? std::stoi(firstLine().substr(colon + 1))
                   : 0;
    }
};

} // namespace vellumix::simadapter

#pragma once
// A bus's pipe: what its message port talks through, the one seam onto the operating system, which
// the simulators and the tests put something else behind. Each bus names its own pipe after this
// one (usbtmc's device nodes: UsbtmcPipe); this is the plain byte stream that serial lines and
// sockets give, for any bus that runs over one ("++" controllers today). How a pipe is opened lives
// in one small file per platform beside the bus that uses it (prologix/posixpipe.cpp).
#include "gpib/clock.h"

#include <string>
#include <string_view>

namespace vellumix::gpib {

class BytePipe {
public:
    virtual ~BytePipe() = default;

    // Sends every byte; false when the connection is gone.
    virtual bool send(std::string_view bytes) = 0;

    enum class Received { Data, Timeout, Closed };
    // Waits until `deadline` (on the driver's clock) for bytes and appends what has arrived to out.
    // Data as soon as at least one byte came; Timeout when none came in time; Closed when the
    // other side went away (nothing more will ever come).
    virtual Received receive(std::string& out, Clock::duration deadline) = 0;
};

} // namespace vellumix::gpib

#pragma once
// The byte pipe to a "++" controller: a USB serial device or a TCP socket in a real run, an
// in-process virtual adapter on a virtual clock in tests.
#include "gpib/clock.h"

#include <string>
#include <string_view>

namespace vellumix::gpib::prologix {

class Transport {
public:
    virtual ~Transport() = default;

    // Sends every byte; false when the connection is gone.
    virtual bool send(std::string_view bytes) = 0;

    enum class Received { Data, Timeout, Closed };
    // Waits until `deadline` (on the driver's clock) for bytes and appends what has arrived to out.
    // Data as soon as at least one byte came; Timeout when none came in time; Closed when the
    // other side went away (nothing more will ever come).
    virtual Received receive(std::string& out, Clock::duration deadline) = 0;
};

} // namespace vellumix::gpib::prologix

#pragma once
// Opens a "++" controller named by a prologix bus URI: a serial device path, or HOST and PORT.
#include "gpib/clock.h"
#include "gpib/driver.h"

#include <memory>
#include <string>

namespace vellumix::gpib::prologix {

struct PrologixOpen {
    std::unique_ptr<GpibDriver> driver;
    std::string description; // e.g. "AR488 GPIB controller, ver. 0.53.04 on /dev/ttyUSB0"
    std::string error;       // when driver is null
};

// The Windows device path (\\.\COMn) of a serial port name COMn (any case, n from 1 to 255), or of
// such a device path itself; empty for anything else. From COM10 on only the device path opens.
std::string windowsSerialPath(const std::string& name);

// serialDevice non-empty: that device; otherwise a TCP connection to host:port.
PrologixOpen openPrologixBus(const std::string& serialDevice, const std::string& host, int port,
                             Clock& clock);

} // namespace vellumix::gpib::prologix

#pragma once
// Opening the byte pipe to a controller: a USB serial device (FTDI, CDC-ACM) or a TCP connection.
// One source file per platform defines these (posixpipe.cpp, win32pipe.cpp); CMake builds the one
// that fits.
#include "gpib/backends/pipe.h"

#include <memory>
#include <string>

namespace vellumix::gpib::prologix {

// What went wrong when opening, for the message box.
struct OpenFailure {
    std::string message;
};

// Opens a serial device raw, 8N1, 115200 baud (the speed AR488 and pyvisa-py use; the Prologix
// USB flavour ignores it). nullptr with a message naming the device and, when access is refused,
// the group that grants it.
std::unique_ptr<BytePipe> openSerialPipe(const std::string& device, Clock& clock, OpenFailure& failure);

// Connects to HOST:PORT within connectTimeout. nullptr with a message naming host and port.
std::unique_ptr<BytePipe> openTcpPipe(const std::string& host, int port, Clock::duration connectTimeout,
                                      Clock& clock, OpenFailure& failure);

} // namespace vellumix::gpib::prologix

#pragma once
// VISA resource names, as instrument scripts write them, read as the bus URI they come down to, so
// a user can paste what a script uses:
//   TCPIP[n]::HOST::INSTR               vxi11:HOST              (device inst0)
//   TCPIP[n]::HOST::DEVICE::INSTR       vxi11:HOST/DEVICE       (inst1, gpib0,5, ...)
//   TCPIP[n]::HOST::PORT::SOCKET        prologix:HOST:PORT      (a raw socket: a "++" controller)
//   GPIB[n]::PAD[::SAD]::INSTR          gpib:n                  (the scan finds the scope at PAD)
//   GPIB[n]::INTFC                      gpib:n
//   USB[n]::VID::PID::SERIAL[::IF]::INSTR  usbtmc               (every USBTMC scope present)
// The board number n is 0 when left out; names are matched without regard to case. HiSLIP and
// serial resources have no bus here and are refused with the reason.
#include <string>
#include <string_view>

namespace vellumix::gpib {

// For a text that is a VISA resource name: true with its bus URI in `bus`, or false with a
// user-readable reason. For any other text: true with `bus` left empty.
bool visaResourceToBus(std::string_view text, std::string& bus, std::string& error);

} // namespace vellumix::gpib

#pragma once
// What a backend without a GPIB board needs to look like one: timeout codes in milliseconds, the
// status words for a failed system call, and the wording of a device node that will not open.
// Shared by the backends that reach the instrument through a character device or a socket.
#include "gpib/driver.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vellumix::gpib {

// Milliseconds of a timeout code, rounded up to whole milliseconds (T10us gives 1). TNONE and codes
// outside the table give 0, which means "no limit".
int64_t timeoutMilliseconds(int code);
// What TNONE means on every bus without a board (simulated bus, adapters, USB devices): the longest
// code's 1000 s, as does any code outside the table. A board waits for ever there, while an adapter
// or a USB device that died, or a simulated instrument that never answers, must not hang the program.
int64_t boundedTimeoutMicroseconds(int code);
// The same in whole milliseconds, rounded up (T10us gives 1).
int64_t boundedTimeoutMilliseconds(int code);

// A call refused with an error code: ERR, the code, nothing moved.
CallStatus errorStatus(int16_t iberr);
// A finished transfer of `count` bytes: CMPL, plus END when the device's message ended with it.
CallStatus transferStatus(int32_t count, bool end);
// A failed system call, as linux-gpib reports one: ETIMEDOUT is a timeout (ERR|TIMO, EABO) with
// the bytes moved before it; anything else is an operating system error (ERR, EDVR) with the
// errno value as the count.
CallStatus errnoStatus(int errnum, int32_t moved = 0);

// What to tell the user about a device node of one kind that could not be opened.
struct DeviceOpenHints {
    std::string kind;       // "USBTMC device"
    std::string whenAbsent; // what to check when the node does not exist (ENOENT, ENODEV, ENXIO)
    std::string whenDenied; // how to get permission (EACCES, EPERM)
    std::string whenOther;  // the node exists but is not a device of this kind (ENOTTY and the rest)
};
// "Vellumix cannot open PATH: <cause>.\n\n<hint>" with the cause in the user's words.
std::string deviceOpenFailure(const std::string& path, int errnum, const DeviceOpenHints& hints);

// Whether ibdev's arguments are ones a board accepts: primary address 0 to MaxPrimaryAddress, secondary 0 or
// 0x60..0x7E, a timeout code of the table.
bool validDeviceArguments(int32_t pad, int32_t sad, int32_t tmo);

// The number of addresses before NOADDR in a FindLstn list; empty when an entry's primary address
// is above MaxPrimaryAddress or no NOADDR comes within a sane length (the driver answers EARG).
std::optional<int> addressListLength(const uint16_t* addrList);

} // namespace vellumix::gpib

#pragma once
// Driver constants and the folding of raw 32-bit driver words into the link's 16-bit words.
#include <cstdint>
#include <string>

namespace vellumix::gpib {

// Status bits.
inline constexpr int16_t ERR = static_cast<int16_t>(0x8000);
// ERR as a driver's 32-bit status word carries it (the 16-bit ERR above is negative).
inline constexpr int32_t ErrBit = 0x8000;
inline constexpr int16_t TIMO = 0x4000;
inline constexpr int16_t END = 0x2000;
inline constexpr int16_t CMPL = 0x0100;

// Timeout codes.
inline constexpr int16_t TNONE = 0;
inline constexpr int16_t T1s = 11;
inline constexpr int16_t T3s = 12;
inline constexpr int16_t T10s = 13;

// ibask option: the descriptor's timeout code.
inline constexpr int16_t IbaTMO = 3;

// End marker of a FindLstn address list.
inline constexpr int16_t NOADDR = -1;

// Error codes the link tells apart (all of them, with their texts, are in driverErrors()).
inline constexpr int16_t EDVR = 0;
inline constexpr int16_t ENOL = 2;
inline constexpr int16_t EARG = 4;
inline constexpr int16_t EABO = 6;
inline constexpr int16_t ENEB = 7;
inline constexpr int16_t ECAP = 11;
inline constexpr int16_t EFSO = 12;
inline constexpr int16_t EBUS = 14;
inline constexpr int16_t ETAB = 20;

// The highest primary address on a GPIB bus; 0 is the board itself, instruments take 1 up to it.
inline constexpr int MaxPrimaryAddress = 30;

// GPIB addresses a driver can take: primary 0 to MaxPrimaryAddress; secondary 0 for none, else
// 0x60 + (0 to 30).
constexpr bool validPrimaryAddress(int pad) {
    return pad >= 0 && pad <= MaxPrimaryAddress;
}
// "1 to 30": the addresses an instrument can be set to, for messages.
inline std::string instrumentAddressRange() {
    return "1 to " + std::to_string(MaxPrimaryAddress);
}
constexpr bool validSecondaryAddress(int sad) {
    return sad == 0 || (sad >= 0x60 && sad <= 0x7E);
}

// Fall-back values stored when status registration fails.
inline constexpr int32_t FallbackIbcntl = static_cast<int32_t>(0xDEAD37F0u);

// Keeps the low 16 bits and reads them as a signed 16-bit number (never saturates).
constexpr int16_t fold16(int32_t raw) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(raw) & 0xFFFFu));
}

// One driver error code: its short name and the text the error box shows.
struct DriverError {
    const char* name; // "EDVR", "EARG", ...; "" for a code the driver does not define
    const char* text; // "Operating system error."; "Unknown error." for an undefined code
};
// The driver's error codes 0 (EDVR) to 20 (ETAB), by code.
inline constexpr int DriverErrorCount = 21;
const DriverError* driverErrors();

// The driver's short name of an error code ("EDVR", "EARG", ...); "" for a code it does not define.
const char* errorName(int code);
// The error box's text of a code; "Unknown error." for one the driver does not define.
const char* errorText(int code);

// The largest timeout code, T1000s.
inline constexpr int MaxTimeoutCode = 17;

// Microseconds of a timeout code (0 = wait forever); codes outside the table give 0.
int64_t timeoutMicroseconds(int code);

} // namespace vellumix::gpib

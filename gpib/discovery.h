#pragma once
// The bus scan and the search for a device by its reply to an identification query.
#include "gpib/link.h"

#include <string>

namespace vellumix::gpib {

// Bytes of the probe read in the device search.
inline constexpr int ProbeChunk = 256;

// mode 1: every failure is fatal; 0: boxes only; -1: quiet when nobody listens.
void ScanBus(InstrumentLink& link, int16_t mode);
// Hands out a descriptor addressed to the first free listener whose reply to query matches
// expected (markers: "!" before query: no device clear; "!" after it: go on after a failed search;
// "!" before expected: quiet; "?" then: pause before each query; "!" after expected: exact match).
// 0 when none matched and the search was quiet or told to go on.
int16_t FindDeviceById(InstrumentLink& link, std::string& query, std::string& expected);
// A probe's reply as a search shows it; a probe whose read failed with the bus's own account of why
// (failure: failureDetail()) names the address and the cause, since an empty line tells nothing.
std::string receivedLine(const std::string& reply, int address, const std::string& failure);

} // namespace vellumix::gpib

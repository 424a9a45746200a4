#pragma once
// The driver error report: the box that offers to go on, with the error's text (status.h).
#include "gpib/link.h"

#include <string>

namespace vellumix::gpib {

// Shows the error box when the last call failed; Cancel ends the program, OK sets GpibErrorFlag.
void ReportGpibError(InstrumentLink& link);
// The driver keeps refusing the status registration, so no read can tell its length or end: says so
// and ends the program.
[[noreturn]] void DriverUnusable(InstrumentLink& link);

// The last call's error in words, for a user: "the driver reports error 0 (EDVR): Operating system
// error. System error 19: No such device." (the system's errno where the code carries one).
std::string driverErrorText(const InstrumentLink& link);

// Number format of message texts: a leading blank for values of 0 or more.
std::string numberText(long value);

} // namespace vellumix::gpib

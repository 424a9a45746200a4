#pragma once
// The exit statuses of vellumix-cli (docs/cli.md lists them for users and scripts).
#include "platform/desktop.h"

namespace vellumix::cli {

enum ExitStatus : int {
    ExitOk = 0,
    ExitUsage = 1,             // bad command line
    ExitBus = 2,               // bus URI invalid, driver library or scenario cannot be opened,
                               // or the driver does not report the status of its calls
    ExitScan = 3,              // no listeners, too many listeners, other scan failure
    ExitNoInstrument = 4,      // no listener matched the expected reply, or none at --address
    ExitUnsupportedModel = 5,  // the scope's model is not in the model table
    ExitIo = 6,                // a GPIB write failed, a read timed out or failed
    ExitNotOffered = 7,        // the model does not offer the format or the ink saver asked for
    ExitIncompletePicture = 8, // not a sound, whole picture of the format asked for (kept beside the target)
    ExitWrite = 9,             // the picture could not be written to its file or to stdout
    ExitNoTrigger = 10,        // --on-trigger: the trigger did not come within --trigger-timeout
    ExitInterrupted = 130,     // cancelled by SIGINT (Ctrl+C): nothing written for the capture in progress
    ExitTerminated = 143,      // cancelled by SIGTERM, the same way
};

// A cancelling signal's status: 128 + its number, as a shell reports a signal.
inline constexpr int SignalStatusBase = 128;

// What each status means, in the words of --help's list.
struct ExitStatusMeaning {
    ExitStatus status;
    const char* meaning;
};
inline constexpr ExitStatusMeaning ExitStatusMeanings[] = {
    {ExitOk, "done"},
    {ExitUsage, "usage"},
    {ExitBus, "bus or driver"},
    {ExitScan, "bus scan"},
    {ExitNoInstrument, "no matching instrument"},
    {ExitUnsupportedModel, "unsupported model"},
    {ExitIo, "GPIB I/O error"},
    {ExitNotOffered, "format or ink saver not offered"},
    {ExitIncompletePicture, "no whole picture (kept as NAME.rejected.EXT)"},
    {ExitWrite, "file or stdout write error"},
    {ExitNoTrigger, "no trigger within --trigger-timeout"},
    {ExitInterrupted, "cancelled by SIGINT (Ctrl+C)"},
    {ExitTerminated, "cancelled by SIGTERM"},
};

// The status a run ends with when the core ends the program.
constexpr int exitStatusFor(FatalReason reason) {
    switch (reason) {
    case FatalReason::NoListeners:
    case FatalReason::TooManyListeners:
    case FatalReason::ScanFailed:
        return ExitScan;
    case FatalReason::NotEnoughDevices:
    case FatalReason::IdNotFound:
        return ExitNoInstrument;
    case FatalReason::UnsupportedModel:
        return ExitUnsupportedModel;
    case FatalReason::NoDriver:
    case FatalReason::DriverUnusable:
        return ExitBus;
    case FatalReason::DeviceNotConfigured:
    case FatalReason::GpibErrorCancelled:
        return ExitIo;
    }
    return ExitIo;
}

} // namespace vellumix::cli

#pragma once
// vellumix-cli: the commands scan, query, identify and capture over the instrument link.
#include "cli/terminaldesktop.h"
#include "gpib/backends/schemes.h"
#include "gpib/clock.h"
#include "gpib/driver.h"

#include <ctime>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace vellumix::cli {

// What a run talks to. main fills it with the process's streams and clocks; tests with their own.
struct CliContext {
    CliContext(std::ostream& o, std::ostream& e, gpib::Clock& c) : out(o), err(e), clock(c) {}

    std::ostream& out; // data only: replies, listings, pictures with "-o -"
    std::ostream& err; // messages and the progress bar
    gpib::Clock& clock;
    bool progress = false;                          // draw a progress bar (stderr is a terminal)
    TerminalDesktop::EnvironmentLookup environment; // empty: the process environment
    std::function<std::tm()> localTime;             // for file names; empty: the system's local time
    gpib::GpibDriver* driver = nullptr;             // set: used instead of opening the chosen bus
    // Opens the chosen bus; empty: gpib::openBus. Tests put any driver behind any bus URI.
    std::function<gpib::BusOpenResult(const gpib::BusUri&, gpib::Clock&)> openBus;
};

// args without the program name; returns the exit status (exitstatus.h).
int runCli(const std::vector<std::string>& args, CliContext& context);

std::string helpText();
std::string versionText();

// Cancels the running command as the window's Cancel does: called from a SIGINT or SIGTERM
// handler (async-signal-safe), or by tests. The run then ends with 128 + signal, nothing written.
void cancelRun(int signal);
// The signal that cancelled, 0 when none; clearCancel forgets it (tests, between runs).
int cancelSignal();
void clearCancel();

// Flushes stdout; when what was written there did not arrive (a closed pipe, a full disk), says so on
// stderr, naming what and the cause, and gives ExitWrite. ExitOk otherwise.
int finishOutput(CliContext& context, const std::string& what = "the output");

} // namespace vellumix::cli

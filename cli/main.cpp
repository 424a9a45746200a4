// vellumix-cli: the command-line tool (docs/cli.md).
#include "cli/cli.h"
#include "cli/consoletext.h"

#include <csignal>
#include <iostream>

#ifdef _WIN32
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include "platform/fileio.h"
#else
#include <unistd.h>
#endif

namespace {

void onSignal(int signal) {
    vellumix::cli::cancelRun(signal);
}

#ifndef _WIN32

// Ctrl+C and SIGTERM cancel the capture the way the window's Cancel does: the bus is left ready and
// nothing half-written stays. The handler is used once: a second Ctrl+C ends the program at once,
// for a bus that does not come back.
void cancelOnSignals() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
#endif

} // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // Pictures go to stdout byte for byte: no CR added before each LF.
    _setmode(_fileno(stdout), _O_BINARY);
    const bool terminal = _isatty(_fileno(stderr)) != 0;
    const auto console = vellumix::cli::convertForConsole(std::cerr);
    // Ctrl+C cancels as on POSIX; the C library's handler is used once, as there.
    std::signal(SIGINT, onSignal);
#else
    const bool terminal = isatty(STDERR_FILENO) != 0;
    // A reader that closes the pipe early must not kill the tool silently: the write then fails
    // with EPIPE and the tool reports it with its documented status.
    std::signal(SIGPIPE, SIG_IGN);
    cancelOnSignals();
#endif
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
#ifdef _WIN32
    // argv is in the ANSI code page; file names are UTF-8 everywhere in the program.
    int count = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        args.clear();
        for (int i = 1; i < count; ++i)
            args.push_back(vellumix::utf8FromPath(std::filesystem::path(wide[i])));
        LocalFree(wide);
    }
#endif
    vellumix::gpib::MonotonicClock clock;
    vellumix::cli::CliContext context(std::cout, std::cerr, clock);
    context.progress = terminal;
    return vellumix::cli::runCli(args, context);
}

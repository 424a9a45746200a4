#include "cli/cli.h"

#include "buildversion.h"
#include "cli/commands.h"
#include "cli/exitstatus.h"
#include "cli/options.h"
#include "gpib/backends/busuri.h"
#include "gpib/backends/schemes.h"
#include "platform/environment.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace vellumix::cli {

namespace {

// What a signal handler may touch: lock-free atomics only.
std::atomic<int> pendingSignal{0};
std::atomic<gpib::InstrumentLink*> activeLink{nullptr};
static_assert(std::atomic<int>::is_always_lock_free &&
              std::atomic<gpib::InstrumentLink*>::is_always_lock_free);

// The link of the run in progress, for cancelRun; a signal that came before it existed applies to it.
class ActiveLink {
public:
    explicit ActiveLink(gpib::InstrumentLink& link) {
        activeLink.store(&link);
        if (pendingSignal.load() != 0) link.requestCancel();
    }
    ~ActiveLink() { activeLink.store(nullptr); }
    ActiveLink(const ActiveLink&) = delete;
    ActiveLink& operator=(const ActiveLink&) = delete;
};

} // namespace

void cancelRun(int signal) {
    pendingSignal.store(signal);
    if (gpib::InstrumentLink* link = activeLink.load()) link->requestCancel();
}

int cancelSignal() {
    return pendingSignal.load();
}

void clearCancel() {
    pendingSignal.store(0);
}

int finishOutput(CliContext& ctx, const std::string& what) {
    // The stream keeps no reason; the failed write() left it in errno (EPIPE, ENOSPC, EBADF ...). A
    // stream that failed earlier, while being filled, has its cause there already.
    if (ctx.out) errno = 0;
    ctx.out.flush();
    if (ctx.out) return ExitOk;
    const int cause = errno;
    ctx.err << Program << ": " << what << " could not be written to stdout"
            << (cause != 0 ? std::string(": ") + std::strerror(cause) : std::string()) << '\n'
            << std::flush;
    return ExitWrite;
}

std::string versionText() {
    return std::string(Program) + " " + std::to_string(build::versionMajor) + "." +
           std::to_string(build::versionMinor) + "." + std::to_string(build::versionPatch);
}

int runCli(const std::vector<std::string>& args, CliContext& ctx) {
    const gpib::BusArgument bus = gpib::findBusArgument(args);
    const auto usage = [&](const std::string& text) {
        ctx.err << Program << ": " << text << "\nTry 'vellumix-cli --help'.\n" << std::flush;
        return ExitUsage;
    };
    if (!bus.error.empty()) return usage(bus.error);

    const Parsed parsed = parseCommandLine(bus.remaining);
    switch (parsed.action) {
    case Parsed::Action::Usage:
        return usage(parsed.error);
    case Parsed::Action::Help:
        ctx.out << helpText();
        return finishOutput(ctx, "the help");
    case Parsed::Action::Version:
        ctx.out << versionText() << '\n';
        return finishOutput(ctx, "the version");
    case Parsed::Action::Run:
        break;
    }
    const Request& request = parsed.request;

    std::unique_ptr<gpib::GpibDriver> opened;
    gpib::GpibDriver* driver = ctx.driver;
    // A driver handed in (tests) stands for the default bus.
    std::string busName = gpib::busName(gpib::BusUri{});
    const gpib::BusScheme* scheme = &gpib::busScheme(gpib::BusUri{});
    if (!driver) {
        const std::optional<std::string> environment =
            ctx.environment ? ctx.environment(gpib::BusEnvironmentVariable)
                            : environmentVariable(gpib::BusEnvironmentVariable);
        const gpib::BusChoice choice = gpib::chooseBus(bus.value, environment);
        if (!choice.uri) {
            ctx.err << Program << ": " << choice.error << '\n' << std::flush;
            return ExitBus;
        }
        gpib::BusOpenResult result =
            ctx.openBus ? ctx.openBus(*choice.uri, ctx.clock) : gpib::openBus(*choice.uri, ctx.clock);
        if (!result.driver) {
            ctx.err << boxText(result.error, result.title) << '\n' << std::flush;
            return ExitBus;
        }
        busName = gpib::busName(*choice.uri);
        scheme = &gpib::busScheme(*choice.uri);
        opened = std::move(result.driver);
        driver = opened.get();
    }

    Run run(ctx, *driver, busName, *scheme);
    ActiveLink active(run.link());
    int status = ExitOk;
    try {
        if (request.command == "scan")
            status = run.scan();
        else if (request.command == "query")
            status = run.query(request);
        else if (request.command == "identify")
            status = run.identify(request);
        else
            status = run.capture(request);
    } catch (const ProgramEnd& end) {
        if (cancelSignal() == 0) run.explainEnd(end.reason);
        status = exitStatusFor(end.reason);
    }
    // A cancel outranks what the interrupted command made of it (a read that "failed").
    if (const int signal = cancelSignal(); signal != 0) {
        ctx.err << Program << ": cancelled" << (signal == SIGTERM ? " (SIGTERM)" : "")
                << "; nothing was written for the capture in progress\n"
                << std::flush;
        return SignalStatusBase + signal;
    }
    return status;
}

} // namespace vellumix::cli

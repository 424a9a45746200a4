#pragma once
// The commands of vellumix-cli over one opened bus: scan, query, identify and capture.
#include "capture/models.h"
#include "cli/cli.h"
#include "cli/options.h"
#include "cli/terminaldesktop.h"
#include "gpib/backends/schemes.h"
#include "gpib/discovery.h"
#include "gpib/link.h"

#include <string>

namespace vellumix::cli {

struct Scope {
    int16_t device = 0;
    int16_t address = 0;
    std::string model;
    capture::Capabilities caps;
};

class Run {
public:
    // busName: how messages name the bus, e.g. "GPIB board 1"; scheme: its row in schemes.h, for what
    // to check when nothing answers and which guide to read when a scan fails.
    Run(CliContext& context, gpib::GpibDriver& driver, std::string busName, const gpib::BusScheme& scheme)
        : ctx_(context), desktop_(context.err, context.environment), link_(driver, desktop_, context.clock),
          busName_(std::move(busName)), emptyBusHint_(scheme.emptyBusHint), scanGuide_(scheme.scanGuide) {}

    TerminalDesktop& desktop() { return desktop_; }
    gpib::InstrumentLink& link() { return link_; }

    int scan();
    int query(const Request& r);
    int identify(const Request& r);
    int capture(const Request& r);
    // After the core ended the run: what the window's box leaves out (the driver's own error, the
    // board that was used), on stderr.
    void explainEnd(FatalReason reason);

private:
    void fail(const std::string& text) { ctx_.err << Program << ": " << text << '\n' << std::flush; }
    void scanBus() {
        // As at the GUI's start-up: the timeout each handed-out descriptor gets, then a scan
        // whose every failure is fatal.
        link_.DeviceTimeout = gpib::T3s;
        gpib::ScanBus(link_, 1);
    }
    // The scan found the bus working but no instrument on it: says so.
    bool busIsEmpty();
    std::string driverError() const;
    int findScope(std::string expected, Scope& scope);
    // failure: the bus's account of why the probe failed, empty when it has none.
    std::string probeId(int16_t ud, int16_t address, std::string& failure);
    std::tm localTime() const;
    int deliver(const std::string& picture, const std::string& target);
    // Waits on the link's clock in short steps; false when cancelled meanwhile.
    bool pause(double seconds);
    int captureAll(const Request& r, const Scope& scope, const capture::HardCopyFormat& format);
    // Writes a repeat's picture under a name that is not taken yet (never replacing a file); target
    // gets the name used.
    int deliverNew(const std::string& picture, const std::string& base, const std::tm& time, bool numbered,
                   int& counter, std::string& target);
    // Writes under the first free name from base (never replacing a file); rejected: the bytes go
    // beside the name a good capture would have had (NAME.rejected.EXT). target: the name tried last.
    bool writeUnderFreeName(const std::string& picture, const std::string& base, const std::tm& time,
                            bool numbered, int& counter, bool rejected, std::string& target,
                            std::string& error);

    CliContext& ctx_;
    TerminalDesktop desktop_;
    gpib::InstrumentLink link_;
    std::string busName_;
    std::string emptyBusHint_;
    std::string scanGuide_;
};

} // namespace vellumix::cli

#include "capture/trigger.h"

#include "gpib/exchange.h"
#include "platform/text.h"

#include <algorithm>

namespace vellumix::capture {

namespace {

// The last word of a reply: a scope with HEADER ON puts the command's header before the value.
std::string value(const std::string& reply) {
    const auto space = reply.find_last_of(" \t");
    return upperAscii(space == std::string::npos ? reply : reply.substr(space + 1));
}

bool failed(gpib::InstrumentLink& link) {
    return link.cancelRequested() || link.lastReadFailed() || link.GpibErrorFlag != 0;
}

} // namespace

bool acquisitionStopped(const std::string& reply) {
    const std::string v = value(reply);
    return v == "0" || v == "STOP" || v == "OFF";
}

std::optional<AcquisitionSettings> queryAcquisition(gpib::InstrumentLink& link, int16_t device) {
    AcquisitionSettings s;
    s.stopAfter = value(gpib::QueryDevice(link, device, "ACQUIRE:STOPAFTER?"));
    if (failed(link) || s.stopAfter.empty()) return std::nullopt;
    s.state = value(gpib::QueryDevice(link, device, "ACQUIRE:STATE?"));
    if (failed(link) || s.state.empty()) return std::nullopt;
    return s;
}

void restoreAcquisition(gpib::InstrumentLink& link, int16_t device, const AcquisitionSettings& settings) {
    // The mode first: setting the state back to running under SEQUENCE would arm another single shot.
    gpib::WriteCommand(link, device, "ACQUIRE:STOPAFTER " + settings.stopAfter);
    gpib::WriteCommand(link, device, "ACQUIRE:STATE " + settings.state);
}

TriggerWait waitForTrigger(gpib::InstrumentLink& link, int16_t device, std::optional<double> timeoutSeconds) {
    using Duration = gpib::Clock::duration;
    auto& clock = link.clock();
    const auto start = clock.now();
    const bool limited = timeoutSeconds.has_value();
    const Duration limit =
        std::chrono::duration_cast<Duration>(std::chrono::duration<double>(timeoutSeconds.value_or(0)));
    gpib::WriteCommand(link, device, "ACQUIRE:STOPAFTER SEQUENCE");
    if (link.GpibErrorFlag != 0) return TriggerWait::Failed;
    gpib::WriteCommand(link, device, "ACQUIRE:STATE RUN");
    if (link.GpibErrorFlag != 0) return TriggerWait::Failed;
    for (;;) {
        const auto asked = clock.now();
        const std::string reply = gpib::QueryDevice(link, device, "ACQUIRE:STATE?");
        if (link.cancelRequested()) return TriggerWait::Cancelled;
        if (failed(link)) return TriggerWait::Failed;
        if (acquisitionStopped(reply)) return TriggerWait::Triggered;
        if (limited && clock.now() - start >= limit) return TriggerWait::TimedOut;
        // The rest of the interval in short steps, so that a cancel ends the wait at once.
        const auto next = asked + std::chrono::duration_cast<Duration>(TriggerPollInterval);
        for (auto now = clock.now(); now < next; now = clock.now()) {
            if (link.cancelRequested()) return TriggerWait::Cancelled;
            link.desktop().processEvents();
            clock.sleepFor(std::min<Duration>(next - now, std::chrono::milliseconds(20)));
        }
    }
}

} // namespace vellumix::capture

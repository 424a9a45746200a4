#pragma once
// Capture on trigger: arm the scope for one acquisition, wait until it has stopped, and put its
// acquisition settings back afterwards.
#include "gpib/link.h"

#include <chrono>
#include <optional>
#include <string>

namespace vellumix::capture {

// What ACQUIRE:STOPAFTER? and ACQUIRE:STATE? answered, to be sent back as they were.
struct AcquisitionSettings {
    std::string stopAfter; // RUNSTOP or SEQUENCE
    std::string state;     // 1 / 0 (or RUN / STOP)
};

// Asks the scope; nullopt when a query failed, was cancelled, or brought no answer.
std::optional<AcquisitionSettings> queryAcquisition(gpib::InstrumentLink& link, int16_t device);
void restoreAcquisition(gpib::InstrumentLink& link, int16_t device, const AcquisitionSettings& settings);

// How often the scope is asked whether its acquisition has stopped: gently, so that the polls do
// not keep a slow scope from acquiring.
inline constexpr std::chrono::milliseconds TriggerPollInterval{250};

enum class TriggerWait { Triggered, TimedOut, Cancelled, Failed };

// Arms a single acquisition (ACQUIRE:STOPAFTER SEQUENCE, ACQUIRE:STATE RUN) and polls ACQUIRE:STATE?
// on the link's clock until it reads 0. timeoutSeconds: none waits until the trigger or a cancel.
TriggerWait waitForTrigger(gpib::InstrumentLink& link, int16_t device, std::optional<double> timeoutSeconds);

// Whether a reply to ACQUIRE:STATE? says the acquisition has stopped ("0", "STOP", "OFF", with or
// without the header "ACQUIRE:STATE").
bool acquisitionStopped(const std::string& reply);

} // namespace vellumix::capture

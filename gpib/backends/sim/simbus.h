#pragma once
// The simulated GPIB bus: the board and simulated TDS scopes described by a scenario file.
#include "gpib/clock.h"
#include "gpib/driver.h"

#include <memory>
#include <string>

namespace vellumix::gpib::sim {

// Builds the simulated bus. scenarioPath empty: the default scenario (one TDS 3054B at address 1).
// On failure returns nullptr and puts a user-readable reason into error.
std::unique_ptr<GpibDriver> createSimBus(const std::string& scenarioPath, Clock& clock, std::string& error);

} // namespace vellumix::gpib::sim

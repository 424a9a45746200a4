#pragma once
// Opens the USBTMC backend a bus URI names: the kernel's devices, or simulated ones.
#include "gpib/backends/schemes.h"
#include "gpib/backends/simscope/scenario.h"
#include "gpib/clock.h"
#include "gpib/driver.h"

#include <memory>
#include <string>

namespace vellumix::gpib::usbtmc {

// device: one node, or empty for every usbtmc device present.
// description: "USBTMC /dev/usbtmc0 at address 1"; title UsbtmcErrorTitle on failure.
BusOpenResult openUsbtmcDevices(const std::string& device);
// Simulated scopes behind USBTMC; scenarioPath empty: one TDS 2024B on usbtmc0.
BusOpenResult openSimulatedUsbtmc(const std::string& scenarioPath, Clock& clock);

// One TDS 2024B on usbtmc0 whose BMP hard copy is 8 bits per pixel, 77,878 bytes, as the B
// models send it.
sim::Scenario defaultUsbtmcScenario();

} // namespace vellumix::gpib::usbtmc

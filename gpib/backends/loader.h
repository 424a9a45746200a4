#pragma once
// Opens the backend a bus URI names: the simulated bus, a "++" controller (Prologix, AR488), or
// the first GPIB driver library that loads.
#include "gpib/backends/busuri.h"
#include "gpib/backends/ni488/boardcheck.h"
#include "gpib/clock.h"
#include "gpib/driver.h"

#include <memory>
#include <string>
#include <vector>

namespace vellumix::gpib {

inline constexpr const char* DriverErrorTitle = "GPIB Driver Error";
inline constexpr const char* SimulatedBusErrorTitle = "Simulated Bus Error";
inline constexpr const char* AdapterErrorTitle = "GPIB Controller Error";
// A library path that replaces the built-in list of driver libraries.
inline constexpr const char* DriverLibraryVariable = "VELLUMIX_GPIB_LIBRARY";

struct DriverLibrarySearch {
    std::vector<std::string> libraries; // tried in this order
    bool fromEnvironment = false;       // the list is VELLUMIX_GPIB_LIBRARY alone
};

// The libraries a gpib URI tries on this platform, most likely first.
std::vector<std::string> defaultDriverLibraries();
// VELLUMIX_GPIB_LIBRARY when set and not empty, else defaultDriverLibraries().
DriverLibrarySearch driverLibrarySearch();

struct BusOpenResult {
    std::unique_ptr<GpibDriver> driver;
    std::string description; // what was opened, e.g. "libgpib.so.0, board 0"
    // When driver is null: a message for a critical box, and its title.
    std::string error;
    std::string title;
};

BusOpenResult openBus(const BusUri& uri, Clock& clock);
BusOpenResult openBus(const BusUri& uri, Clock& clock, const DriverLibrarySearch& search);
// host: where the board check of a linux-gpib library looks (see boardcheck.h). A library that loads
// but cannot use the board is reported like a missing one, with what is wrong and what to do.
BusOpenResult openBus(const BusUri& uri, Clock& clock, const DriverLibrarySearch& search,
                      const ni488::LinuxGpibHost& host);

} // namespace vellumix::gpib

#pragma once
// Where a gpib bus looks for the GPIB driver library it loads at run time.
#include <string>
#include <vector>

namespace vellumix::gpib {

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

} // namespace vellumix::gpib

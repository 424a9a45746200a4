#pragma once
// The table of buses: one row per bus URI scheme with the forms it accepts and their help, how it
// reads what follows the scheme, how messages name it, and how it opens. Parsing a URI, the list of
// forms in messages and in --help, and opening a bus all read these rows; the manual pages and the
// bash completion are checked against them.
#include "gpib/backends/busuri.h"
#include "gpib/backends/loader.h"
#include "gpib/clock.h"
#include "gpib/driver.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vellumix::gpib {

inline constexpr const char* DriverErrorTitle = "GPIB Driver Error";
inline constexpr const char* SimulatedBusErrorTitle = "Simulated Bus Error";
inline constexpr const char* AdapterErrorTitle = "GPIB Controller Error";
// Where the Debian package puts the guides (gzipped); the Windows zip has them beside the program.
inline constexpr const char* GuideFolder = "/usr/share/doc/vellumix/";

// What opening a bus gives: a driver, or what to tell the user instead.
struct BusOpenResult {
    std::unique_ptr<GpibDriver> driver;
    std::string description; // what was opened, e.g. "libgpib.so.0, board 0"
    // When driver is null: a message for a critical box, and its title.
    std::string error;
    std::string title;
    std::string name; // how messages name the bus, e.g. "GPIB board 0"
};

// One accepted form of a scheme: "gpib:N", what the list of forms adds to it ("with N from 0 to
// 15"), and one line of help.
struct BusForm {
    const char* text;
    std::string note;
    const char* help;
};

struct BusScheme {
    const char* name; // matched without regard to case; a parsed URI keeps it as its scheme
    std::vector<BusForm> forms;
    // Reads what follows "name:" (hasArgument false for the bare name) into uri; on failure says
    // why, as the end of "The bus "TEXT" ...".
    bool (*parse)(std::string_view argument, bool hasArgument, BusUri& uri, std::string& why);
    std::string (*text)(const BusUri& uri);
    // How messages name the bus ("GPIB board 1", "the simulated bus"), and what to check when no
    // instrument answers on it.
    std::string (*messageName)(const BusUri& uri);
    std::string emptyBusHint;
    // The guide to read when the bus scan fails, as it is shipped: "the troubleshooting table of the
    // GPIB driver guide, /usr/share/doc/vellumix/drivers.md.gz".
    std::string scanGuide;
    BusOpenResult (*open)(const BusUri& uri, Clock& clock, const DriverLibrarySearch& search);
};

// Every bus, in the order the help lists them.
const std::vector<BusScheme>& busSchemes();
// The row of a scheme name (any case), or nullptr.
const BusScheme* findBusScheme(std::string_view name);
// The row a parsed URI belongs to.
const BusScheme& busScheme(const BusUri& uri);

// "sim, sim:FILE.json, gpib, gpib:N with N from 0 to 15, ... or usbtmc:sim:FILE.json"
std::string busForms();
// How messages name the bus of a URI.
std::string busName(const BusUri& uri);

// Opens the bus a URI names; the result's name is busName(uri).
BusOpenResult openBus(const BusUri& uri, Clock& clock);
BusOpenResult openBus(const BusUri& uri, Clock& clock, const DriverLibrarySearch& search);

} // namespace vellumix::gpib

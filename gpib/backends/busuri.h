#pragma once
// Which bus backend a run uses: "sim", "sim:FILE.json", "gpib", "gpib:N", "prologix:/dev/DEVICE",
// "prologix:HOST[:PORT]", "usbtmc", "usbtmc:/dev/usbtmcN", "usbtmc:sim", "usbtmc:sim:FILE.json" or
// "vxi11:HOST[:PORT][/DEVICE]", or a VISA resource name that maps onto one of them (visaname.h), taken
// from --bus on the command line, else from VELLUMIX_BUS, else "gpib".
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumix::gpib {

inline constexpr const char* GpibScheme = "gpib";
inline constexpr const char* DefaultBusUri = GpibScheme;
inline constexpr const char* BusEnvironmentVariable = "VELLUMIX_BUS";
inline constexpr const char* BusOption = "--bus";
inline constexpr int MaxBoardIndex = 15;

struct BusUri {
    std::string scheme = GpibScheme; // the name of its row in schemes.cpp, in lower case
    std::string scenarioPath;        // Sim, simulated Usbtmc: empty for the default scenario
    int board = 0;                   // Gpib: board index 0..15
    std::string device{};            // Prologix over USB serial: the device path; Usbtmc: one device node
                                     // (empty for every one present); Vxi11: the link name
    std::string host{};              // Prologix over TCP, Vxi11: host name or address ...
    int port = 0;                    // ... and port (Vxi11: the core channel's, 0 to ask the portmapper)
    bool simulated = false;          // Usbtmc: simulated scopes instead of the kernel's devices

    std::string toString() const; // as its row in schemes.h writes it
    bool operator==(const BusUri&) const = default;
};

// Parses a bus URI by the table of buses (schemes.h); the scheme is case-insensitive. On failure puts
// a user-readable reason into error.
std::optional<BusUri> parseBusUri(std::string_view text, std::string& error);

// The --bus option found in an argument list ("--bus URI" or "--bus=URI"; the last one wins; "--"
// ends the options). The caller's list is left alone; remaining is the list without the option.
struct BusArgument {
    std::optional<std::string> value;
    std::vector<std::string> remaining;
    std::string error; // non-empty when --bus has no value
};
BusArgument findBusArgument(const std::vector<std::string>& args);
BusArgument findBusArgument(int argc, const char* const* argv);

// The chosen bus and where its text came from ("--bus", "VELLUMIX_BUS" or "default").
struct BusChoice {
    std::optional<BusUri> uri;
    std::string origin;
    std::string error; // user-readable, names the origin; set when uri is empty
};
// commandLine wins over environment; an empty environment value counts as unset.
BusChoice chooseBus(const std::optional<std::string>& commandLine,
                    const std::optional<std::string>& environment);
// Looks in args for --bus and in the process environment for VELLUMIX_BUS.
BusChoice chooseBus(const std::vector<std::string>& args);

} // namespace vellumix::gpib

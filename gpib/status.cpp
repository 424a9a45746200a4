#include "gpib/status.h"

#include <array>

namespace vellumix::gpib {

int64_t timeoutMicroseconds(int code) {
    // NI-488.2 timeout codes TNONE .. T1000s.
    static constexpr std::array<int64_t, 18> table = {
        0,      10,     30,      100,     300,      1000,     3000,      10000,     30000,
        100000, 300000, 1000000, 3000000, 10000000, 30000000, 100000000, 300000000, 1000000000};
    if (code < 0 || code >= static_cast<int>(table.size())) return 0;
    return table[static_cast<std::size_t>(code)];
}

namespace {

constexpr const char* Unknown = "Unknown error.";

// By code; the gaps are codes the driver does not define. The texts are the ones users have always
// seen in the error box, spelling included.
constexpr std::array<DriverError, DriverErrorCount> Errors = {{
    {"EDVR", "Operating system error."},
    {"ECIC", "Function requires GPIB board to be CIC."},
    {"ENOL", "No listener on write function."},
    {"EADR", "GPIB board not addressed correctly."},
    {"EARG", "Invalid argument to function call."},
    {"ESAC", "GPIB board not system controller as required."},
    {"EABO", "I/O operation aborted - timeout."},
    {"ENEB", "Non-existent GPIB board."},
    {"EDMA", Unknown},
    {"", Unknown},
    {"EOIP", "Asynchronous I/O in progress."},
    {"ECAP", "No capability for operation."},
    {"EFSO", "File system error."},
    {"", Unknown},
    {"EBUS", "GPIB bus eror."},
    {"ESTB", "Serial poll status queue owerflow."},
    {"ESRQ", "SRQ stuck in on position."},
    {"", Unknown},
    {"", Unknown},
    {"", Unknown},
    {"ETAB", "Table problem."},
}};

const DriverError& errorOf(int code) {
    static constexpr DriverError undefined{"", Unknown};
    if (code < 0 || code >= DriverErrorCount) return undefined;
    return Errors[static_cast<std::size_t>(code)];
}

} // namespace

const DriverError* driverErrors() {
    return Errors.data();
}

const char* errorName(int code) {
    return errorOf(code).name;
}

const char* errorText(int code) {
    return errorOf(code).text;
}

} // namespace vellumix::gpib

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

const char* errorName(int code) {
    static constexpr std::array<const char*, 21> names = {
        "EDVR", "ECIC", "ENOL", "EADR", "EARG", "ESAC", "EABO", "ENEB", "EDMA", "",    "EOIP",
        "ECAP", "EFSO", "",     "EBUS", "ESTB", "ESRQ", "",     "",     "",     "ETAB"};
    if (code < 0 || code >= static_cast<int>(names.size())) return "";
    return names[static_cast<std::size_t>(code)];
}

} // namespace vellumix::gpib

#include "platform/environment.h"

#include <cstdlib>

#ifdef _WIN32
#include "platform/winsystem.h"
#endif

namespace vellumix {

std::optional<std::string> environmentVariable(const char* name) {
#ifdef _WIN32
    const wchar_t* value = _wgetenv(widen(name).c_str());
    if (!value) return std::nullopt;
    return narrow(value);
#else
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
#endif
}

} // namespace vellumix

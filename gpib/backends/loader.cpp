#include "gpib/backends/loader.h"

#include <cstdlib>

namespace vellumix::gpib {

std::vector<std::string> defaultDriverLibraries() {
#ifdef _WIN32
    return {"ni4882.dll", "gpib-32.dll"};
#else
    return {"libgpib.so.0", "libni4882.so", "libgpibapi.so"};
#endif
}

DriverLibrarySearch driverLibrarySearch() {
    const char* path = std::getenv(DriverLibraryVariable);
    if (path && *path) return {{path}, true};
    return {defaultDriverLibraries(), false};
}

} // namespace vellumix::gpib

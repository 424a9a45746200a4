#include "gpib/backends/loader.h"

#include "platform/environment.h"

#ifdef _WIN32
#include "platform/winsystem.h"

#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace vellumix::gpib {

std::vector<std::string> defaultDriverLibraries() {
#ifdef _WIN32
    // NI-488.2's current library first; gpib-32.dll is the older name NI and other vendors still ship.
    return {"ni4882.dll", "gpib-32.dll"};
#else
    return {"libgpib.so.0", "libni4882.so", "libgpibapi.so"};
#endif
}

DriverLibrarySearch driverLibrarySearch() {
    const std::optional<std::string> path = environmentVariable(DriverLibraryVariable);
    if (path && !path->empty()) return {{*path}, true};
    return {defaultDriverLibraries(), false};
}

#ifdef _WIN32

namespace {

// The system's own words for a loader error, with its number for a search on the web.
std::string systemMessage(DWORD code) {
    std::string text = windowsErrorText(code);
    if (code == ERROR_MOD_NOT_FOUND && text.empty()) text = "not found";
    if (code == ERROR_BAD_EXE_FORMAT && text.empty()) text = "not a 64-bit Windows library";
    return (text.empty() ? std::string("cannot be loaded") : text) + " (Windows error " +
           std::to_string(code) + ")";
}

} // namespace

SharedLibrary::~SharedLibrary() {
    if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
}

bool SharedLibrary::open(const std::string& path, std::string& error) {
    // No "cannot find the DLL" box from the system: the report says it instead.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    handle_ = LoadLibraryW(widen(path).c_str());
    const DWORD code = handle_ ? 0 : GetLastError();
    SetErrorMode(previous);
    if (!handle_) error = systemMessage(code);
    return handle_ != nullptr;
}

void* SharedLibrary::symbol(const char* name) const {
    if (!handle_) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

#else

SharedLibrary::~SharedLibrary() {
    if (handle_) dlclose(handle_);
}

bool SharedLibrary::open(const std::string& path, std::string& error) {
    dlerror();
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        error = why ? why : "cannot be opened";
    }
    return handle_ != nullptr;
}

void* SharedLibrary::symbol(const char* name) const {
    return handle_ ? dlsym(handle_, name) : nullptr;
}

#endif

void LibraryAttempts::add(const std::string& library, const std::string& why) {
    // dlerror() starts with the path already.
    const bool named = why.rfind(library + ": ", 0) == 0;
    text_ += "\n    " + library + ": " + (named ? why.substr(library.size() + 2) : why);
}

} // namespace vellumix::gpib

#pragma once
// Where a gpib bus looks for the GPIB driver library it loads at run time, how it opens one, and the
// report of every library it tried.
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

// A shared library opened at run time (dlopen, LoadLibraryW), closed with the object.
class SharedLibrary {
public:
    SharedLibrary() = default;
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Opens path (UTF-8; a bare file name is looked up the system's way). False with the system's
    // reason in error (dlerror() puts the path in front of it, Windows does not).
    bool open(const std::string& path, std::string& error);
    // The exported symbol, nullptr when there is none (or nothing is open).
    void* symbol(const char* name) const;

private:
    void* handle_ = nullptr;
};

// The libraries a search tried and why each failed, one indented line each, for the message that
// says no driver could be loaded.
class LibraryAttempts {
public:
    void add(const std::string& library, const std::string& why);
    bool empty() const { return text_.empty(); }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

} // namespace vellumix::gpib

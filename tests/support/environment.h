#pragma once
// setenv/unsetenv for tests that also run on Windows, where the C library names them otherwise.
#include <cstdlib>

#ifdef _WIN32
inline int setenv(const char* name, const char* value, int) {
    return _putenv_s(name, value);
}
// An empty value removes the variable there.
inline int unsetenv(const char* name) {
    return _putenv_s(name, "");
}
#endif

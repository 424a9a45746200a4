#pragma once
// Windows' side of text and errors: UTF-8 (every string of this program) to and from the UTF-16 the
// system calls take, and the system's own words for an error code. Windows builds only.
#ifdef _WIN32
#include <string>
#include <string_view>

namespace vellumix {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);
// FormatMessage's text for a GetLastError() code, without its trailing full stop and line end; empty
// when the system has none.
std::string windowsErrorText(unsigned long code);

} // namespace vellumix
#endif

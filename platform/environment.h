#pragma once
// The process environment as UTF-8, like every other string of this program. Windows keeps the
// variables in UTF-16; std::getenv would hand them over in the ANSI code page instead.
#include <optional>
#include <string>

namespace vellumix {

// The variable's value, or nothing when it is not set.
std::optional<std::string> environmentVariable(const char* name);

} // namespace vellumix

#pragma once
// Serving the virtual adapter to one client at a time until the process ends: on a pseudo-terminal
// (POSIX) or on 127.0.0.1:port (0: any free port). The first line on stdout says where. One
// implementation per platform: serve_posix.cpp, serve_win32.cpp (TCP only).
#include "tools/sim-adapter/emulator.h"

#include <string>

namespace vellumix::simadapter {

[[noreturn]] void fail(const std::string& why);

int serve(AdapterEmulator& adapter, bool pty, int port);

} // namespace vellumix::simadapter

#pragma once
// The hard copy command sequence, shared by the main window and the command-line tool.
#include "gpib/exchange.h"
#include "picture/completeness.h"

#include <functional>
#include <string>
#include <vector>

namespace vellumix::capture {

// The six set-up commands, in the order they are sent; "HARDCOPY START" follows as a query.
// portWord is the port the picture comes back on: the link's driver knows it ("GPIB", or "USB"
// for a scope on its USB device port, which sends the picture nowhere else).
std::vector<std::string> hardCopySetupCommands(const std::string& formatWord, bool inkSaverOn,
                                               const std::string& portWord = "GPIB");
inline constexpr const char* HardCopyStart = "HARDCOPY START";

// Sends the set-up commands and asks for the picture. beforePort runs just before the last set-up
// command ("HARDCOPY:PORT GPIB", or USB): the window sets its busy pointer there. Returns the picture's
// bytes exactly as the scope sent them, or empty after a failed write or read.
std::string requestHardCopy(gpib::InstrumentLink& link, int16_t device, const std::string& formatWord,
                            bool inkSaverOn, const std::function<void()>& beforePort = {},
                            const gpib::ReadProgress& progress = {});

// What a capture makes of the scope's bytes. Only a sound, whole picture of the format asked for
// becomes the current hard copy; anything else is kept aside for inspection and the earlier file stays.
struct HardCopyVerdict {
    picture::PictureCheck check;
    bool good = false;
    // Why not, in the words both the window and the command-line tool use: "the scope sent 10 bytes
    // that are not a BMP picture", "the hard copy is incomplete: 20000 of 38462 bytes came".
    std::string problem;
};
HardCopyVerdict judgeHardCopy(std::string_view bytes, picture::PictureKind asked);

// Where rejected bytes are kept beside a target: "shot.bmp" -> "shot.rejected.bmp".
std::string rejectedPath(const std::string& target);

} // namespace vellumix::capture

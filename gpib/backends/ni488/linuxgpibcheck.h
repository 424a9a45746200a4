#pragma once
// What the two halves of the linux-gpib board check share: the configuration file's check
// (boardcheck.cpp) hands the board's interface block to the device node's check (nodecheck.cpp).
#include "gpib/backends/ni488/boardcheck.h"
#include "gpib/backends/ni488/gpibconf.h"

#include <functional>
#include <optional>
#include <string>

namespace vellumix::gpib::ni488::linuxgpib {

inline constexpr const char* ConfigVariable = "IB_CONFIG";

// A path as a shell takes it when pasted.
std::string shellWord(const std::string& text);

// What the checks found out about the configuration, for the commands they give.
struct ConfigUse {
    std::string file;   // as shown to the user
    bool named = false; // by IB_CONFIG: sudo resets the environment, so gpib_config needs --file
    std::string via() const {
        return named ? " (named by " + std::string(ConfigVariable) + ")" : std::string();
    }
    std::string configure(int board) const {
        return "sudo gpib_config " + (named ? "--file " + shellWord(file) + " " : std::string()) +
               "--minor " + std::to_string(board);
    }
};

BoardProblem linuxProblem(std::string what, std::string fix);

// Once the configuration file configures the board: its kernel driver, its device node and the
// node's access, then what the library itself answers about the board (probe, when given).
std::optional<BoardProblem> checkNode(int board, const LinuxGpibHost& host, const GpibConfInterface& entry,
                                      const ConfigUse& cfg, const std::function<BoardAnswer()>& probe);

} // namespace vellumix::gpib::ni488::linuxgpib

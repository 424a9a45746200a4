#pragma once
// The command line of vellumix-cli: one table of commands and options from which both the parser
// and the help text are made, so the two cannot drift apart.
#include "capture/formats.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vellumix::cli {

inline constexpr const char* Program = "vellumix-cli";
inline constexpr const char* DefaultExpect = "TDS";

// What a command was asked to do, checked before the bus is opened so that a mistyped command
// line costs no bus time and says the same with or without a bus.
struct Request {
    std::string command;
    std::string text;               // query
    std::optional<int16_t> address; // query
    std::string expect = DefaultExpect;
    std::optional<capture::HardCopyFormat> format;
    bool inkSaver = false;
    std::string output; // empty: the default name
    long count = 1;
    double interval = 0;
    bool onTrigger = false;
    std::optional<double> triggerTimeout; // none: wait until the trigger or a cancel
};

// What the arguments after the global options ask for.
struct Parsed {
    enum class Action { Run, Help, Version, Usage } action = Action::Usage;
    Request request;   // Run
    std::string error; // Usage: what is wrong
};

// args: the command line without the program name and without --bus (see busuri.h).
Parsed parseCommandLine(const std::vector<std::string>& args);

std::string helpText();

// "BMP, BMPCOLOR, ..." and "BMP BMPCOLOR ..." for messages.
std::string allFormatWords();

} // namespace vellumix::cli

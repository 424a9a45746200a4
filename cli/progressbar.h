#pragma once
// The transfer's progress on a terminal's stderr, redrawn in place a few times per second.
#include "gpib/clock.h"

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>

namespace vellumix::cli {

// One line of the bar: with a known total "[#####-----]  50%  150.0 of 301.1 KiB", else
// "150.0 KiB received".
std::string progressLine(std::size_t received, std::optional<std::size_t> total);

class ProgressBar {
public:
    ProgressBar(std::ostream& err, gpib::Clock& clock);
    void update(std::size_t received, std::optional<std::size_t> total);
    // Draws the final state and ends the line; does nothing when nothing was drawn or received.
    void finish();

private:
    void draw();

    std::ostream& err_;
    gpib::Clock& clock_;
    std::optional<gpib::Clock::duration> lastDrawn_;
    std::size_t received_ = 0;
    std::optional<std::size_t> total_;
    std::size_t width_ = 0; // of the last line drawn, to blank a longer one
};

} // namespace vellumix::cli

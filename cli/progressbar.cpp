#include "cli/progressbar.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace vellumix::cli {

namespace {

std::string kib(std::size_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1024.0);
    return text;
}

} // namespace

std::string progressLine(std::size_t received, std::optional<std::size_t> total) {
    if (!total || *total == 0) return kib(received) + " KiB received";
    constexpr std::size_t Width = 30;
    const std::size_t shown = std::min(received, *total);
    const std::size_t filled = shown * Width / *total;
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3zu%%", shown * 100 / *total);
    return "[" + std::string(filled, '#') + std::string(Width - filled, '-') + "] " + percent + "  " +
           kib(received) + " of " + kib(*total) + " KiB";
}

ProgressBar::ProgressBar(std::ostream& err, gpib::Clock& clock) : err_(err), clock_(clock) {}

void ProgressBar::update(std::size_t received, std::optional<std::size_t> total) {
    received_ = received;
    total_ = total;
    // Drawing every 512-byte chunk would cost more than the transfer itself.
    const auto now = clock_.now();
    if (lastDrawn_ && now - *lastDrawn_ < std::chrono::milliseconds(100)) return;
    lastDrawn_ = now;
    draw();
}

void ProgressBar::finish() {
    if (!lastDrawn_) return;
    draw();
    err_ << '\n' << std::flush;
    lastDrawn_.reset();
}

void ProgressBar::draw() {
    const std::string line = progressLine(received_, total_);
    err_ << '\r' << line;
    if (line.size() < width_) err_ << std::string(width_ - line.size(), ' ');
    width_ = line.size();
    err_ << std::flush;
}

} // namespace vellumix::cli

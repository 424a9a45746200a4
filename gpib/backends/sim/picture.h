#pragma once
// The simulated scope's screen and the six file layouts a TDS writes it in.
#include "gpib/backends/sim/scenario.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vellumix::gpib::sim {

// Logical colours of the screen; the palette of each scheme gives their RGB.
enum ScreenColour : uint8_t {
    Background = 0,
    Graticule,
    Readout,
    Channel1,
    Channel2,
    Channel3,
    Channel4,
    ScreenColourCount
};

struct Rgb {
    uint8_t r, g, b;
};

struct Screen {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels; // ScreenColour per pixel, rows top-down
    uint8_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// Draws the scope screen: graticule, a sine on CH1, a square wave on CH2, readouts and model name.
Screen drawScreen(int width, int height, const std::string& model);

// RGB of a logical colour: normal screen, or ink saver (white paper, dark ink).
Rgb screenRgb(uint8_t colour, bool inkSaver);
// Whether a pixel is light in the monochrome formats.
bool isLight(uint8_t colour, bool inkSaver);

struct PictureOptions {
    bool inkSaver = false;
    std::optional<uint32_t> bmpFileSizeField; // mono BMP only
};

std::string encodePicture(PictureFormat format, const Screen& screen, const PictureOptions& options);

} // namespace vellumix::gpib::sim

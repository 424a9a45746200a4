#pragma once
// The simulated scope's screen and the file layouts each TDS family writes it in.
#include "gpib/backends/simscope/scenario.h"

#include <cstdint>
#include <optional>
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

// Families whose hard copies are laid out differently, as their genuine files show.
enum class ScopeFamily {
    Other,      // TDS 200, 500-800, 3000: no genuine file of theirs at hand; the generic layouts
    Tds300_400, // 1-bit BMP with a false bfSize (975), TIFF with its IFD after the strips
    Tds1000,    // 8-bit BMP in the scope's palette, PackBits TIFF with its IFD first; mono screen
    Tds2000,    // the same with a colour screen
};

// The number of a model designation: "TDS 210" -> 210, "TDS2024B" -> 2024; 0 when there is none.
int modelNumber(const std::string& model);
ScopeFamily scopeFamily(const std::string& model);

struct PictureOptions {
    bool inkSaver = false;
    std::optional<uint32_t> bmpFileSizeField; // mono BMP only; none: what the family writes
    ScopeFamily family = ScopeFamily::Other;
};

// The RGB a screen colour takes in the TDS 1000/2000's 256-entry palette (mono screens draw the
// traces in the readout colour).
Rgb tekPaletteRgb(uint8_t colour, bool inkSaver, bool colourScreen);

std::string encodePicture(PictureFormat format, const Screen& screen, const PictureOptions& options);

} // namespace vellumix::gpib::sim

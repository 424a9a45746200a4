// The palette the TDS 1000/2000 (B) firmware writes into every BMP and TIFF: seven ramps of 16
// entries from white to a colour, one orange entry, the rest black. Mono and colour models share it.
#include "gpib/backends/simscope/encoders.h"

namespace vellumix::gpib::sim {
namespace encode {

const std::array<uint32_t, 256>& tekPalette() {
    static constexpr std::array<uint32_t, 256> palette = {
        // yellow
        0xFFFFFF, 0xFFFFAA, 0xFFFF55, 0xFFFF00, 0xFFF700, 0xFFEF00, 0xFFE700, 0xFFDF00, 0xFFD700, 0xFFCF00,
        0xFFC700, 0xFFBF00, 0xFFB700, 0xFFAF00, 0xFFA700, 0xFF9F00,
        // blue
        0xFFFFFF, 0xEEEEFF, 0xDDDDFF, 0xCCCCFF, 0xBBBBFF, 0xAAAAFF, 0x9999FF, 0x8888FF, 0x7777FF, 0x6666FF,
        0x5555FF, 0x4444FF, 0x3333FF, 0x2222FF, 0x1111FF, 0x0000FF,
        // magenta
        0xFFFFFF, 0xFFE0FF, 0xFFC1FF, 0xFFA2FF, 0xFF83FF, 0xFF64FF, 0xFF45FF, 0xFF26FF, 0xFF00FF, 0xF700F7,
        0xEF00EF, 0xE700E7, 0xDF00DF, 0xD700D7, 0xCF00CF, 0xC000C0,
        // green
        0xFFFFFF, 0xE0FFE0, 0xC1FFC1, 0xA2FFA2, 0x83FF83, 0x64FF64, 0x45FF45, 0x26FF26, 0x00FF00, 0x00F700,
        0x00EF00, 0x00E700, 0x00DF00, 0x00D700, 0x00CF00, 0x00C000,
        // red
        0xFFFFFF, 0xFFE0E0, 0xFFC1C1, 0xFFA2A2, 0xFF8383, 0xFF6464, 0xFF4545, 0xFF2626, 0xFF0000, 0xF70000,
        0xEF0000, 0xE70000, 0xDF0000, 0xD70000, 0xCF0000, 0xC00000,
        // grey
        0xFFFFFF, 0xEEEEEE, 0xDDDDDD, 0xCCCCCC, 0xBBBBBB, 0xAAAAAA, 0x999999, 0x888888, 0x777777, 0x666666,
        0x555555, 0x444444, 0x333333, 0x222222, 0x111111, 0x000000,
        // cyan
        0xFFFFFF, 0xE0FFFF, 0xC1FFFF, 0xA2FFFF, 0x83FFFF, 0x64FFFF, 0x45FFFF, 0x26FFFF, 0x00FFFF, 0x00F7F7,
        0x00EFEF, 0x00E7E7, 0x00DFDF, 0x00D7D7, 0x00CFCF, 0x00C0C0,
        // unused but for one orange entry at 127
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFFA500};
    return palette;
}

uint8_t tekPaletteIndex(uint8_t colour, bool inkSaver, bool colourScreen) {
    // On paper (ink saver on, as in every genuine file): white ground, light grey graticule, black
    // text, and the dark end of each trace's ramp. On screen: black ground, the bright middle.
    static constexpr std::array<uint8_t, ScreenColourCount> paper = {80, 83, 95, 15, 111, 47, 63};
    static constexpr std::array<uint8_t, ScreenColourCount> screen = {95, 87, 80, 3, 104, 40, 56};
    const auto& table = inkSaver ? paper : screen;
    if (colour >= ScreenColourCount) colour = Background;
    if (!colourScreen && colour >= Channel1) colour = Readout;
    return table[colour];
}

} // namespace encode

Rgb tekPaletteRgb(uint8_t colour, bool inkSaver, bool colourScreen) {
    const uint32_t v = encode::tekPalette()[encode::tekPaletteIndex(colour, inkSaver, colourScreen)];
    return Rgb{static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

} // namespace vellumix::gpib::sim

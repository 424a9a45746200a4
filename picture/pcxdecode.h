#pragma once
// A PCX picture decoded to pixels, for the clipboard: Qt has no PCX reader. Mono (1 bit, 1 plane),
// 16 colours (1 bit, 4 planes), 256 colours (8 bits, palette after the data) and true colour
// (8 bits, 3 planes), run-length encoded as every TDS writes them.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace vellumix::picture {

struct DecodedPicture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels; // 0xffRRGGBB, rows top to bottom
};

// nullopt when the bytes are not a PCX picture of those kinds or end before its last line (or
// before the palette of a 256-colour one).
std::optional<DecodedPicture> decodePcx(std::string_view bytes);

} // namespace vellumix::picture

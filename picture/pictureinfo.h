#pragma once
// What a hard copy's first bytes tell about it: its format and, where the format states it, its length.
#include <cstddef>
#include <optional>
#include <string_view>

namespace vellumix::picture {

enum class PictureKind { Unknown, Bmp, Tiff, Png, Pcx };

// "BMP", "TIFF", "PNG", "PCX", or "known" for Unknown: for messages.
const char* kindName(PictureKind kind);

// The format its signature names; bytes cut inside the signature count as that format.
PictureKind pictureKind(std::string_view head);

// The whole picture's length when the header gives it: for BMP from the info header (width,
// height, bits per pixel, palette), never from the file header's size field, which TDS 400
// firmware fills with a wrong value. nullopt for formats without a length, or a header not yet
// complete or not understood.
std::optional<std::size_t> expectedLength(std::string_view head);

// Seconds until a transfer of `total` bytes ends at the rate seen so far: `received` bytes now,
// `base` of them there `elapsed` seconds ago. nullopt without a total, or before a rate can be told.
std::optional<double> secondsLeft(std::size_t received, std::optional<std::size_t> total, std::size_t base,
                                  double elapsed);

} // namespace vellumix::picture

#pragma once
// Whether a hard copy arrived whole, judged from its own format's structure: BMP from its info
// header, TIFF from its IFDs and strips, PNG from its chunks up to IEND, PCX from its run-length data.
#include "picture/pictureinfo.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vellumix::picture {

struct PictureCheck {
    PictureKind kind = PictureKind::Unknown;
    // Bytes of no known format count as complete: there is nothing to judge them by.
    bool complete = true;
    // Where the picture ends when complete; bytes after it came from the scope too (a line end, say).
    std::size_t end = 0;
    // When incomplete: how many bytes the structure asks for, if it says. `atLeast` when only a part
    // of the structure arrived, so the true length may be larger still.
    std::optional<std::size_t> due;
    bool atLeast = false;
    // The signature is there but what follows cannot be that picture (a BMP 0 pixels wide, a PNG
    // chunk longer than the format allows): no number of further bytes would make it whole.
    bool malformed = false;
};

PictureCheck checkPicture(std::string_view bytes);

// Whether the bytes are, or begin, a picture of the kind asked for: its signature and a header that
// makes sense. False for any other format, no known format at all, or a malformed header; true for a
// picture merely cut short (that is `complete`'s business).
bool isPictureOf(const PictureCheck& check, PictureKind asked);

// Whether the message ends here by the picture's own structure: a known format, sound, complete.
inline bool endsWholePicture(const PictureCheck& check) {
    return check.kind != PictureKind::Unknown && !check.malformed && check.complete;
}

// "20000 of 38462", "5 of at least 8" or "20000": what came of what was due, for the user's message.
std::string shortfallText(const PictureCheck& check, std::size_t received);

} // namespace vellumix::picture

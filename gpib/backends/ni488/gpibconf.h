#pragma once
// linux-gpib's configuration file (gpib.conf) as its library reads it: which boards it configures, and
// where it stops reading. The library itself only says "failed to parse" and then reports a bad
// argument, so Vellumix reads the file itself to tell the user which line to fix.
#include <string>
#include <string_view>
#include <vector>

namespace vellumix::gpib::ni488 {

struct GpibConfInterface {
    int minor = 0;         // board index: the block configures /dev/gpibN
    std::string boardType; // board_type, "" when the block has none
    int line = 0;          // where the block's minor number is
    int boardTypeLine = 0; // where its board_type setting starts, 0 when it has none
};

struct GpibConf {
    bool valid = true;
    // Where reading stopped when !valid: 1-based line, the text found there as the file spells it,
    // and what was expected instead.
    int errorLine = 0;
    std::string errorNear;
    std::string errorExpected;
    bool errorAtEnd = false; // stopped at the end of the file (an empty text in quotes is "" too)
    // Stopped at a carriage return: the library's lexer takes CR for a stray character, so a file
    // with Windows line ends fails at the end of its first line outside a comment or text.
    bool errorAtCarriageReturn = false;
    // Stopped at a second interface block for one board: the line of the first, else 0.
    int duplicateOfLine = 0;
    std::vector<GpibConfInterface> interfaces; // in file order; only meaningful when valid

    const GpibConfInterface* find(int minor) const;
};

GpibConf parseGpibConf(std::string_view text);

} // namespace vellumix::gpib::ni488

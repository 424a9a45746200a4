#pragma once
// The "++" controller protocol shared by Prologix GPIB-USB/GPIB-ETHERNET and AR488: escaping of
// data, the version reply, read timeouts.
#include <cstddef>
#include <string>
#include <string_view>

namespace vellumix::gpib::prologix {

enum class Flavour { Prologix, Ar488 };

inline constexpr int DefaultTcpPort = 1234;
inline constexpr char Esc = 27;
// Appended by the adapter after the last byte of a message (++eot_char), so that EOI reaches us.
// Any value works (see the read in prologixdriver.cpp); this one is rare at the end of pictures.
inline constexpr unsigned char EotChar = 4;
// The largest ++read_tmo_ms each flavour takes (Prologix corrected its maximum to 3000 ms; AR488's
// code accepts up to 32000).
inline constexpr int PrologixMaxReadTimeoutMs = 3000;
inline constexpr int Ar488MaxReadTimeoutMs = 32000;

// What the firmware behind a ++ver line can do, as far as the controller's own text tells.
struct Firmware {
    Flavour flavour = Flavour::Prologix;
    int version = 0; // AR488: major * 10000 + minor * 100 + patch (0.50.16 -> 5016); 0 unknown
    // ++fndl finds listeners in one command (AR488 0.52.17 and later); others are serial-polled.
    bool hasFindListeners = false;
    // With ++eos 3 (no terminator) AR488 firmware before 0.51 raises EOI after the last byte instead
    // of with it, so the instrument never sees the end of a command: those get ++eos 2 (LF added).
    bool needsLfTerminator = false;
    // AR488 0.49.11 to 0.50.17 end a ++read that timed out by sending its last byte once more (a NUL
    // when none came): that byte is no part of the message.
    bool timeoutRepeatsLastByte = false;
    // AR488 before 0.49.11 drains every byte waiting into one command buffer: two lines that reach
    // it at once (a native-USB board, a network bridge) run together into one unknown command.
    bool mergesWaitingLines = false;
};

// The line gap such firmware gets: long enough for it to take one line before the next arrives.
inline constexpr int LineGapMs = 30;

// AR488's own complaints ("Unrecognized command", "Invalid parameter", "Missing parameter"): never
// an answer, least of all a version.
bool isAdapterComplaint(std::string_view line);

// The firmware a version line names: "AR488 GPIB controller, ver. 0.50.16, 02/06/2021" is AR488
// 0.50.16; a line naming no AR488 is a Prologix (or a renamed AR488: ask "++ver real").
Firmware firmwareOf(std::string_view versionLine);

// How many bytes the adapter certainly holds while it is busy (an ATmega's serial buffer is 64):
// more than this is never in flight unanswered.
inline constexpr std::size_t InputBudget = 48;

// Data for the instrument: CR, LF, ESC and '+' each preceded by ESC, so that none of them ends
// the line or starts a command; then the unescaped LF that ends the line.
std::string escapeData(std::string_view data);

// The flavour a ++ver reply names; nothing recognisable counts as a Prologix (the stricter one).
Flavour flavourOf(std::string_view versionReply);
const char* flavourName(Flavour flavour);
int maxReadTimeoutMs(Flavour flavour);

} // namespace vellumix::gpib::prologix

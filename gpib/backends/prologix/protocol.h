#pragma once
// The "++" controller protocol shared by Prologix GPIB-USB/GPIB-ETHERNET and AR488: escaping of
// data, the version reply, read timeouts.
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

// Data for the instrument: CR, LF, ESC and '+' each preceded by ESC, so that none of them ends
// the line or starts a command; then the unescaped LF that ends the line.
std::string escapeData(std::string_view data);

// The flavour a ++ver reply names; nothing recognisable counts as a Prologix (the stricter one).
Flavour flavourOf(std::string_view versionReply);
const char* flavourName(Flavour flavour);
int maxReadTimeoutMs(Flavour flavour);

} // namespace vellumix::gpib::prologix

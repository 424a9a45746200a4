#pragma once
// Case folding of instrument texts. They are ASCII protocol words, one byte per character, so the
// C locale's rules are the right ones and no byte above 0x7F changes.
#include <string>
#include <string_view>

namespace vellumix {

inline char upperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string upperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = upperAscii(c);
    return out;
}

inline char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = lowerAscii(c);
    return out;
}

inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upperAscii(a[i]) != upperAscii(b[i])) return false;
    return true;
}

// Instrument texts are one byte per character (Latin-1); the texts the user is shown are UTF-8.
// Replies and model names go through this on their way into a message or caption, so that a
// byte of 0x80 or above shows as its character instead of a replacement mark.
inline std::string latin1ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// The other way, for texts a user typed (scenario files are UTF-8): one byte per character, and "?" for a
// character Latin-1 has not, or for bytes that are not UTF-8.
inline std::string utf8ToLatin1(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        const int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (length == 2 && i + 1 < text.size()) {
            const unsigned code = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
            out.push_back(code <= 0xFF ? static_cast<char>(code) : '?');
        } else {
            out.push_back('?');
        }
        i += static_cast<std::size_t>(length);
    }
    return out;
}

} // namespace vellumix

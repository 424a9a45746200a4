#include "cli/consoletext.h"

#ifdef _WIN32
#include <windows.h>

#include <io.h>

#include <cstdio>

namespace vellumix::cli {

std::string utf8ToCodePage(std::string_view text, unsigned codePage) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int wide = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring w(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, w.data(), wide);
    // U+FFFD stands for an invalid byte; the code pages have no such mark.
    for (wchar_t& c : w)
        if (c == 0xFFFD) c = L'?';
    if (codePage == CP_UTF8) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
        std::string out(static_cast<size_t>(n), '\0');
        WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, out.data(), n, nullptr, nullptr);
        return out;
    }
    // No best-fit look-alikes ("a" for "å"): a character the code page lacks is a plain "?".
    const DWORD flags = WC_NO_BEST_FIT_CHARS;
    const int n = WideCharToMultiByte(codePage, flags, w.data(), wide, nullptr, 0, "?", nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, flags, w.data(), wide, out.data(), n, "?", nullptr);
    return out;
}

CodePageBuffer::int_type CodePageBuffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    pending_.push_back(traits_type::to_char_type(c));
    put(false);
    return c;
}

std::streamsize CodePageBuffer::xsputn(const char* s, std::streamsize n) {
    pending_.append(s, static_cast<size_t>(n));
    put(false);
    return n;
}

int CodePageBuffer::sync() {
    put(false);
    return target_->pubsync();
}

void CodePageBuffer::put(bool all) {
    // Hold back the start of a character whose remaining bytes have not come yet.
    size_t end = pending_.size();
    if (!all) {
        size_t lead = end;
        for (size_t back = 1; back <= 3 && back <= end; ++back) {
            const auto c = static_cast<unsigned char>(pending_[end - back]);
            if ((c & 0xC0) == 0x80) continue; // a continuation byte
            const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (need > back) lead = end - back;
            break;
        }
        end = lead;
    }
    if (end == 0) return;
    const std::string out = utf8ToCodePage(std::string_view(pending_).substr(0, end), codePage_);
    target_->sputn(out.data(), static_cast<std::streamsize>(out.size()));
    pending_.erase(0, end);
}

std::unique_ptr<std::streambuf, void (*)(std::streambuf*)> convertForConsole(std::ostream& stream) {
    static std::ostream* converted = nullptr;
    static std::streambuf* previous = nullptr;
    const auto restore = [](std::streambuf* buffer) {
        if (converted) {
            converted->flush();
            converted->rdbuf(previous);
        }
        delete buffer;
        converted = nullptr;
    };
    if (!_isatty(_fileno(stderr))) return {nullptr, restore};
    auto* buffer = new CodePageBuffer(stream.rdbuf(), GetConsoleOutputCP());
    converted = &stream;
    previous = stream.rdbuf(buffer);
    return {buffer, restore};
}

} // namespace vellumix::cli
#endif

#pragma once
// Messages on a Windows console. The program's texts are UTF-8 (instrument texts included, converted
// from Latin-1 on their way into a message); a console shows the bytes in its own code page, so
// text bound for one is converted to that code page. Pipes and files get the UTF-8 unchanged.
#ifdef _WIN32
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

namespace vellumix::cli {

// text in the code page, characters the code page lacks as "?". Invalid UTF-8 bytes come out as
// "?" as well.
std::string utf8ToCodePage(std::string_view text, unsigned codePage);

// Writes through to another buffer, converting to the code page as the text comes; a character cut
// by a write is kept until its remaining bytes come (or the buffer ends: then it is a "?").
class CodePageBuffer final : public std::streambuf {
public:
    CodePageBuffer(std::streambuf* target, unsigned codePage) : target_(target), codePage_(codePage) {}
    ~CodePageBuffer() override { put(true); }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    void put(bool all);
    std::streambuf* target_;
    unsigned codePage_;
    std::string pending_;
};

// When the process's stderr is a console, makes stream (std::cerr) write in the console's output
// code page until the returned buffer is destroyed (it puts the old one back). nullptr otherwise.
std::unique_ptr<std::streambuf, void (*)(std::streambuf*)> convertForConsole(std::ostream& stream);

} // namespace vellumix::cli
#endif

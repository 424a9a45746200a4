#pragma once
// Integer reads from received picture bytes, either byte order. Callers check has() first: a short
// reply must never be read past its end.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vellumix::picture {

class ByteReader {
public:
    explicit ByteReader(std::string_view bytes, bool bigEndian = false) : b_(bytes), big_(bigEndian) {}

    std::size_t size() const { return b_.size(); }
    bool has(std::size_t at, std::size_t n) const { return at <= b_.size() && n <= b_.size() - at; }

    uint8_t u8(std::size_t at) const { return static_cast<uint8_t>(b_[at]); }
    uint16_t u16(std::size_t at) const {
        const unsigned a = u8(at), b = u8(at + 1);
        return static_cast<uint16_t>(big_ ? a << 8 | b : b << 8 | a);
    }
    uint32_t u32(std::size_t at) const {
        const uint32_t a = u16(at), b = u16(at + 2);
        return big_ ? a << 16 | b : b << 16 | a;
    }

private:
    std::string_view b_;
    bool big_;
};

} // namespace vellumix::picture

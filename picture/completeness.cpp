#include "picture/completeness.h"

#include "picture/bytereader.h"

#include <algorithm>
#include <cstdint>
#include <set>

namespace vellumix::picture {

namespace {

PictureCheck whole(PictureKind kind, std::size_t end) {
    PictureCheck c;
    c.kind = kind;
    c.end = end;
    return c;
}

PictureCheck malformed(PictureKind kind, std::size_t size) {
    PictureCheck c = whole(kind, size);
    c.malformed = true;
    return c;
}

PictureCheck shortOf(PictureKind kind, std::optional<uint64_t> due, bool atLeast) {
    PictureCheck c;
    c.kind = kind;
    c.complete = false;
    c.due = due;
    c.atLeast = due && atLeast;
    return c;
}

// --- BMP -----------------------------------------------------------------------------------------

// Run-length BMP data ends with the end-of-bitmap escape (0, 1); returns where it ends.
std::optional<std::size_t> bmpRleEnd(const ByteReader& r, std::size_t pos, bool rle4) {
    while (r.has(pos, 2)) {
        const unsigned n = r.u8(pos), v = r.u8(pos + 1);
        pos += 2;
        if (n != 0 || v == 0) continue; // a run, or end of line
        if (v == 1) return pos;         // end of bitmap
        if (v == 2) {                   // delta: two more bytes
            pos += 2;
            continue;
        }
        const std::size_t bytes = rle4 ? (v + 1) / 2 : v; // literal pixels, padded to a word
        pos += (bytes + 1) & ~std::size_t{1};
    }
    return std::nullopt;
}

PictureCheck checkBmp(std::string_view b) {
    if (b.size() < 54) return shortOf(PictureKind::Bmp, 54, true);
    // The info header decides, never the file header's size: TDS 400 firmware writes 975 there.
    if (const auto length = expectedLength(b))
        return b.size() >= *length ? whole(PictureKind::Bmp, *length)
                                   : shortOf(PictureKind::Bmp, *length, false);
    const ByteReader r(b);
    const uint32_t compression = r.u32(30);
    const uint32_t offset = r.u32(10);
    // Without a length from the info header only run-length data can still be judged; anything
    // else is no bitmap a scope writes (no width, no rows, an unknown depth or header).
    if ((compression != 1 && compression != 2) || offset < 54) return malformed(PictureKind::Bmp, b.size());
    if (const auto end = bmpRleEnd(r, offset, compression == 2)) return whole(PictureKind::Bmp, *end);
    const uint32_t imageSize = r.u32(34);
    if (imageSize != 0) return shortOf(PictureKind::Bmp, uint64_t{offset} + imageSize, false);
    return shortOf(PictureKind::Bmp, std::nullopt, false);
}

// --- TIFF ----------------------------------------------------------------------------------------

std::size_t tiffTypeSize(unsigned type) {
    switch (type) {
    case 1:
    case 2:
    case 6:
    case 7:
        return 1; // BYTE, ASCII, SBYTE, UNDEFINED
    case 3:
    case 8:
        return 2; // SHORT, SSHORT
    case 4:
    case 9:
    case 11:
        return 4; // LONG, SLONG, FLOAT
    case 5:
    case 10:
    case 12:
        return 8; // RATIONAL, SRATIONAL, DOUBLE
    default:
        return 0;
    }
}

struct TiffArray {
    uint64_t at = 0;
    unsigned type = 0;
    uint32_t count = 0;
    bool present = false;
};

// The value of element i of a SHORT or LONG array; the caller has checked that it was received.
uint64_t tiffElement(const ByteReader& r, const TiffArray& a, uint32_t i) {
    return a.type == 3 ? r.u16(static_cast<std::size_t>(a.at) + 2 * std::size_t{i})
                       : r.u32(static_cast<std::size_t>(a.at) + 4 * std::size_t{i});
}

// A TIFF carries no total length: every IFD, every value block it points to and every strip or
// tile must lie within the bytes received. The TDS 300/400 writes its IFD after the strips, the
// TDS 1000/2000 before them; walking the pointers covers both.
PictureCheck checkTiff(std::string_view b) {
    if (b.size() < 8) return shortOf(PictureKind::Tiff, 8, true);
    const ByteReader r(b, b[0] == 'M');
    uint64_t due = 8;    // the furthest byte anything received points to
    bool unread = false; // a part that says where further data lies did not arrive
    uint64_t ifd = r.u32(4);
    if (ifd == 0) return shortOf(PictureKind::Tiff, std::nullopt, false); // no picture described at all
    if (ifd < 8) return malformed(PictureKind::Tiff, b.size());           // the IFD inside the header
    bool described = false; // the first IFD names its strips or tiles
    std::set<uint64_t> seen;
    while (ifd != 0 && seen.insert(ifd).second && seen.size() <= 64) {
        if (ifd + 2 > b.size()) {
            due = std::max(due, ifd + 2);
            unread = true;
            break;
        }
        const auto at = static_cast<std::size_t>(ifd);
        const std::size_t entries = r.u16(at);
        const uint64_t ifdEnd = ifd + 2 + 12 * uint64_t{entries} + 4;
        due = std::max(due, ifdEnd);
        if (ifdEnd > b.size()) {
            unread = true;
            break;
        }
        TiffArray offsets, counts;
        for (std::size_t i = 0; i < entries; ++i) {
            const std::size_t e = at + 2 + 12 * i;
            const unsigned tag = r.u16(e), type = r.u16(e + 2);
            const uint32_t count = r.u32(e + 4);
            const uint64_t bytes = tiffTypeSize(type) * uint64_t{count};
            const uint64_t valueAt = bytes <= 4 ? e + 8 : r.u32(e + 8);
            if (bytes > 4) due = std::max(due, valueAt + bytes);
            const TiffArray array{valueAt, type, count, type == 3 || type == 4};
            if (tag == 0x111 || tag == 0x144) offsets = array; // StripOffsets, TileOffsets
            if (tag == 0x117 || tag == 0x145) counts = array;  // StripByteCounts, TileByteCounts
        }
        if (seen.size() == 1) described = offsets.present && counts.present && entries > 0;
        if (offsets.present && counts.present && offsets.count == counts.count) {
            const uint64_t offsetsEnd = offsets.at + uint64_t{offsets.count} * (offsets.type == 3 ? 2 : 4);
            const uint64_t countsEnd = counts.at + uint64_t{counts.count} * (counts.type == 3 ? 2 : 4);
            if (offsetsEnd > b.size() || countsEnd > b.size()) {
                unread = true;
            } else {
                for (uint32_t k = 0; k < offsets.count; ++k)
                    due = std::max(due, tiffElement(r, offsets, k) + tiffElement(r, counts, k));
            }
        }
        ifd = r.u32(at + 2 + 12 * entries);
    }
    if (due > b.size()) return shortOf(PictureKind::Tiff, due, unread);
    if (!described) return malformed(PictureKind::Tiff, b.size());
    return whole(PictureKind::Tiff, static_cast<std::size_t>(due));
}

// --- PNG -----------------------------------------------------------------------------------------

PictureCheck checkPng(std::string_view b) {
    constexpr uint64_t Frame = 12; // length, type, CRC
    uint64_t pos = 8;
    const ByteReader r(b, true);
    while (true) {
        // Cut at or inside a chunk's header: IEND at least is still to come.
        if (!r.has(static_cast<std::size_t>(pos), 8)) return shortOf(PictureKind::Png, pos + Frame, true);
        const auto at = static_cast<std::size_t>(pos);
        const uint32_t length = r.u32(at);
        if (length > 0x7FFFFFFFu) return malformed(PictureKind::Png, b.size());
        // Every PNG opens with its IHDR; chunk types are four ASCII letters.
        if (pos == 8 && b.substr(at + 4, 4) != "IHDR") return malformed(PictureKind::Png, b.size());
        for (std::size_t i = 0; i < 4; ++i) {
            const char t = b[at + 4 + i];
            if (!((t >= 'A' && t <= 'Z') || (t >= 'a' && t <= 'z')))
                return malformed(PictureKind::Png, b.size());
        }
        const bool iend = b.substr(at + 4, 4) == "IEND";
        const uint64_t end = pos + Frame + length;
        if (end > b.size()) return shortOf(PictureKind::Png, iend ? end : end + Frame, !iend);
        if (iend) return whole(PictureKind::Png, static_cast<std::size_t>(end));
        pos = end;
    }
}

// --- PCX -----------------------------------------------------------------------------------------

PictureCheck checkPcx(std::string_view b) {
    constexpr std::size_t Header = 128;
    if (b.size() < Header) return shortOf(PictureKind::Pcx, Header, true);
    const ByteReader r(b);
    const unsigned version = r.u8(1), encoding = r.u8(2), bpp = r.u8(3), planes = r.u8(65);
    const unsigned yMin = r.u16(6), yMax = r.u16(10), lineBytes = r.u16(66);
    // The filler after byte 74 is not checked: TDS 400 firmware writes the height and '0's there.
    const bool knownVersion = version == 0 || (version >= 2 && version <= 5);
    const bool knownDepth = bpp == 1 || bpp == 2 || bpp == 4 || bpp == 8;
    if (yMax < yMin || lineBytes == 0 || planes == 0 || planes > 4 || encoding > 1 || !knownVersion ||
        !knownDepth)
        return malformed(PictureKind::Pcx, b.size());
    const uint64_t pixels = uint64_t{lineBytes} * planes * (yMax - yMin + 1);

    uint64_t pos = Header;
    if (encoding == 0) {
        pos += pixels;
        if (pos > b.size()) return shortOf(PictureKind::Pcx, pos, false);
    } else {
        // Run-length data must decode to every line of every plane; how many bytes that takes is
        // known only by decoding.
        uint64_t decoded = 0;
        while (decoded < pixels) {
            if (pos >= b.size()) return shortOf(PictureKind::Pcx, std::nullopt, false);
            const unsigned c = r.u8(static_cast<std::size_t>(pos++));
            if (c < 0xC0) {
                ++decoded;
                continue;
            }
            if (pos >= b.size()) return shortOf(PictureKind::Pcx, std::nullopt, false);
            ++pos;
            decoded += c & 0x3F;
        }
    }
    // A 256-colour picture carries its palette after the pixels: 0x0C and 256 RGB triples.
    if (version == 5 && bpp == 8 && planes == 1) {
        constexpr uint64_t Palette = 1 + 768;
        if (pos + Palette > b.size()) return shortOf(PictureKind::Pcx, pos + Palette, false);
        pos += Palette;
    }
    return whole(PictureKind::Pcx, static_cast<std::size_t>(pos));
}

} // namespace

PictureCheck checkPicture(std::string_view bytes) {
    switch (pictureKind(bytes)) {
    case PictureKind::Bmp:
        return checkBmp(bytes);
    case PictureKind::Tiff:
        return checkTiff(bytes);
    case PictureKind::Png:
        return checkPng(bytes);
    case PictureKind::Pcx:
        return checkPcx(bytes);
    case PictureKind::Unknown:
        break;
    }
    return whole(PictureKind::Unknown, bytes.size());
}

bool isPictureOf(const PictureCheck& check, PictureKind asked) {
    return check.kind == asked && asked != PictureKind::Unknown && !check.malformed;
}

std::string shortfallText(const PictureCheck& check, std::size_t received) {
    std::string text = std::to_string(received);
    if (check.due) text += (check.atLeast ? " of at least " : " of ") + std::to_string(*check.due);
    return text;
}

} // namespace vellumix::picture

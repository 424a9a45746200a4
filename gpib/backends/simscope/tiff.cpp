// TIFF writers: the TDS 300/400's uncompressed 1-bit layout with its IFD last, and the TDS
// 1000/2000's PackBits palette layout with its IFD first.
#include "gpib/backends/simscope/encoders.h"

#include <vector>

namespace vellumix::gpib::sim::encode {
namespace {

// A big-endian IFD entry; a single SHORT sits left-justified in the value field.
void ifdEntry(std::string& o, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    be16(o, tag);
    be16(o, type);
    be32(o, count);
    if (type == 3 && count == 1) {
        be16(o, value);
        be16(o, 0);
    } else {
        be32(o, value);
    }
}

// PackBits as the TDS 1000/2000 writes it, one row at a time: every run of two or more equal
// bytes as a run packet, every single byte as a one-byte literal, so each packet takes two bytes.
void packBitsRow(std::string& o, const uint8_t* row, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        std::size_t run = 1;
        while (i + run < n && run < 128 && row[i + run] == row[i])
            ++run;
        o.push_back(static_cast<char>(run == 1 ? 0 : 257 - run));
        o.push_back(static_cast<char>(row[i]));
        i += run;
    }
}

} // namespace

// Big-endian, uncompressed, 1 bpp WhiteIsZero, strips of 25 rows, the IFD after the strips and its
// value blocks at the very end, as the TDS 400 firmware lays it out.
std::string tiffIfdLast(const Screen& s, const PictureOptions& opt) {
    constexpr int kRowsPerStrip = 25;
    const std::size_t rowBytes = static_cast<std::size_t>((s.width + 7) / 8);
    const int strips = (s.height + kRowsPerStrip - 1) / kRowsPerStrip;
    std::string o = "MM";
    be16(o, 42);
    std::size_t pixelBytes = rowBytes * s.height;
    const uint32_t ifd = static_cast<uint32_t>(8 + pixelBytes + (pixelBytes & 1));
    be32(o, ifd);
    for (int y = 0; y < s.height; ++y)
        packRow(o, s, y, opt.inkSaver, false, rowBytes);
    if (pixelBytes & 1) o.push_back('\0');

    constexpr uint16_t kEntries = 17;
    const uint32_t blocks = ifd + 2 + kEntries * 12 + 4;
    const uint32_t offsetsAt = blocks;
    const uint32_t countsAt = offsetsAt + 4 * static_cast<uint32_t>(strips);
    const uint32_t xResAt = countsAt + 4 * static_cast<uint32_t>(strips);
    const uint32_t yResAt = xResAt + 8;
    const uint32_t softwareAt = yResAt + 8;
    static const char kSoftware[] = "TIFF Driver 1.0"; // with its NUL: 16 bytes

    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        ifdEntry(o, tag, type, count, value);
    };
    const uint32_t firstStrip = 8;
    be16(o, kEntries);
    entry(0x00FE, 4, 1, 0);                               // NewSubfileType
    entry(0x0100, 3, 1, static_cast<uint32_t>(s.width));  // ImageWidth
    entry(0x0101, 3, 1, static_cast<uint32_t>(s.height)); // ImageLength
    entry(0x0102, 3, 1, 1);                               // BitsPerSample
    entry(0x0103, 3, 1, 1);                               // Compression: none
    entry(0x0106, 3, 1, 0);                               // WhiteIsZero
    entry(0x010E, 2, 1, 0);                               // ImageDescription ""
    entry(0x0111, 4, static_cast<uint32_t>(strips), strips == 1 ? firstStrip : offsetsAt);
    entry(0x0115, 3, 1, 1); // SamplesPerPixel
    entry(0x0116, 4, 1, kRowsPerStrip);
    const uint32_t fullStrip = static_cast<uint32_t>(rowBytes * kRowsPerStrip);
    const uint32_t lastStrip = static_cast<uint32_t>(pixelBytes - fullStrip * (strips - 1));
    entry(0x0117, 4, static_cast<uint32_t>(strips), strips == 1 ? lastStrip : countsAt);
    entry(0x011A, 5, 1, xResAt);
    entry(0x011B, 5, 1, yResAt);
    entry(0x0128, 3, 1, 2); // inches
    entry(0x0131, 2, sizeof kSoftware, softwareAt);
    entry(0x0132, 2, 1, 0); // DateTime ""
    entry(0x013B, 2, 1, 0); // Artist ""
    be32(o, 0);             // no next IFD
    if (strips > 1) {
        for (int i = 0; i < strips; ++i)
            be32(o, firstStrip + fullStrip * static_cast<uint32_t>(i));
        for (int i = 0; i < strips; ++i)
            be32(o, i + 1 < strips ? fullStrip : lastStrip);
    }
    be32(o, 125);
    be32(o, 1);
    be32(o, 125);
    be32(o, 1);
    o.append(kSoftware, sizeof kSoftware);
    return o;
}

// Big-endian, 8 bpp palette (the BMP's palette), PackBits, strips of 15 rows. The IFD comes first at
// offset 8, then the resolutions, the colour map, the strip byte counts and offsets, then the
// strips; the last strip ends the file.
std::string tiffPackBits(const Screen& s, const PictureOptions& opt) {
    constexpr int kRowsPerStrip = 15;
    constexpr uint16_t kEntries = 14;
    const bool colourScreen = opt.family == ScopeFamily::Tds2000;
    const auto strips = static_cast<uint32_t>((s.height + kRowsPerStrip - 1) / kRowsPerStrip);

    // The strips first, to know their sizes.
    std::vector<std::string> data(strips);
    std::vector<uint8_t> row(static_cast<std::size_t>(s.width));
    for (int y = 0; y < s.height; ++y) {
        for (int x = 0; x < s.width; ++x)
            row[static_cast<std::size_t>(x)] = tekPaletteIndex(s.at(x, y), opt.inkSaver, colourScreen);
        packBitsRow(data[static_cast<std::size_t>(y / kRowsPerStrip)], row.data(), row.size());
    }

    const uint32_t ifdEnd = 8 + 2 + kEntries * 12 + 4;
    const uint32_t xResAt = ifdEnd, yResAt = xResAt + 8, colourMapAt = yResAt + 8;
    const uint32_t countsAt = colourMapAt + 3 * 256 * 2;
    const uint32_t arrayBytes = strips > 1 ? 4 * strips : 0; // one strip: its values sit in the entry
    const uint32_t offsetsAt = countsAt + arrayBytes;
    const uint32_t firstStrip = offsetsAt + arrayBytes;
    std::vector<uint32_t> offsets, counts;
    uint32_t at = firstStrip;
    for (const std::string& d : data) {
        offsets.push_back(at);
        counts.push_back(static_cast<uint32_t>(d.size()));
        at += static_cast<uint32_t>(d.size());
    }

    std::string o = "MM";
    o.reserve(at);
    be16(o, 42);
    be32(o, 8);
    be16(o, kEntries);
    ifdEntry(o, 0x00FE, 4, 1, 0);                               // NewSubfileType
    ifdEntry(o, 0x0100, 4, 1, static_cast<uint32_t>(s.width));  // ImageWidth, as a LONG
    ifdEntry(o, 0x0101, 4, 1, static_cast<uint32_t>(s.height)); // ImageLength
    ifdEntry(o, 0x0102, 3, 1, 8);                               // BitsPerSample
    ifdEntry(o, 0x0103, 3, 1, 32773);                           // Compression: PackBits
    ifdEntry(o, 0x0106, 3, 1, 3);                               // Photometric: palette
    ifdEntry(o, 0x0111, 4, strips, strips > 1 ? offsetsAt : firstStrip);
    ifdEntry(o, 0x0115, 3, 1, 1); // SamplesPerPixel
    ifdEntry(o, 0x0116, 4, 1, kRowsPerStrip);
    ifdEntry(o, 0x0117, 4, strips, strips > 1 ? countsAt : counts.front());
    ifdEntry(o, 0x011A, 5, 1, xResAt);
    ifdEntry(o, 0x011B, 5, 1, yResAt);
    ifdEntry(o, 0x0128, 3, 1, 1);                 // ResolutionUnit: none
    ifdEntry(o, 0x0140, 3, 3 * 256, colourMapAt); // ColorMap
    be32(o, 0);                                   // no next IFD
    for (int i = 0; i < 4; ++i)
        be32(o, 1); // 1/1 in x and y
    // The colour map holds all reds, then all greens, then all blues, 16 bits each.
    for (const int shift : {16, 8, 0})
        for (const uint32_t rgb : tekPalette())
            be16(o, ((rgb >> shift) & 0xFF) * 257);
    if (strips > 1) {
        for (const uint32_t c : counts)
            be32(o, c);
        for (const uint32_t off : offsets)
            be32(o, off);
    }
    for (const std::string& d : data)
        o += d;
    return o;
}

} // namespace vellumix::gpib::sim::encode

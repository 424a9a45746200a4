#include "gpib/backends/sim/picture.h"

#include <QByteArray>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace vellumix::gpib::sim {
namespace {

// ---------------------------------------------------------------------------------------------
// A 5x7 font, enough for the readouts. Each glyph is 7 rows of 5 cells, '#' = ink.
struct Glyph {
    char c;
    const char* rows;
};

constexpr Glyph kFont[] = {
    {'0', ".###.#...##..###.#.###..##...#.###."}, {'1', "..#...##....#....#....#....#...###."},
    {'2', ".###.#...#....#...#...#...#...#####"}, {'3', "#####...#...#.....#.....##...#.###."},
    {'4', "...#...##..#.#.#..#.#####...#....#."}, {'5', "######....####.....#....##...#.###."},
    {'6', "..##..#...#....####.#...##...#.###."}, {'7', "#####....#...#...#...#....#....#..."},
    {'8', ".###.#...##...#.###.#...##...#.###."}, {'9', ".###.#...##...#.####....#...#..##.."},
    {'A', ".###.#...##...#######...##...##...#"}, {'B', "####.#...##...#####.#...##...#####."},
    {'C', ".###.#...##....#....#....#...#.###."}, {'D', "###..#..#.#...##...##...##..#.###.."},
    {'E', "######....#....####.#....#....#####"}, {'F', "######....#....####.#....#....#...."},
    {'G', ".###.#...##....#.####...##...#.####"}, {'H', "#...##...##...#######...##...##...#"},
    {'I', ".###...#....#....#....#....#...###."}, {'J', "..###...#....#....#....##..#..##..."},
    {'K', "#...##..#.#.#..##...#.#..#..#.#...#"}, {'L', "#....#....#....#....#....#....#####"},
    {'M', "#...###.###.#.##.#.##...##...##...#"}, {'N', "#...##...###..##.#.##..###...##...#"},
    {'O', ".###.#...##...##...##...##...#.###."}, {'P', "####.#...##...#####.#....#....#...."},
    {'Q', ".###.#...##...##...##.#.##..#..##.#"}, {'R', "####.#...##...#####.#.#..#..#.#...#"},
    {'S', ".#####....#.....###.....#....#####."}, {'T', "#####..#....#....#....#....#....#.."},
    {'U', "#...##...##...##...##...##...#.###."}, {'V', "#...##...##...##...##...#.#.#...#.."},
    {'W', "#...##...##...##.#.##.#.##.#.#.#.#."}, {'X', "#...##...#.#.#...#...#.#.#...##...#"},
    {'Y', "#...##...#.#.#...#....#....#....#.."}, {'Z', "#####....#...#...#...#...#....#####"},
    {'a', "...........###.....#.#####...#.####"}, {'b', "#....#....#.##.##..##...##...#####."},
    {'c', "...........###.#....#....#...#.###."}, {'d', "....#....#.##.##..###...##...#.####"},
    {'e', "...........###.#...#######.....###."}, {'f', "..##..#..#.#...###...#....#....#..."},
    {'g', ".....####.#...##...#.####....#.###."}, {'h', "#....#....#.##.##..##...##...##...#"},
    {'i', "..#........##....#....#....#...###."}, {'j', "...#........##....#....#.#..#..##.."},
    {'k', "#....#....#..#.#.#..##...#.#..#..#."}, {'l', ".##....#....#....#....#....#...###."},
    {'m', "..........##.#.#.#.##.#.##...##...#"}, {'n', "..........#.##.##..##...##...##...#"},
    {'o', "...........###.#...##...##...#.###."}, {'p', "..........####.#...#####.#....#...."},
    {'q', "...........##.##..##.####....#....#"}, {'r', "..........#.##.##..##....#....#...."},
    {'s', "...........###.#.....###.....#####."}, {'t', ".#....#...###...#....#....#..#..##."},
    {'u', "..........#...##...##...##..##.##.#"}, {'v', "..........#...##...##...#.#.#...#.."},
    {'w', "..........#...##...##.#.##.#.#.#.#."}, {'x', "..........#...#.#.#...#...#.#.#...#"},
    {'y', "..........#...##...#.####....#.###."}, {'z', "..........#####...#...#...#...#####"},
    {' ', "..................................."}, {'.', "..........................##...##.."},
    {',', "....................##....#...#...."}, {':', "......##...##........##...##......."},
    {'/', ".........#...#...#...#...#........."}, {'-', "...............#####..............."},
    {'>', ".#.....#.....#.....#...#...#...#..."}, {'<', "...#...#...#...#.....#.....#.....#."},
    {'(', "...#...#...#....#....#.....#.....#."}, {')', ".#.....#.....#....#....#...#...#..."},
    {'%', "##...##..#...#...#...#...#..##...##"}, {'=', "..........#####.....#####.........."},
    {'+', ".......#....#..#####..#....#......."}, {'?', ".###.#...#....#...#...#.........#.."},
    {'!', "..#....#....#....#....#.........#.."}, {'_', "..............................#####"},
};

const Glyph* glyphFor(char c) {
    for (const Glyph& g : kFont)
        if (g.c == c) return &g;
    return glyphFor('?');
}

constexpr int kGlyphW = 5;
constexpr int kGlyphH = 7;
constexpr int kAdvance = 6;

// ---------------------------------------------------------------------------------------------
class Painter {
public:
    explicit Painter(Screen& s) : s_(s) {}

    void dot(int x, int y, uint8_t c) {
        if (x >= 0 && y >= 0 && x < s_.width && y < s_.height)
            s_.pixels[static_cast<std::size_t>(y) * s_.width + x] = c;
    }
    void rect(int x, int y, int w, int h, uint8_t c) {
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i)
                dot(x + i, y + j, c);
    }
    void hline(int x0, int x1, int y, uint8_t c) {
        for (int x = x0; x <= x1; ++x)
            dot(x, y, c);
    }
    void vline(int x, int y0, int y1, uint8_t c) {
        if (y0 > y1) std::swap(y0, y1);
        for (int y = y0; y <= y1; ++y)
            dot(x, y, c);
    }
    // Returns the x after the text.
    int text(int x, int y, const std::string& t, uint8_t c, int scale) {
        for (char ch : t) {
            const Glyph* g = glyphFor(ch);
            const std::size_t len = std::strlen(g->rows);
            for (int r = 0; r < kGlyphH; ++r)
                for (int col = 0; col < kGlyphW; ++col) {
                    const std::size_t i = static_cast<std::size_t>(r * kGlyphW + col);
                    if (i < len && g->rows[i] == '#') rect(x + col * scale, y + r * scale, scale, scale, c);
                }
            x += kAdvance * scale;
        }
        return x;
    }

private:
    Screen& s_;
};

} // namespace

Screen drawScreen(int width, int height, const std::string& model) {
    Screen s;
    s.width = width;
    s.height = height;
    s.pixels.assign(static_cast<std::size_t>(width) * height, Background);
    Painter p(s);

    // Scale against the small (320x240) screen; the division is 25 px there, 50 px on 640x480.
    const int k = std::max(1, std::min(width / 320, height / 240));
    const int div = 25 * k;
    const int gw = 10 * div, gh = 8 * div;
    const int x0 = (width - gw) / 2;
    const int y0 = std::max(0, (height - gh) / 2);
    const int x1 = x0 + gw, y1 = y0 + gh;
    const int minor = div / 5;

    // Graticule: solid frame, dotted division lines, tick marks on the centre axes.
    p.hline(x0, x1, y0, Graticule);
    p.hline(x0, x1, y1, Graticule);
    p.vline(x0, y0, y1, Graticule);
    p.vline(x1, y0, y1, Graticule);
    for (int i = 1; i < 10; ++i)
        for (int y = y0; y <= y1; y += minor)
            p.dot(x0 + i * div, y, Graticule);
    for (int j = 1; j < 8; ++j)
        for (int x = x0; x <= x1; x += minor)
            p.dot(x, y0 + j * div, Graticule);
    const int cx = x0 + 5 * div, cy = y0 + 4 * div;
    for (int x = x0; x <= x1; x += minor)
        p.vline(x, cy - k, cy + k, Graticule);
    for (int y = y0; y <= y1; y += minor)
        p.hline(cx - k, cx + k, y, Graticule);

    // Traces, drawn as connected columns so steep edges stay unbroken.
    const int ch1Zero = y0 + 2 * div + div / 2;
    const int ch2Zero = y0 + 6 * div;
    auto trace = [&](auto sample, uint8_t colour) {
        int prev = sample(0);
        for (int x = 0; x <= gw; ++x) {
            const int y = sample(x);
            for (int t = 0; t < k; ++t)
                p.vline(x0 + x, prev + t, y + t, colour);
            prev = y;
        }
    };
    const double pi = 3.14159265358979323846;
    trace(
        [&](int x) {
            // 2.5 periods over the screen, 1.6 divisions amplitude.
            const double v = std::sin(2.0 * pi * 2.5 * x / gw);
            return ch1Zero - static_cast<int>(std::lround(v * 1.6 * div));
        },
        Channel1);
    trace(
        [&](int x) {
            const int period = 4 * div;
            const bool high = (x % period) < period / 2;
            return ch2Zero - (high ? div : -div) / 1;
        },
        Channel2);

    // Ground markers at the left, trigger level marker at the right.
    const int tScale = k;
    p.text(x0 - 2 * kAdvance * tScale - k, ch1Zero - 3 * tScale, "1>", Channel1, tScale);
    p.text(x0 - 2 * kAdvance * tScale - k, ch2Zero - 3 * tScale, "2>", Channel2, tScale);
    p.text(x1 + 2 * k, ch1Zero - static_cast<int>(0.48 * div) - 3 * tScale, "<", Channel1, tScale);

    // Status line above, readouts below the graticule.
    const int topY = std::max(0, y0 - (kGlyphH + 3) * tScale);
    p.text(x0, topY, "Tek  Run: 100kS/s  Sample", Readout, tScale);
    const int modelX = x1 - static_cast<int>(model.size()) * kAdvance * tScale;
    p.text(std::max(0, modelX), topY, model, Readout, tScale);
    const int botY = y1 + 4 * tScale;
    int x = p.text(x0, botY, "CH1 500mV", Channel1, tScale);
    x = p.text(x, botY, "  ", Readout, tScale);
    x = p.text(x, botY, "CH2 1.00V", Channel2, tScale);
    p.text(x, botY, "  M 250us  CH1 / 1.20V", Readout, tScale);
    return s;
}

Rgb screenRgb(uint8_t colour, bool inkSaver) {
    static constexpr std::array<Rgb, ScreenColourCount> screen = {{
        {0x00, 0x00, 0x00}, // background
        {0x80, 0x80, 0x80}, // graticule
        {0xE0, 0xE0, 0xE0}, // readouts
        {0xFF, 0xFF, 0x00}, // CH1 yellow
        {0x00, 0xFF, 0xFF}, // CH2 cyan
        {0xFF, 0x00, 0xFF}, // CH3 magenta
        {0x00, 0xFF, 0x00}, // CH4 green
    }};
    static constexpr std::array<Rgb, ScreenColourCount> paper = {{
        {0xFF, 0xFF, 0xFF},
        {0x40, 0x40, 0x40},
        {0x00, 0x00, 0x00},
        {0x90, 0x70, 0x00},
        {0x00, 0x70, 0x90},
        {0x90, 0x00, 0x90},
        {0x00, 0x80, 0x00},
    }};
    const auto& t = inkSaver ? paper : screen;
    return colour < t.size() ? t[colour] : t[0];
}

bool isLight(uint8_t colour, bool inkSaver) {
    const Rgb c = screenRgb(colour, inkSaver);
    return 299 * c.r + 587 * c.g + 114 * c.b >= 128 * 1000;
}

// ---------------------------------------------------------------------------------------------
namespace {

void le16(std::string& o, uint32_t v) {
    o.push_back(static_cast<char>(v & 0xFF));
    o.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void le32(std::string& o, uint32_t v) {
    le16(o, v & 0xFFFF);
    le16(o, v >> 16);
}
void be16(std::string& o, uint32_t v) {
    o.push_back(static_cast<char>((v >> 8) & 0xFF));
    o.push_back(static_cast<char>(v & 0xFF));
}
void be32(std::string& o, uint32_t v) {
    be16(o, v >> 16);
    be16(o, v & 0xFFFF);
}

// One row of 1-bit pixels, MSB first; `bit1Light` says which value light pixels get.
void packRow(std::string& o, const Screen& s, int y, bool inkSaver, bool bit1Light, std::size_t rowBytes) {
    const std::size_t start = o.size();
    o.append(rowBytes, '\0');
    for (int x = 0; x < s.width; ++x) {
        const bool on = isLight(s.at(x, y), inkSaver) == bit1Light;
        if (on) o[start + static_cast<std::size_t>(x / 8)] |= static_cast<char>(0x80 >> (x % 8));
    }
}

void bmpFileHeader(std::string& o, uint32_t fileSize, uint32_t dataOffset) {
    o += "BM";
    le32(o, fileSize);
    le32(o, 0);
    le32(o, dataOffset);
}

void bmpInfoHeader(std::string& o, const Screen& s, uint16_t bpp, uint32_t imageSize) {
    le32(o, 40);
    le32(o, static_cast<uint32_t>(s.width));
    le32(o, static_cast<uint32_t>(s.height));
    le16(o, 1);
    le16(o, bpp);
    le32(o, 0); // BI_RGB
    le32(o, imageSize);
    le32(o, 0);
    le32(o, 0);
    le32(o, 0);
    le32(o, 0);
}

std::string bmpMono(const Screen& s, const PictureOptions& opt) {
    const std::size_t rowBytes = static_cast<std::size_t>((s.width + 31) / 32) * 4;
    const uint32_t size = static_cast<uint32_t>(62 + rowBytes * s.height);
    std::string o;
    o.reserve(size);
    bmpFileHeader(o, opt.bmpFileSizeField.value_or(size), 62);
    bmpInfoHeader(o, s, 1, 0); // TDS 400 firmware leaves biSizeImage 0
    le32(o, 0x00000000);
    le32(o, 0x00FFFFFF);
    for (int y = s.height - 1; y >= 0; --y)
        packRow(o, s, y, opt.inkSaver, true, rowBytes);
    return o;
}

std::string bmpColour(const Screen& s, const PictureOptions& opt) {
    const std::size_t rowBytes = static_cast<std::size_t>((s.width + 3) & ~3);
    const uint32_t image = static_cast<uint32_t>(rowBytes * s.height);
    const uint32_t size = 14 + 40 + 1024 + image;
    std::string o;
    o.reserve(size);
    bmpFileHeader(o, size, 14 + 40 + 1024);
    bmpInfoHeader(o, s, 8, image);
    for (int i = 0; i < 256; ++i) {
        const Rgb c = i < ScreenColourCount ? screenRgb(static_cast<uint8_t>(i), opt.inkSaver) : Rgb{0, 0, 0};
        o.push_back(static_cast<char>(c.b));
        o.push_back(static_cast<char>(c.g));
        o.push_back(static_cast<char>(c.r));
        o.push_back('\0');
    }
    for (int y = s.height - 1; y >= 0; --y) {
        const std::size_t start = o.size();
        o.append(rowBytes, '\0');
        for (int x = 0; x < s.width; ++x)
            o[start + static_cast<std::size_t>(x)] = static_cast<char>(s.at(x, y));
    }
    return o;
}

// Big-endian, uncompressed, 1 bpp WhiteIsZero, strips of 25 rows, the IFD after the strips and its
// value blocks at the very end, as the TDS 400 firmware lays it out.
std::string tiff(const Screen& s, const PictureOptions& opt) {
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
        be16(o, tag);
        be16(o, type);
        be32(o, count);
        if (type == 3 && count == 1) { // SHORT: left-justified in the value field
            be16(o, value);
            be16(o, 0);
        } else {
            be32(o, value);
        }
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

uint32_t crc32(const char* data, std::size_t n, uint32_t crc = 0) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int b = 0; b < 8; ++b)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i)
        crc = table[(crc ^ static_cast<uint8_t>(data[i])) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void pngChunk(std::string& o, const char* type, const std::string& data) {
    be32(o, static_cast<uint32_t>(data.size()));
    const std::size_t start = o.size();
    o.append(type, 4);
    o += data;
    be32(o, crc32(o.data() + start, o.size() - start));
}

// Palette PNG, 8 bits per pixel.
std::string png(const Screen& s, const PictureOptions& opt) {
    std::string o("\x89PNG\r\n\x1a\n", 8);
    std::string ihdr;
    be32(ihdr, static_cast<uint32_t>(s.width));
    be32(ihdr, static_cast<uint32_t>(s.height));
    ihdr += std::string("\x08\x03\x00\x00\x00", 5); // depth 8, palette, deflate, filter 0, no interlace
    pngChunk(o, "IHDR", ihdr);
    std::string plte;
    for (int i = 0; i < ScreenColourCount; ++i) {
        const Rgb c = screenRgb(static_cast<uint8_t>(i), opt.inkSaver);
        plte += static_cast<char>(c.r);
        plte += static_cast<char>(c.g);
        plte += static_cast<char>(c.b);
    }
    pngChunk(o, "PLTE", plte);
    QByteArray raw;
    raw.reserve((s.width + 1) * s.height);
    for (int y = 0; y < s.height; ++y) {
        raw.append('\0'); // filter: none
        raw.append(reinterpret_cast<const char*>(&s.pixels[static_cast<std::size_t>(y) * s.width]), s.width);
    }
    // qCompress puts a 4-byte length in front of a plain zlib stream, which is what IDAT holds.
    const QByteArray z = qCompress(raw, 9);
    pngChunk(o, "IDAT", std::string(z.constData() + 4, static_cast<std::size_t>(z.size() - 4)));
    pngChunk(o, "IEND", std::string());
    return o;
}

void pcxRle(std::string& o, const uint8_t* line, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const uint8_t v = line[i];
        std::size_t run = 1;
        while (i + run < n && run < 63 && line[i + run] == v)
            ++run;
        if (run > 1 || v >= 0xC0) o.push_back(static_cast<char>(0xC0 | run));
        o.push_back(static_cast<char>(v));
        i += run;
    }
}

std::string pcx(const Screen& s, const PictureOptions& opt, bool colour) {
    const std::size_t lineBytes = colour ? static_cast<std::size_t>((s.width + 1) & ~1)
                                         : static_cast<std::size_t>(((s.width + 15) / 16) * 2);
    std::string o;
    o.push_back(0x0A);
    o.push_back(5);
    o.push_back(1);
    o.push_back(colour ? 8 : 1);
    le16(o, 0);
    le16(o, 0);
    le16(o, static_cast<uint32_t>(s.width - 1));
    le16(o, static_cast<uint32_t>(s.height - 1));
    le16(o, static_cast<uint32_t>(s.width));
    le16(o, static_cast<uint32_t>(s.height));
    static constexpr uint8_t kEga[48] = {
        0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0x00, 0xaa, 0x00, 0x00, 0xaa, 0xaa, 0xaa, 0x00, 0x00, 0xaa,
        0x00, 0xaa, 0xaa, 0xaa, 0x00, 0xaa, 0xaa, 0xaa, 0x55, 0x55, 0x55, 0x55, 0x55, 0xff, 0x55, 0xff,
        0x55, 0x55, 0xff, 0xff, 0xff, 0x55, 0x55, 0xff, 0x55, 0xff, 0xff, 0xff, 0x55, 0xff, 0xff, 0xff};
    o.append(reinterpret_cast<const char*>(kEga), sizeof kEga);
    o.push_back(0);
    o.push_back(1); // planes
    le16(o, static_cast<uint32_t>(lineBytes));
    le16(o, colour ? 1 : 0);
    // The firmware leaves the height and '0' characters in the filler.
    o.push_back(0);
    le16(o, static_cast<uint32_t>(s.height));
    o.append(128 - o.size(), '0');

    std::vector<uint8_t> line(lineBytes);
    for (int y = 0; y < s.height; ++y) {
        std::fill(line.begin(), line.end(), 0);
        for (int x = 0; x < s.width; ++x) {
            const uint8_t c = s.at(x, y);
            if (colour)
                line[static_cast<std::size_t>(x)] = c;
            else if (isLight(c, opt.inkSaver))
                line[static_cast<std::size_t>(x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
        }
        pcxRle(o, line.data(), line.size());
    }
    if (colour) {
        o.push_back(0x0C);
        for (int i = 0; i < 256; ++i) {
            const Rgb c =
                i < ScreenColourCount ? screenRgb(static_cast<uint8_t>(i), opt.inkSaver) : Rgb{0, 0, 0};
            o.push_back(static_cast<char>(c.r));
            o.push_back(static_cast<char>(c.g));
            o.push_back(static_cast<char>(c.b));
        }
    }
    return o;
}

} // namespace

std::string encodePicture(PictureFormat format, const Screen& screen, const PictureOptions& options) {
    switch (format) {
    case PictureFormat::Bmp:
        return bmpMono(screen, options);
    case PictureFormat::BmpColor:
        return bmpColour(screen, options);
    case PictureFormat::Tiff:
        return tiff(screen, options);
    case PictureFormat::Png:
        return png(screen, options);
    case PictureFormat::Pcx:
        return pcx(screen, options, false);
    case PictureFormat::PcxColor:
        return pcx(screen, options, true);
    }
    return {};
}

} // namespace vellumix::gpib::sim

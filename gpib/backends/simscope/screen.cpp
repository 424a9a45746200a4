// The simulated scope screen: graticule, traces and readouts in a built-in 5x7 font.
#include "gpib/backends/simscope/picture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

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

} // namespace vellumix::gpib::sim

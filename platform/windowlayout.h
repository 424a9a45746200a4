#pragma once
// Window layout shared by every window of the program: lengths in twips and centring on screen.
#include <QRect>

class QWidget;

namespace vellumix {

// Lengths of the layouts are in twips; 15 twips make one pixel at 96 dpi.
constexpr int twipsToPixels(int twips) {
    return twips / 15;
}

constexpr QRect twipsRect(int left, int top, int width, int height) {
    return {twipsToPixels(left), twipsToPixels(top), twipsToPixels(width), twipsToPixels(height)};
}

// Moves a top-level window so that its frame is centred on the available area of its screen.
void centreOnScreen(QWidget& window);

} // namespace vellumix

#pragma once
// A push button whose caption wraps onto several lines and shrinks its font until it fits. The
// windows are laid out in fixed sizes for a small system font; a desktop font with other metrics
// must not push a caption into the button's edges.
#include <QPushButton>

namespace vellumix {

class CaptionButton : public QPushButton {
    Q_OBJECT
public:
    explicit CaptionButton(const QString& caption, QWidget* parent = nullptr);

    // The font the caption is drawn in: the button's own, or the largest smaller one that fits.
    QFont captionFont() const;
    // Whether the caption fits inside the button's contents in captionFont().
    bool captionFits() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRect captionArea() const;
    int captionFlags() const;
};

} // namespace vellumix

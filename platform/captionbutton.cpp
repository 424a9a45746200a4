#include "platform/captionbutton.h"

#include <QStyleOptionButton>
#include <QStylePainter>

namespace vellumix {

namespace {
constexpr qreal SmallestPointSize = 6.0;
} // namespace

CaptionButton::CaptionButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {}

QRect CaptionButton::captionArea() const {
    QStyleOptionButton opt;
    initStyleOption(&opt);
    // A pixel clear of the bevel on either side: text touching it reads as cut off.
    return style()->subElementRect(QStyle::SE_PushButtonContents, &opt, this).adjusted(2, 0, -2, 0);
}

int CaptionButton::captionFlags() const {
    QStyleOptionButton opt;
    initStyleOption(&opt);
    int flags = Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic;
    if (!style()->styleHint(QStyle::SH_UnderlineShortcut, &opt, this)) flags |= Qt::TextHideMnemonic;
    return flags;
}

QFont CaptionButton::captionFont() const {
    QFont f = font();
    if (f.pointSizeF() <= 0) return f;
    const QRect area = captionArea();
    for (qreal size = f.pointSizeF(); size >= SmallestPointSize; size -= 0.25) {
        f.setPointSizeF(size);
        const QRect need = QFontMetrics(f).boundingRect(area, captionFlags(), text());
        if (need.height() <= area.height() && need.width() <= area.width()) break;
    }
    return f;
}

bool CaptionButton::captionFits() const {
    const QRect area = captionArea();
    const QRect need = QFontMetrics(captionFont()).boundingRect(area, captionFlags(), text());
    return need.height() <= area.height() && need.width() <= area.width();
}

void CaptionButton::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton opt;
    initStyleOption(&opt);
    opt.text.clear();
    painter.drawControl(QStyle::CE_PushButton, opt);
    painter.setFont(captionFont());
    style()->drawItemText(&painter, captionArea(), captionFlags(), opt.palette, isEnabled(), text(),
                          QPalette::ButtonText);
}

} // namespace vellumix

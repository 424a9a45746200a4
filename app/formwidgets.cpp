#include "app/formwidgets.h"

#include <QIcon>
#include <QLocale>
#include <QPainter>
#include <QStyleOptionProgressBar>

#include <algorithm>

namespace vellumix {

QIcon programIcon() {
    QIcon icon;
    // The bitmaps keep the icon when the SVG image plugin is not installed.
    for (const char* file : {":/vellumix/vellumix-16.png", ":/vellumix/vellumix-32.png",
                             ":/vellumix/vellumix-48.png", ":/vellumix/vellumix.svg"})
        icon.addFile(QString::fromLatin1(file));
    return icon;
}

// --- PictureBox ---

PictureBox::PictureBox(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(2);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("Button_Cancel"));
    cancel_->setToolTip(QStringLiteral("Stop the transfer (Esc)"));
    cancel_->setAutoDefault(false);
    // Out of the Tab chain (it is there only during a capture, when it takes the focus itself).
    cancel_->setFocusPolicy(Qt::ClickFocus);
    cancel_->hide();
    connect(cancel_, &QPushButton::clicked, this, &PictureBox::cancelClicked);
}

void PictureBox::clear() {
    picture_ = QPixmap();
    shown_ = QPixmap();
    progress_ = false;
    note_.clear();
    update();
}

void PictureBox::setCancelOffered(bool offered) {
    placeCancel();
    cancel_->setVisible(offered);
    if (offered) cancel_->setFocus(Qt::OtherFocusReason);
}

bool PictureBox::cancelOffered() const {
    return cancel_->isVisible();
}

void PictureBox::placeCancel() {
    // Below the bar, centred.
    const QRect area = contentsRect();
    const QFontMetrics fm(font());
    const QSize size = cancel_->sizeHint().expandedTo(QSize(96, 0));
    cancel_->setGeometry(area.center().x() - size.width() / 2, area.center().y() + 2 * fm.height() + 24,
                         size.width(), size.height());
}

void PictureBox::setNote(const QString& note) {
    note_ = note;
    update();
}

QString PictureBox::timeLeftText() const {
    if (!secondsLeft_) return {};
    const double s = *secondsLeft_;
    if (s < 1) return QStringLiteral("less than a second left");
    if (s < 90) return QStringLiteral("about %1 s left").arg(qRound(s));
    return QStringLiteral("about %1 min left").arg(qRound(s / 60));
}

bool PictureBox::load(const QString& path) {
    clear();
    QPixmap loaded;
    if (!loaded.load(path)) return false;
    picture_ = loaded;
    rescale();
    update();
    return true;
}

void PictureBox::setProgress(std::size_t received, std::optional<std::size_t> total,
                             std::optional<double> secondsLeft) {
    picture_ = QPixmap();
    shown_ = QPixmap();
    progress_ = true;
    received_ = received;
    total_ = total;
    secondsLeft_ = secondsLeft;
}

// A hard copy larger than the box is scaled down to fit, keeping its aspect ratio, so the whole
// screen stays visible without scrolling; a smaller one is shown 1:1 and centred, since enlarging
// a screen picture only blurs it.
void PictureBox::rescale() {
    const QSize room = contentsRect().size();
    if (picture_.isNull() || room.isEmpty()) {
        shown_ = picture_;
        return;
    }
    if (picture_.width() > room.width() || picture_.height() > room.height())
        shown_ = picture_.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    else
        shown_ = picture_;
}

QRect PictureBox::pictureRect() const {
    if (shown_.isNull()) return {};
    QRect r(QPoint(0, 0), shown_.size());
    r.moveCenter(contentsRect().center());
    return r;
}

QString PictureBox::progressText() const {
    return QStringLiteral("Receiving hard copy\u2026 %1 bytes")
        .arg(QLocale().toString(qulonglong(received_)));
}

int PictureBox::progressPercent() const {
    if (!total_) return -1;
    if (received_ >= *total_) return 100; // also an announced total of 0
    return static_cast<int>(100.0 * static_cast<double>(received_) / static_cast<double>(*total_));
}

void PictureBox::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    rescale();
    placeCancel();
}

void PictureBox::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    if (progress_) {
        const QRect area = contentsRect();
        const QFontMetrics fm(font());
        const int barWidth = std::min(area.width() - 40, 320);
        const int barHeight = fm.height() + 8;
        const QRect textRect(area.left(), area.center().y() - fm.height() - 6, area.width(), fm.height());
        painter.drawText(textRect, Qt::AlignHCenter | Qt::AlignVCenter, progressText());
        const int percent = progressPercent();
        if (percent >= 0) {
            QStyleOptionProgressBar bar;
            bar.initFrom(this);
            bar.rect = QRect(area.center().x() - barWidth / 2, area.center().y() + 6, barWidth, barHeight);
            bar.minimum = 0;
            bar.maximum = 100;
            bar.progress = percent;
            bar.textVisible = true;
            bar.textAlignment = Qt::AlignCenter;
            bar.text = QStringLiteral("%1 %").arg(percent);
            bar.state |= QStyle::State_Horizontal;
            style()->drawControl(QStyle::CE_ProgressBar, &bar, &painter, this);
        }
        if (const QString left = timeLeftText(); !left.isEmpty()) {
            const QRect leftRect(area.left(), area.center().y() + barHeight + 10, area.width(), fm.height());
            painter.drawText(leftRect, Qt::AlignHCenter | Qt::AlignVCenter, left);
        }
    } else if (!shown_.isNull()) {
        painter.drawPixmap(pictureRect().topLeft(), shown_);
    }
    if (!note_.isEmpty()) {
        const QFontMetrics fm(font());
        const QRect area = contentsRect();
        const QRect band(area.left(), area.bottom() - fm.height() - 8, area.width(), fm.height() + 8);
        painter.fillRect(band, palette().toolTipBase());
        painter.setPen(palette().color(QPalette::ToolTipText));
        painter.drawText(band, Qt::AlignCenter, note_);
    }
}

// --- FrameBox ---

void FrameBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QFontMetrics fm(font());
    // An etched line, drawn here: styles offset their own group box frame below the caption.
    const QRect line = rect().adjusted(0, fm.height() / 2, -2, -2);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(line);
    painter.setPen(palette().color(QPalette::Light));
    painter.drawRect(line.translated(1, 1));

    const QRect captionRect(6, 0, fm.horizontalAdvance(title()) + 6, fm.height());
    painter.fillRect(captionRect, palette().window());
    style()->drawItemText(&painter, captionRect, Qt::AlignCenter | Qt::TextShowMnemonic, palette(),
                          isEnabled(), title(), QPalette::WindowText);
}

} // namespace vellumix

#pragma once
// The main window's own widgets: buttons with wrapping captions, the picture box and the frames.
#include "platform/captionbutton.h"

#include <QFrame>
#include <QGroupBox>
#include <QPixmap>
#include <QPushButton>

#include <cstddef>
#include <optional>

class QIcon;

namespace vellumix {

// The program's icon: a scope screen, at the sizes the desktop asks for.
QIcon programIcon();

// Picture1: shows a hard copy, or the progress of one that is arriving.
class PictureBox : public QFrame {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);

    void clear();
    // False, and the box cleared, when the file cannot be read as a picture.
    bool load(const QString& path);
    void setProgress(std::size_t received, std::optional<std::size_t> total,
                     std::optional<double> secondsLeft = std::nullopt);
    // The Cancel button under the progress display.
    void setCancelOffered(bool offered);
    bool cancelOffered() const;
    QPushButton* cancelButton() const { return cancel_; }
    // A line at the foot of the box, over the picture; empty: none.
    void setNote(const QString& note);
    const QString& note() const { return note_; }

    const QPixmap& picture() const { return picture_; }
    // Where the picture is drawn, in the box's coordinates; empty without a picture.
    QRect pictureRect() const;
    bool showsProgress() const { return progress_; }
    QString progressText() const;
    // "about 12 s left", "about 2 min left"; empty while the time cannot be told.
    QString timeLeftText() const;

Q_SIGNALS:
    void cancelClicked();

public:
    // 0..100 when the total is known, -1 otherwise.
    int progressPercent() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void rescale();
    void placeCancel();

    QPixmap picture_;
    QPushButton* cancel_ = nullptr;
    QString note_;
    std::optional<double> secondsLeft_;
    QPixmap shown_;
    bool progress_ = false;
    std::size_t received_ = 0;
    std::optional<std::size_t> total_;
};

// A frame whose caption sits on its top line, so that the controls placed inside it at the layout's
// offsets clear the caption (styles that put the caption above the line would overlap them).
class FrameBox : public QGroupBox {
    Q_OBJECT
public:
    FrameBox(const QString& caption, QWidget* parent) : QGroupBox(caption, parent) {}

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace vellumix

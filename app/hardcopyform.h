#pragma once
// The main window: the layout of the design, its controls under their design names, and the
// forwarding of its events to the HardCopySession that holds the run.
#include "platform/desktop.h"
#include "app/hardcopyview.h"
#include "app/session.h"
#include "gpib/link.h"

#include <QFrame>
#include <QPixmap>
#include <QPushButton>
#include <QWidget>

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

class QButtonGroup;
class QIcon;
class QCheckBox;
class QGroupBox;
class QRadioButton;

namespace vellumix {

// The program's icon: a scope screen, at the sizes the desktop asks for.
QIcon programIcon();

// Lengths of the layout are in twips; 15 twips make one pixel at 96 dpi.
constexpr int twipsToPixels(int twips) {
    return twips / 15;
}

// A push button whose caption wraps onto several lines, shrinking its font when even that does
// not fit. The caption stays the button's text, so its "&" access key works as usual.
class CaptionButton : public QPushButton {
    Q_OBJECT
public:
    explicit CaptionButton(const QString& caption, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// Picture1: shows a hard copy, or the progress of one that is arriving.
class PictureBox : public QFrame {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);

    void clear();
    // False, and the box cleared, when the file cannot be read as a picture.
    bool load(const QString& path);
    void setProgress(std::size_t received, std::optional<std::size_t> total);

    const QPixmap& picture() const { return picture_; }
    // Where the picture is drawn, in the box's coordinates; empty without a picture.
    QRect pictureRect() const;
    bool showsProgress() const { return progress_; }
    QString progressText() const;
    // 0..100 when the total is known, -1 otherwise.
    int progressPercent() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void rescale();

    QPixmap picture_;
    QPixmap shown_;
    bool progress_ = false;
    std::size_t received_ = 0;
    std::optional<std::size_t> total_;
};

class HardCopyForm : public QWidget, public HardCopyView {
    Q_OBJECT
public:
    // Runs the load handler with the program's argument string before returning; the window is
    // then ready to be shown, and its first activation finishes the start-up.
    HardCopyForm(gpib::InstrumentLink& link, Desktop& desktop, const std::string& arguments,
                 QWidget* parent = nullptr);
    ~HardCopyForm() override;

    HardCopySession& session() { return *session_; }
    PictureBox* picture() const { return Picture1; }

    // HardCopyView
    void setCaption(const std::string& caption) override;
    std::string caption() const override;
    void setOptionEnabled(int index, bool enabled) override;
    bool optionEnabled(int index) const override;
    void setOptionCaption(int index, const std::string& caption) override;
    void setOptionChecked(int index) override;
    int checkedOption() const override;
    void setInkSaverEnabled(bool enabled) override;
    bool inkSaverEnabled() const override;
    bool inkSaverChecked() const override;
    void setButtonEnabled(Button button, bool enabled) override;
    bool buttonEnabled(Button button) const override;
    void clearPicture() override;
    bool showPicture(const std::string& path) override;
    void showProgress(std::size_t received, std::optional<std::size_t> total) override;
    void showSplash(const std::string& labelText, int intervalMs) override;

    static constexpr int OptionCount = 6;

protected:
    bool event(QEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildLayout();
    void scheduleActivation();
    // Runs one event handler of the session. A close request that arrives meanwhile (from a nested
    // event loop) is carried out once the handler has returned.
    template <typename Handler> void runHandler(Handler&& handler);
    // The same for the user's clicks, which start nothing before the first activation has set the
    // window up, nor inside another handler.
    template <typename Handler> void runUserHandler(Handler&& handler);
    QPushButton* buttonFor(Button button) const;
    QRadioButton* option(int index) const;

    Desktop& desktop_;
    std::unique_ptr<HardCopySession> session_;

    QPushButton* Button_GetHardCopy = nullptr;
    QPushButton* Button_ImportLastFile = nullptr;
    QPushButton* Button_OpenInWin = nullptr;
    QPushButton* Button_SaveToFile = nullptr;
    QPushButton* Button_Exit = nullptr;
    QPushButton* Button_About = nullptr;
    QGroupBox* Frame1 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QCheckBox* Check_InkSaver = nullptr;
    PictureBox* Picture1 = nullptr;
    std::array<QRadioButton*, OptionCount> Option_HCFormat{};
    QButtonGroup* optionGroup_ = nullptr;

    int handlerDepth_ = 0;
    bool closePending_ = false;
    bool activationQueued_ = false;
    bool unloaded_ = false;
};

} // namespace vellumix

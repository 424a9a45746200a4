// The window as the session sees it (HardCopyView): captions, options, buttons, the picture, the
// progress and the Cancel offer, the clipboard and the splash.
#include "app/hardcopyform.h"
#include "app/qtpath.h"

#include "about/introform.h"
#include "picture/pcxdecode.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QRadioButton>

#include <algorithm>

namespace vellumix {

void HardCopyForm::setCaption(const std::string& caption) {
    setWindowTitle(QString::fromStdString(caption));
}

std::string HardCopyForm::caption() const {
    return windowTitle().toStdString();
}

QRadioButton* HardCopyForm::option(int index) const {
    if (index < 0 || index >= OptionCount) return nullptr;
    return Option_HCFormat[std::size_t(index)];
}

void HardCopyForm::setOptionEnabled(int index, bool enabled) {
    if (QRadioButton* opt = option(index)) opt->setEnabled(enabled);
}

bool HardCopyForm::optionEnabled(int index) const {
    const QRadioButton* opt = option(index);
    // Its own state: a capture disables the frame around it for a while.
    return opt && opt->isEnabledTo(Frame1);
}

void HardCopyForm::setOptionCaption(int index, const std::string& caption) {
    if (QRadioButton* opt = option(index)) opt->setText(QString::fromStdString(caption));
}

void HardCopyForm::setOptionChecked(int index) {
    if (QRadioButton* opt = option(index)) opt->setChecked(true);
}

int HardCopyForm::checkedOption() const {
    return optionGroup_->checkedId();
}

void HardCopyForm::setInkSaverEnabled(bool enabled) {
    Check_InkSaver->setEnabled(enabled);
}

bool HardCopyForm::inkSaverEnabled() const {
    return Check_InkSaver->isEnabledTo(Frame2);
}

bool HardCopyForm::inkSaverChecked() const {
    return Check_InkSaver->isChecked();
}

QPushButton* HardCopyForm::buttonFor(Button button) const {
    switch (button) {
    case Button::GetHardCopy:
        return Button_GetHardCopy;
    case Button::ImportLastFile:
        return Button_ImportLastFile;
    case Button::OpenInWin:
        return Button_OpenInWin;
    case Button::SaveToFile:
        return Button_SaveToFile;
    case Button::Exit:
        return Button_Exit;
    case Button::About:
        return Button_About;
    }
    return nullptr;
}

void HardCopyForm::setButtonEnabled(Button button, bool enabled) {
    QPushButton* b = buttonFor(button);
    if (!b) return;
    // Held by a running capture: the state it gets back afterwards.
    for (auto& [w, state] : held_)
        if (w == b) {
            state = enabled;
            return;
        }
    b->setEnabled(enabled);
}

bool HardCopyForm::buttonEnabled(Button button) const {
    const QPushButton* b = buttonFor(button);
    for (const auto& [w, state] : held_)
        if (w == b) return state;
    return b && b->isEnabled();
}

void HardCopyForm::clearPicture() {
    Picture1->clear();
}

bool HardCopyForm::showPicture(const std::string& path) {
    return Picture1->load(pathText(path));
}

void HardCopyForm::showProgress(std::size_t received, std::optional<std::size_t> total,
                                std::optional<double> secondsLeft) {
    Picture1->setProgress(received, total, secondsLeft);
    // Painted now: the read blocks the event loop between the pieces.
    Picture1->repaint();
}

void HardCopyForm::offerCancel(bool offered) {
    if (offered && held_.empty()) {
        focusBefore_ = focusWidget();
        for (QWidget* w :
             std::initializer_list<QWidget*>{Button_GetHardCopy, Button_ImportLastFile, Button_OpenInWin,
                                             Button_SaveToFile, Button_Exit, Button_About, Frame1, Frame2}) {
            held_.emplace_back(w, w->isEnabled());
            w->setEnabled(false);
        }
    } else if (!offered) {
        const auto held = std::move(held_);
        held_.clear();
        for (const auto& [w, state] : held)
            w->setEnabled(state);
    }
    Picture1->setCancelOffered(offered);
    // The keyboard goes back where it was (Get Hard Copy, usually): the Cancel button that had it
    // is gone.
    if (!offered && focusBefore_) {
        focusBefore_->setFocus(Qt::OtherFocusReason);
        focusBefore_ = nullptr;
    }
}

void HardCopyForm::pollInput() {
    // Everything, the user's input included: the other controls are disabled, so only Cancel, Esc
    // and a close request (which waits for the capture) can act.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void HardCopyForm::showNote(const std::string& text) {
    Picture1->setNote(QString::fromStdString(text));
}

bool HardCopyForm::copyPicture(const std::string& path) {
    QFile file(pathText(path));
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray bytes = file.readAll();
    // BMP and PNG are built into Qt, TIFF comes with its image format plugins; PCX has no reader.
    QImage image;
    if (!image.loadFromData(bytes)) {
        const auto pcx = picture::decodePcx(std::string_view(bytes.constData(), std::size_t(bytes.size())));
        if (!pcx) return false;
        image = QImage(pcx->width, pcx->height, QImage::Format_RGB32);
        for (int y = 0; y < pcx->height; ++y)
            std::copy_n(pcx->pixels.data() + std::size_t(y) * std::size_t(pcx->width), pcx->width,
                        reinterpret_cast<uint32_t*>(image.scanLine(y)));
    }
    QGuiApplication::clipboard()->setImage(image);
    return true;
}

void HardCopyForm::showSplash(const std::string& labelText, int intervalMs) {
    // No owner window: the splash centres itself on the screen.
    IntroForm splash(QString::fromStdString(labelText), intervalMs);
    splash.exec();
}

} // namespace vellumix

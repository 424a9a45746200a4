#pragma once
// The main window: the layout of the design, its controls under their design names, and the
// forwarding of its events to the HardCopySession that holds the run.
#include "app/hardcopyview.h"
#include "app/session.h"
#include "gpib/link.h"
#include "platform/desktop.h"

#include "app/formwidgets.h"

#include <QPointer>
#include <QWidget>

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QButtonGroup;
class QMenu;
class QIcon;
class QCheckBox;
class QGroupBox;
class QRadioButton;

namespace vellumix {

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
    void showProgress(std::size_t received, std::optional<std::size_t> total,
                      std::optional<double> secondsLeft = std::nullopt) override;
    void offerCancel(bool offered) override;
    void pollInput() override;
    void showNote(const std::string& text) override;
    bool copyPicture(const std::string& path) override;
    void showSplash(const std::string& labelText, int intervalMs) override;

    // The picture's context menu: "Copy Hard Copy", "Save...", "Open in Viewer", offered while there
    // is a current hard copy. Filled into menu; the chosen action runs its handler.
    void fillPictureMenu(QMenu& menu);

    static constexpr int OptionCount = 6;

protected:
    bool event(QEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    void keyPressEvent(QKeyEvent* event) override;
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
    void showPictureMenu(const QPoint& at);
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

    // While a capture offers Cancel: the controls it disabled and the state each is to get back.
    std::vector<std::pair<QWidget*, bool>> held_;
    QPointer<QWidget> focusBefore_;

    int handlerDepth_ = 0;
    bool closePending_ = false;
    bool activationQueued_ = false;
    bool unloaded_ = false;
};

} // namespace vellumix

#pragma once
// The main window as the start-up and capture logic sees it. HardCopyForm implements it; tests
// supply a plain fake, so the sequences run without widgets.
#include <cstddef>
#include <optional>
#include <string>

namespace vellumix {

enum class Button { GetHardCopy, ImportLastFile, OpenInWin, SaveToFile, Exit, About };

class HardCopyView {
public:
    virtual ~HardCopyView() = default;

    virtual void setCaption(const std::string& caption) = 0;
    virtual std::string caption() const = 0;

    // Format options Option_HCFormat(0..5).
    virtual void setOptionEnabled(int index, bool enabled) = 0;
    virtual bool optionEnabled(int index) const = 0;
    virtual void setOptionCaption(int index, const std::string& caption) = 0;
    // Marks the option as the selected one. Does not run the click handler: the caller does.
    virtual void setOptionChecked(int index) = 0;
    // The selected option, or -1 when none is.
    virtual int checkedOption() const = 0;

    virtual void setInkSaverEnabled(bool enabled) = 0;
    virtual bool inkSaverEnabled() const = 0;
    virtual bool inkSaverChecked() const = 0;

    virtual void setButtonEnabled(Button button, bool enabled) = 0;
    virtual bool buttonEnabled(Button button) const = 0;

    // Picture1.
    virtual void clearPicture() = 0;
    // Loads a BMP file into the picture box; false when it cannot be read as a picture.
    virtual bool showPicture(const std::string& path) = 0;
    // While a hard copy arrives: bytes received, the total when the picture's header gives it, and
    // the seconds left at the rate so far once they can be told.
    virtual void showProgress(std::size_t received, std::optional<std::size_t> total,
                              std::optional<double> secondsLeft = std::nullopt) = 0;
    // While a capture runs: a Cancel button in the picture box, and Esc, offered; the other
    // controls disabled meanwhile.
    virtual void offerCancel(bool offered) = 0;
    // Lets the user's input through (the Cancel button, Esc) between the pieces of a transfer.
    virtual void pollInput() = 0;
    // A line in the picture box over what it shows ("Hard copy cancelled."); empty removes it.
    virtual void showNote(const std::string& text) = 0;
    // Puts the picture in the file on the clipboard as an image, whatever its format; false when
    // it cannot be decoded.
    virtual bool copyPicture(const std::string& path) = 0;

    // Shows the splash modally with the given label text; returns when it has closed.
    // intervalMs 0 means it stays until clicked.
    virtual void showSplash(const std::string& labelText, int intervalMs) = 0;
};

} // namespace vellumix

#pragma once
// The port through which the core reaches the user and the platform. The Qt window, the
// command-line tool and the tests each supply their own implementation.
#include <cstdint>
#include <optional>
#include <string>

namespace vellumix {

// Message box flags, numerically as the classic message box API has them so callers can combine them.
enum MsgFlags : int {
    MbOk = 0,
    MbOkCancel = 1,
    MbYesNo = 4,
    MbCritical = 16,
    MbExclamation = 48,
};

enum class MsgAnswer { Ok, Cancel, Yes, No };

// Why the program ends at once (the CLI turns these into exit statuses).
enum class FatalReason {
    DeviceNotConfigured,
    GpibErrorCancelled,
    NoListeners,
    TooManyListeners,
    ScanFailed,
    NotEnoughDevices,
    IdNotFound,
    UnsupportedModel,
    NoDriver,
    DriverUnusable, // the driver keeps refusing the status registration
};

// Show command of the default-handler launcher.
enum class ShowMode : int { Normal = 1, Current = 5 };

struct SaveDialogRequest {
    std::string title;
    std::string initialDir;
    std::string defaultExt; // with its leading dot
    std::string proposedName;
    std::string filterDescription; // e.g. "Picture File (*.bmp)"
    std::string filterPattern;     // e.g. "*.bmp"
};

struct SaveDialogResult {
    std::string fileName;  // full path
    std::string fileTitle; // name without folder
};

class Desktop {
public:
    virtual ~Desktop() = default;

    // Texts use LF line breaks. flags: one of MbOk/MbOkCancel/MbYesNo plus an icon.
    virtual MsgAnswer messageBox(const std::string& prompt, int flags, const std::string& title) = 0;
    // Cancel gives the empty text.
    virtual std::string inputBox(const std::string& prompt, const std::string& title,
                                 const std::string& defaultText) = 0;
    // Empty optional on Cancel.
    virtual std::optional<SaveDialogResult> saveDialog(const SaveDialogRequest& request) = 0;
    // A local path (absolute), an http(s) URL or a mailto link.
    virtual void openWithDefaultHandler(const std::string& target, ShowMode mode) = 0;

    // Per-user settings under application "Vellumix", section "Settings". A missing key reads as "".
    virtual std::string readSetting(const std::string& key) = 0;
    virtual void writeSetting(const std::string& key, const std::string& value) = 0;

    // Downloads url into the file at path; 0 on success, non-zero on failure.
    virtual int download(const std::string& url, const std::string& path) = 0;

    virtual void setBusyPointer(bool busy) = 0;
    // Lets pending window events run: painting yes, user input no.
    virtual void processEvents() = 0;
    // Ends the program at once, without the main window's unload handling.
    [[noreturn]] virtual void endProgram(FatalReason reason) = 0;
    // Environment lookup; nullopt when the variable is not set.
    virtual std::optional<std::string> environment(const std::string& name) = 0;
};

} // namespace vellumix

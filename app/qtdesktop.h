#pragma once
// The desktop port on Qt: message and input boxes, the Save dialog, the default-handler launcher,
// the per-user settings store, the busy pointer and the end of the program.
#include "platform/desktop.h"

#include <QUrl>

#include <memory>

class QSettings;

namespace vellumix {

class QtDesktop : public Desktop {
public:
    QtDesktop() = default;
    ~QtDesktop() override;
    QtDesktop(const QtDesktop&) = delete;
    QtDesktop& operator=(const QtDesktop&) = delete;

    MsgAnswer messageBox(const std::string& prompt, int flags, const std::string& title) override;
    std::string inputBox(const std::string& prompt, const std::string& title,
                         const std::string& defaultText) override;
    std::optional<SaveDialogResult> saveDialog(const SaveDialogRequest& request) override;
    void openWithDefaultHandler(const std::string& target, ShowMode mode) override;

    std::string readSetting(const std::string& key) override;
    void writeSetting(const std::string& key, const std::string& value) override;

    int download(const std::string& url, const std::string& path) override;

    void setBusyPointer(bool busy) override;
    void processEvents() override;
    [[noreturn]] void endProgram(FatalReason reason) override;
    std::optional<std::string> environment(const std::string& name) override;

    // What openWithDefaultHandler hands to the desktop: web and mail links as URLs, anything else
    // as a local path.
    static QUrl targetUrl(const std::string& target);

    // Exit status of a program ended by endProgram.
    static constexpr int FatalExitStatus = 1;

protected:
    // Ends the process; tests override it to observe the end instead of dying.
    [[noreturn]] virtual void endProcess(int status);

private:
    void reportSettingsProblem(const char* what, int status);
    // The settings store; null when there is nowhere to keep it.
    std::unique_ptr<QSettings> openSettings();

    bool busy_ = false;
    bool settingsWarned_ = false;
};

} // namespace vellumix

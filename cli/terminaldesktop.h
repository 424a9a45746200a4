#pragma once
// The Desktop of the command-line tool: message boxes become lines on stderr, questions get the
// answer that stops rather than goes on, and nothing touches the GUI's settings.
#include "platform/desktop.h"

#include <functional>
#include <ostream>

namespace vellumix::cli {

// Thrown by endProgram; main turns it into the exit status (exitStatusFor).
struct ProgramEnd {
    FatalReason reason;
};

class TerminalDesktop final : public Desktop {
public:
    using EnvironmentLookup = std::function<std::optional<std::string>(const std::string&)>;
    // environment: how variables are looked up; empty means the process environment.
    explicit TerminalDesktop(std::ostream& err, EnvironmentLookup environment = {});

    // "title: first line", further lines indented. OK/Cancel answers Cancel (a driver error ends
    // the command: nobody is there to decide), Yes/No answers No, OK answers OK.
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

    // Message boxes shown so far (the tests count them).
    int boxesShown() const { return boxes_; }

private:
    std::ostream& err_;
    EnvironmentLookup environment_;
    int boxes_ = 0;
};

// The text a box becomes on the terminal (without the final line end).
std::string boxText(const std::string& prompt, const std::string& title);

} // namespace vellumix::cli

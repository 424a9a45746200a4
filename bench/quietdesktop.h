#pragma once
// The desktop of a benchmark program: nothing to show, boxes go to stderr.
#include "platform/desktop.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace vellumix::bench {

// Nothing to show: a benchmark has no user.
class QuietDesktop final : public Desktop {
public:
    MsgAnswer messageBox(const std::string& prompt, int, const std::string& title) override {
        std::fprintf(stderr, "box: %s: %s\n", title.c_str(), prompt.c_str());
        return MsgAnswer::Ok;
    }
    std::string inputBox(const std::string&, const std::string&, const std::string& d) override { return d; }
    std::optional<SaveDialogResult> saveDialog(const SaveDialogRequest&) override { return std::nullopt; }
    void openWithDefaultHandler(const std::string&, ShowMode) override {}
    std::string readSetting(const std::string&) override { return {}; }
    void writeSetting(const std::string&, const std::string&) override {}
    int download(const std::string&, const std::string&) override { return 1; }
    void setBusyPointer(bool) override {}
    void processEvents() override {}
    [[noreturn]] void endProgram(FatalReason) override { std::exit(3); }
    std::optional<std::string> environment(const std::string&) override { return std::nullopt; }
};

} // namespace vellumix::bench

#pragma once
// A scripted Desktop for the About, update check and file rule tests: records what the user would see
// and answers message boxes from a queue.
#include "app/desktop.h"

#include <deque>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vellumix::test {

struct RecordedBox {
    std::string prompt;
    int flags;
    std::string title;
};

struct RecordedOpen {
    std::string target;
    ShowMode mode;
};

class ScriptedDesktop : public Desktop {
public:
    std::map<std::string, std::string> env;
    std::deque<MsgAnswer> answers; // message box answers in order; an empty queue answers Ok
    std::function<int(const std::string&, const std::string&)> downloader;
    std::function<void()> onMessageBox; // runs as a box would appear

    std::vector<RecordedBox> boxes;
    std::vector<RecordedOpen> opened;
    std::vector<std::string> downloads; // urls

    MsgAnswer messageBox(const std::string& prompt, int flags, const std::string& title) override {
        boxes.push_back({prompt, flags, title});
        if (onMessageBox) onMessageBox();
        if (answers.empty()) return MsgAnswer::Ok;
        MsgAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    std::string inputBox(const std::string&, const std::string&, const std::string&) override {
        throw std::logic_error("unexpected input box");
    }
    std::optional<SaveDialogResult> saveDialog(const SaveDialogRequest&) override {
        throw std::logic_error("unexpected save dialog");
    }
    void openWithDefaultHandler(const std::string& target, ShowMode mode) override {
        opened.push_back({target, mode});
    }
    std::string readSetting(const std::string&) override { return {}; }
    void writeSetting(const std::string&, const std::string&) override {}
    int download(const std::string& url, const std::string& path) override {
        downloads.push_back(url);
        if (!downloader) throw std::logic_error("unexpected download");
        return downloader(url, path);
    }
    void setBusyPointer(bool) override {}
    void processEvents() override {}
    [[noreturn]] void endProgram(FatalReason) override {
        throw std::logic_error("unexpected end of program");
    }
    std::optional<std::string> environment(const std::string& name) override {
        auto it = env.find(name);
        if (it == env.end()) return std::nullopt;
        return it->second;
    }
};

} // namespace vellumix::test

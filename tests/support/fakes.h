#pragma once
// Test doubles shared by the test programs: a scripted desktop, a plain main-window view and a
// scripted driver that logs every call.
#include "app/hardcopyview.h"
#include "capture/formats.h"
#include "gpib/driver.h"
#include "gpib/status.h"
#include "platform/desktop.h"

#include <array>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vellumix::test {

// Thrown where the real program would end at once.
struct ProgramEnded {
    FatalReason reason;
};

class FakeDesktop : public Desktop {
public:
    struct Box {
        std::string prompt;
        int flags;
        std::string title;
    };
    std::vector<Box> boxes;
    std::deque<MsgAnswer> answers; // scripted answers; when empty: OK, or No for Yes/No boxes
    std::string inputAnswer;
    std::vector<std::string> inputPrompts;
    std::optional<SaveDialogResult> saveAnswer;
    std::vector<SaveDialogRequest> saveRequests;
    struct Opened {
        std::string target;
        ShowMode mode;
    };
    std::vector<Opened> opened;
    std::map<std::string, std::string> settings;
    std::vector<std::pair<std::string, std::string>> settingWrites;
    std::map<std::string, std::string> env;
    std::function<int(const std::string&, const std::string&)> downloader;
    std::vector<std::string> downloads;     // urls, in order
    std::function<void()> onMessageBox;     // runs as a box would appear
    std::optional<MsgAnswer> defaultAnswer; // when the script is empty; unset: OK, or No for Yes/No
    std::vector<std::string> busyTrace;     // "on"/"off", in order
    int processEventsCalls = 0;
    std::function<void()> onProcessEvents;
    std::optional<FatalReason> ended;

    MsgAnswer messageBox(const std::string& prompt, int flags, const std::string& title) override {
        boxes.push_back({prompt, flags, title});
        if (onMessageBox) onMessageBox();
        if (!answers.empty()) {
            const MsgAnswer a = answers.front();
            answers.pop_front();
            return a;
        }
        if (defaultAnswer) return *defaultAnswer;
        return (flags & 7) == MbYesNo ? MsgAnswer::No : MsgAnswer::Ok;
    }
    std::string inputBox(const std::string& prompt, const std::string&, const std::string&) override {
        inputPrompts.push_back(prompt);
        return inputAnswer;
    }
    std::optional<SaveDialogResult> saveDialog(const SaveDialogRequest& request) override {
        saveRequests.push_back(request);
        return saveAnswer;
    }
    void openWithDefaultHandler(const std::string& target, ShowMode mode) override {
        opened.emplace_back(target, mode);
    }
    std::string readSetting(const std::string& key) override {
        auto it = settings.find(key);
        return it == settings.end() ? std::string() : it->second;
    }
    void writeSetting(const std::string& key, const std::string& value) override {
        settings[key] = value;
        settingWrites.emplace_back(key, value);
    }
    int download(const std::string& url, const std::string& path) override {
        downloads.push_back(url);
        return downloader ? downloader(url, path) : 1;
    }
    void setBusyPointer(bool busy) override { busyTrace.push_back(busy ? "on" : "off"); }
    void processEvents() override {
        ++processEventsCalls;
        if (onProcessEvents) onProcessEvents();
    }
    [[noreturn]] void endProgram(FatalReason reason) override {
        ended = reason;
        throw ProgramEnded{reason};
    }
    std::optional<std::string> environment(const std::string& name) override {
        auto it = env.find(name);
        if (it == env.end()) return std::nullopt;
        return it->second;
    }
};

// Answers every box with OK unless the script says otherwise.
struct ScriptedDesktop : FakeDesktop {
    ScriptedDesktop() { defaultAnswer = MsgAnswer::Ok; }
};

class FakeView : public HardCopyView {
public:
    std::string captionText = "Vellumix";
    std::array<bool, 6> enabled{};
    std::array<std::string, 6> captions = [] {
        std::array<std::string, 6> c;
        for (const auto& f : capture::Formats)
            c[static_cast<std::size_t>(f.index)] = f.caption;
        return c;
    }();
    int checked = -1;
    bool inkEnabled = false;
    bool inkChecked = false;
    std::map<Button, bool> buttons{{Button::GetHardCopy, true}, {Button::ImportLastFile, true},
                                   {Button::OpenInWin, false},  {Button::SaveToFile, false},
                                   {Button::Exit, true},        {Button::About, true}};
    std::string picture; // path shown, "" when cleared
    bool pictureLoads = true;
    std::vector<std::pair<std::size_t, std::optional<std::size_t>>> progress;
    std::vector<std::pair<std::string, int>> splashes;
    std::vector<std::optional<double>> secondsLeft;
    std::vector<bool> cancelOffered;
    int polls = 0;
    std::function<void()> onPoll; // the user's input between pieces: a test presses Cancel here
    std::string note;
    std::vector<std::string> copied;
    bool pictureCopies = true;
    std::function<void()> onSplash;
    std::function<void(const std::string&)> onShowPicture; // called for every load attempt

    void setCaption(const std::string& c) override { captionText = c; }
    std::string caption() const override { return captionText; }
    void setOptionEnabled(int i, bool e) override { enabled.at(static_cast<std::size_t>(i)) = e; }
    bool optionEnabled(int i) const override { return enabled.at(static_cast<std::size_t>(i)); }
    void setOptionCaption(int i, const std::string& c) override {
        captions.at(static_cast<std::size_t>(i)) = c;
    }
    void setOptionChecked(int i) override { checked = i; }
    int checkedOption() const override { return checked; }
    void setInkSaverEnabled(bool e) override { inkEnabled = e; }
    bool inkSaverEnabled() const override { return inkEnabled; }
    bool inkSaverChecked() const override { return inkChecked; }
    void setButtonEnabled(Button b, bool e) override { buttons[b] = e; }
    bool buttonEnabled(Button b) const override { return buttons.at(b); }
    void clearPicture() override { picture.clear(); }
    bool showPicture(const std::string& path) override {
        if (onShowPicture) onShowPicture(path);
        if (!pictureLoads) return false;
        picture = path;
        return true;
    }
    void showProgress(std::size_t received, std::optional<std::size_t> total,
                      std::optional<double> left = std::nullopt) override {
        progress.emplace_back(received, total);
        secondsLeft.push_back(left);
    }
    void offerCancel(bool offered) override { cancelOffered.push_back(offered); }
    void pollInput() override {
        ++polls;
        if (onPoll) onPoll();
    }
    void showNote(const std::string& text) override { note = text; }
    bool copyPicture(const std::string& path) override {
        copied.push_back(path);
        return pictureCopies;
    }
    void showSplash(const std::string& text, int ms) override {
        splashes.emplace_back(text, ms);
        if (onSplash) onSplash();
    }
};

// A driver whose every result comes from a script; logs each call as text for trace comparisons.
class ScriptedDriver : public gpib::GpibDriver {
public:
    struct Result {
        int32_t sta = gpib::CMPL;
        int32_t err = 0;
        int32_t cnt = 0;
    };
    struct Read {
        Read(std::string b = {}, int32_t s = gpib::CMPL | gpib::END, int32_t e = 0,
             std::optional<int32_t> c = {})
            : bytes(std::move(b)), sta(s), err(e), cnt(c) {}
        std::string bytes;
        int32_t sta;
        int32_t err;
        std::optional<int32_t> cnt; // defaults to bytes.size()
    };

    std::vector<std::string> calls;
    std::vector<std::string> written; // ibwrt texts, in order
    std::deque<int32_t> registerCodes;
    std::deque<Read> reads;
    std::map<std::string, Result> writeResults; // by exact command text
    std::optional<Result> nextResult;           // overrides the next call's status
    std::vector<uint16_t> listeners{0, 1};
    Result findLstnResult;
    std::map<int32_t, int32_t> timeouts; // descriptor -> code
    int32_t nextDescriptor = 16;
    bool publishing = false;

    int32_t RegisterGpibGlobalsForThread(int32_t* sta, int32_t* err, int32_t* cnt, int32_t* cntl) override {
        calls.push_back("Register");
        int32_t code = 0;
        if (!registerCodes.empty()) {
            code = registerCodes.front();
            registerCodes.pop_front();
        }
        if (code == 0 || code == 1) {
            sta_ = sta;
            err_ = err;
            cnt_ = cnt;
            cntl_ = cntl;
        }
        return code;
    }
    int32_t UnregisterGpibGlobalsForThread() override {
        calls.push_back("Unregister");
        return 0;
    }
    void SendIFC(int32_t board) override { finish("SendIFC(" + std::to_string(board) + ")", {}); }
    int32_t ibsre(int32_t board, int32_t v) override {
        return finish("ibsre(" + std::to_string(board) + "," + std::to_string(v) + ")", {});
    }
    void FindLstn(int32_t board, const uint16_t* list, uint16_t* results, int32_t limit) override {
        int n = 0;
        while (list[n] != 0xFFFF)
            ++n;
        for (std::size_t i = 0; i < listeners.size() && static_cast<int32_t>(i) < limit; ++i)
            results[i] = listeners[i];
        Result r = findLstnResult;
        if (r.cnt == 0) r.cnt = static_cast<int32_t>(listeners.size());
        finish("FindLstn(" + std::to_string(board) + "," + std::to_string(n) + "," + std::to_string(limit) +
                   ")",
               r);
    }
    int32_t ibdev(int32_t board, int32_t pad, int32_t sad, int32_t tmo, int32_t eot, int32_t eos) override {
        const int32_t ud = nextDescriptor++;
        timeouts[ud] = tmo;
        finish("ibdev(" + std::to_string(board) + "," + std::to_string(pad) + "," + std::to_string(sad) +
                   "," + std::to_string(tmo) + "," + std::to_string(eot) + "," + std::to_string(eos) + ")",
               {});
        return ud;
    }
    int32_t ibpad(int32_t ud, int32_t pad) override {
        return finish("ibpad(" + std::to_string(ud) + "," + std::to_string(pad) + ")", {});
    }
    int32_t ibclr(int32_t ud) override { return finish("ibclr(" + std::to_string(ud) + ")", {}); }
    int32_t ibrsp(int32_t ud, char* spr) override {
        spr[0] = 0;
        return finish("ibrsp(" + std::to_string(ud) + ")", {});
    }
    int32_t ibwrt(int32_t ud, const char* buf, int32_t count) override {
        const std::string text(buf, static_cast<std::size_t>(count));
        written.push_back(text);
        Result r{gpib::CMPL, 0, count};
        if (auto it = writeResults.find(text); it != writeResults.end()) r = it->second;
        return finish("ibwrt(" + std::to_string(ud) + "," + text + ")", r);
    }
    int32_t ibrd(int32_t ud, char* buf, int32_t count) override {
        Read rd;
        if (reads.empty()) {
            rd = Read{"", gpib::ERR | gpib::TIMO | gpib::CMPL, gpib::EABO, 0};
        } else {
            rd = reads.front();
            if (static_cast<int32_t>(rd.bytes.size()) > count) {
                // Deliver the front part; the rest stays for the next read, without END.
                reads.front().bytes.erase(0, static_cast<std::size_t>(count));
                rd.bytes.resize(static_cast<std::size_t>(count));
                rd.sta &= ~gpib::END;
                rd.cnt.reset();
            } else {
                reads.pop_front();
            }
        }
        std::copy(rd.bytes.begin(), rd.bytes.end(), buf);
        return finish("ibrd(" + std::to_string(ud) + "," + std::to_string(count) + ")",
                      {rd.sta, rd.err, rd.cnt.value_or(static_cast<int32_t>(rd.bytes.size()))});
    }
    int32_t ibwait(int32_t ud, int32_t mask) override {
        return finish("ibwait(" + std::to_string(ud) + "," + std::to_string(mask) + ")", {});
    }
    int32_t ibtmo(int32_t ud, int32_t code) override {
        timeouts[ud] = code;
        return finish("ibtmo(" + std::to_string(ud) + "," + std::to_string(code) + ")", {});
    }
    int32_t ibask(int32_t ud, int32_t option, int32_t* value) override {
        *value = timeouts.count(ud) ? timeouts[ud] : gpib::T3s;
        return finish("ibask(" + std::to_string(ud) + "," + std::to_string(option) + ")", {});
    }

private:
    int32_t finish(std::string call, Result r) {
        calls.push_back(std::move(call));
        if (nextResult) {
            r = *nextResult;
            nextResult.reset();
        }
        if (sta_) {
            *sta_ = r.sta;
            *err_ = r.err;
            *cnt_ = r.cnt;
            *cntl_ = r.cnt;
        }
        return r.sta;
    }
    int32_t* sta_ = nullptr;
    int32_t* err_ = nullptr;
    int32_t* cnt_ = nullptr;
    int32_t* cntl_ = nullptr;
};

// Passes every call to another driver; `before` sees each write's text and each read ("ibrd")
// first, so a test can cancel at a chosen point of an exchange.
class InterposedDriver : public gpib::GpibDriver {
public:
    explicit InterposedDriver(gpib::GpibDriver& d) : d_(d) {}
    std::function<void(const std::string& call)> before;
    int cancels = 0;
    // As the buses whose port refuses every write after a cancel until it is cleared (an adapter,
    // VXI-11): ERR, EABO.
    bool refusesWhileCancelled = false;

    int32_t RegisterGpibGlobalsForThread(int32_t* a, int32_t* b, int32_t* c, int32_t* e) override {
        sta_ = a, err_ = b, cnt_ = c, cntl_ = e;
        return d_.RegisterGpibGlobalsForThread(a, b, c, e);
    }
    int32_t UnregisterGpibGlobalsForThread() override { return d_.UnregisterGpibGlobalsForThread(); }
    void SendIFC(int32_t board) override { d_.SendIFC(board); }
    int32_t ibsre(int32_t board, int32_t v) override { return d_.ibsre(board, v); }
    void FindLstn(int32_t b, const uint16_t* l, uint16_t* r, int32_t n) override { d_.FindLstn(b, l, r, n); }
    int32_t ibdev(int32_t b, int32_t p, int32_t s, int32_t t, int32_t eot, int32_t eos) override {
        return d_.ibdev(b, p, s, t, eot, eos);
    }
    int32_t ibpad(int32_t ud, int32_t pad) override { return d_.ibpad(ud, pad); }
    int32_t ibclr(int32_t ud) override { return d_.ibclr(ud); }
    int32_t ibrsp(int32_t ud, char* spr) override { return d_.ibrsp(ud, spr); }
    int32_t ibwrt(int32_t ud, const char* buf, int32_t count) override {
        if (before) before(std::string(buf, static_cast<std::size_t>(count)));
        if (refusesWhileCancelled && cancelled_ && sta_) {
            *sta_ = gpib::ErrBit, *err_ = gpib::EABO, *cnt_ = 0, *cntl_ = 0;
            return gpib::ErrBit;
        }
        return d_.ibwrt(ud, buf, count);
    }
    int32_t ibrd(int32_t ud, char* buf, int32_t count) override {
        if (before) before("ibrd");
        return d_.ibrd(ud, buf, count);
    }
    int32_t ibwait(int32_t ud, int32_t mask) override { return d_.ibwait(ud, mask); }
    int32_t ibtmo(int32_t ud, int32_t code) override { return d_.ibtmo(ud, code); }
    int32_t ibask(int32_t ud, int32_t o, int32_t* v) override { return d_.ibask(ud, o, v); }
    const char* hardCopyPort() const override { return d_.hardCopyPort(); }
    void cancel() override {
        ++cancels;
        cancelled_ = true;
        d_.cancel();
    }
    void clearCancel() override {
        cancelled_ = false;
        d_.clearCancel();
    }

private:
    gpib::GpibDriver& d_;
    bool cancelled_ = false;
    int32_t *sta_ = nullptr, *err_ = nullptr, *cnt_ = nullptr, *cntl_ = nullptr;
};

} // namespace vellumix::test

#pragma once
// The run of the main window: its members and its event handlers, free of widgets.
// HardCopyForm owns one and forwards its events; tests drive it with a fake view and desktop.
#include "app/hardcopyview.h"
#include "capture/formats.h"
#include "gpib/link.h"
#include "platform/desktop.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vellumix {

// Settings keys.
inline constexpr const char* SettingLastFileName = "Last FileName";
inline constexpr const char* SettingSavePath = "Save Path";

// The program's argument string as the load handler sees it: the command line without Vellumix's
// own options (--bus and its URI), so that a bus URI cannot bring up the scope-type prompt.
std::string programArguments(const std::vector<std::string>& args);

class HardCopySession {
public:
    HardCopySession(gpib::InstrumentLink& link, Desktop& desktop, HardCopyView& view);

    // Members of the main window.
    int16_t ScopeDevice = 0;
    std::string ScopeModel;
    bool Activated = false;
    std::string LastFileName;
    std::string DataFolder;
    std::string CurrentFileName;
    std::string FileExt;
    std::string FormatWord;
    std::string SavePath;
    bool FileSystem = false;

    // Program-wide texts built at load.
    std::string AppVersion;
    std::string AppDate;

    // Event handlers.
    void Load(const std::string& arguments);
    void Activate();
    void Unload();
    void Option_HCFormat_Click(int16_t index);
    void Button_GetHardCopy_Click();
    void Button_SaveToFile_Click();
    void Button_ImportLastFile_Click();
    void Button_OpenInWin_Click();
    // Ctrl+C and the picture's context menu: the current hard copy to the clipboard.
    void Copy_Click();
    // The Cancel button and Esc while a capture runs; may come from inside it (pollInput).
    void Cancel_Click();
    bool capturing() const { return capturing_; }

    // Public methods of the window.
    void IdentifyTDS(int16_t& device);
    void Intro(int16_t interval);

    // The caption built at load, also the splash's label: "Vellumix, v1.25 - Dec 2024 / QZ".
    std::string titleText() const;
    std::string currentFilePath() const;

    gpib::InstrumentLink& link() { return link_; }

private:
    void selectOption(int index);
    capture::FormatOffered enabledOption() const;
    bool showOrAsk(const std::string& path);

    gpib::InstrumentLink& link_;
    Desktop& desktop_;
    HardCopyView& view_;
    bool capturing_ = false;
};

} // namespace vellumix

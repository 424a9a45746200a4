#include "app/session.h"

#include "about/version.h"
#include "capture/formats.h"
#include "capture/hardcopy.h"
#include "capture/identify.h"
#include "capture/models.h"
#include "files/filerules.h"
#include "gpib/backends/busuri.h"
#include "gpib/discovery.h"
#include "gpib/errorreport.h"
#include "gpib/exchange.h"
#include "picture/completeness.h"
#include "picture/pictureinfo.h"
#include "platform/paths.h"
#include "platform/text.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

namespace vellumix {

namespace {

const char* const ViewerQuestion = "Only bmp-format pictures can be displayed here.\n\n"
                                   "Do you want to open it with your default Windows viewer ?";
const char* const ViewerTitle = "Show current Hard Copy";

// How often a waiting driver lets the window's events run.
constexpr gpib::Clock::duration IdleEvents = std::chrono::milliseconds(50);

bool exists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec);
}

// Restores the default pointer however the capture ends.
class BusyPointer {
public:
    explicit BusyPointer(Desktop& desktop) : desktop_(desktop) {}
    ~BusyPointer() { off(); }
    BusyPointer(const BusyPointer&) = delete;
    BusyPointer& operator=(const BusyPointer&) = delete;
    void on() {
        if (!busy_) desktop_.setBusyPointer(true);
        busy_ = true;
    }
    void off() {
        if (busy_) desktop_.setBusyPointer(false);
        busy_ = false;
    }

private:
    Desktop& desktop_;
    bool busy_ = false;
};

} // namespace

std::string programArguments(const std::vector<std::string>& args) {
    std::string arguments;
    for (const std::string& a : gpib::findBusArgument(args).remaining) {
        if (!arguments.empty()) arguments += ' ';
        arguments += a;
    }
    return arguments;
}

HardCopySession::HardCopySession(gpib::InstrumentLink& link, Desktop& desktop, HardCopyView& view)
    : link_(link), desktop_(desktop), view_(view) {}

std::string HardCopySession::titleText() const {
    return vellumix::titleText(AppVersion, AppDate);
}

std::string HardCopySession::currentFilePath() const {
    return joinPath(DataFolder, CurrentFileName);
}

void HardCopySession::Load(const std::string& arguments) {
    std::string scopeType = "TDS";
    if (lowerAscii(arguments).find("sel") != std::string::npos)
        scopeType = upperAscii(desktop_.inputBox("Enter the TDS type you want to connect to",
                                                 "Manually select TDS Scope", "TDS "));
    AppVersion = buildVersionText();
    AppDate = vellumix::AppDate;
    view_.setCaption(titleText());

    link_.DeviceTimeout = gpib::T3s; // before the search, which gives it to the device it hands out
    gpib::ScanBus(link_, 1);
    std::string query = "ID?";
    ScopeDevice = gpib::FindDeviceById(link_, query, scopeType);
    // Only a quiet search ("!" typed at the prompt) comes back without a device. Nothing can be
    // done without one, so say so now rather than after showing a window that cannot work.
    if (ScopeDevice == 0) gpib::DeviceNotConfigured(link_);
}

void HardCopySession::Activate() {
    if (Activated) return;
    FileSystem = true;
    IdentifyTDS(ScopeDevice);

    link_.ScopeAddress = link_.addressOfDevice(ScopeDevice);
    view_.setCaption(view_.caption() + "   -   Connected to " + latin1ToUtf8(ScopeModel) +
                     " @ GPIB Addr:" + gpib::numberText(link_.ScopeAddress));

    LastFileName = desktop_.readSetting(SettingLastFileName);
    // The setting can be edited by anyone: a value that is not a plain name inside the data
    // folder would make import and save reach files elsewhere, so it counts as no last file.
    if (!LastFileName.empty() && !isPlainDataFileName(LastFileName)) LastFileName.clear();

    if (const auto restored = capture::formatForFileName(LastFileName, enabledOption()))
        selectOption(*restored);

    DataFolder = dataFolder(desktop_);
    // A file of that name counts as missing too: creating the folder then fails and the user hears why.
    std::error_code dirError;
    if (DataFolder.empty() || !std::filesystem::is_directory(DataFolder, dirError)) {
        std::error_code ec;
        const bool made = !DataFolder.empty() && std::filesystem::create_directories(DataFolder, ec);
        if (!made) {
            if (!ec && !DataFolder.empty()) ec = std::make_error_code(std::errc::not_a_directory);
            const std::string where =
                DataFolder.empty() ? std::string("(AppData and HOME are not set)") : DataFolder;
            desktop_.messageBox("The folder for hard copy files could not be created:\n" + where + "\n\n" +
                                    (ec ? ec.message() : std::string("No folder to create it in.")) +
                                    "\n\nHard copies cannot be stored until this is corrected.",
                                MbExclamation | MbOk, "Data Folder");
        }
    }

    if (LastFileName.empty()) view_.setButtonEnabled(Button::ImportLastFile, false);
    desktop_.processEvents();
    Activated = true;
    Intro(2);
}

void HardCopySession::Unload() {
    if (CurrentFileName != LastFileName && !CurrentFileName.empty())
        desktop_.writeSetting(SettingLastFileName, CurrentFileName);
}

void HardCopySession::IdentifyTDS(int16_t& device) {
    const capture::Identification id = capture::IdentifyScope(link_, device).id;
    ScopeModel = id.model;
    if (!id.capabilities) {
        desktop_.messageBox(latin1ToUtf8(capture::unsupportedModelText(ScopeModel)), MbCritical | MbOk,
                            "TDS");
        desktop_.endProgram(FatalReason::UnsupportedModel);
    }
    const capture::Capabilities& caps = *id.capabilities;
    if (caps.relabel) {
        view_.setOptionCaption(0, capture::Formats[0].monoCaption);
        view_.setOptionCaption(4, capture::Formats[4].monoCaption);
    }
    for (int i = 0; i < 6; ++i)
        view_.setOptionEnabled(i, caps.offersFormat(i));
    if (caps.offersInkSaver()) view_.setInkSaverEnabled(true);
    selectOption(capture::preselectedFormat(enabledOption()));
}

capture::FormatOffered HardCopySession::enabledOption() const {
    return [this](int index) { return view_.optionEnabled(index); };
}

void HardCopySession::selectOption(int index) {
    view_.setOptionChecked(index);
    Option_HCFormat_Click(static_cast<int16_t>(index));
}

void HardCopySession::Option_HCFormat_Click(int16_t index) {
    if (index < 0 || index >= static_cast<int16_t>(capture::Formats.size())) return;
    const auto& format = capture::Formats[static_cast<std::size_t>(index)];
    FormatWord = format.formatWord;
    FileExt = format.fileExt;
    if (Activated) view_.setButtonEnabled(Button::ImportLastFile, false);
}

bool HardCopySession::showOrAsk(const std::string& path) {
    if (FileExt == ".bmp") {
        if (view_.showPicture(path)) return true;
        desktop_.messageBox("The hard copy\n" + path +
                                "\ncannot be shown as a BMP picture. It may hold another format; "
                                "Open Current Hard Copy in Windows Viewer may still show it.",
                            MbExclamation | MbOk, ViewerTitle);
        return false;
    }
    if (desktop_.messageBox(ViewerQuestion, MbYesNo, ViewerTitle) == MsgAnswer::Yes)
        desktop_.openWithDefaultHandler(path, ShowMode::Normal);
    return true;
}

void HardCopySession::Button_GetHardCopy_Click() {
    // Window events run during the transfer without user input, so no second capture can start
    // inside this one; the guard is for callers that drive the handler directly.
    if (capturing_) return;
    capturing_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{capturing_};

    // What stays when the capture is cancelled: the previous hard copy and its picture.
    const std::string previousFile = CurrentFileName;
    const bool previousShown = view_.buttonEnabled(Button::SaveToFile) && exists(currentFilePath());
    view_.clearPicture();
    CurrentFileName = std::string("Vellumix_Temp.") + FileExt;
    const bool inkSaverOn = view_.inkSaverChecked();

    // How the window stays responsive: the exchange runs on this thread and the window's events,
    // the user's included, are processed between the pieces of the reply (pollInput). A worker
    // thread is not an option: NI-488.2 keeps the status words per thread, and every message box
    // of the exchange would have to cross threads. A piece is 512 bytes, about 45 ms at the slowest
    // link (115200 baud). While the scope is silent (preparing the picture, pausing inside it, an
    // adapter finishing a cancelled read) the driver waits in pieces and calls the clock's idle()
    // between them, where the same events run (the hook below): within a tenth of a second on
    // the simulated bus, the "++" adapters and VXI-11, within a second on a GPIB board (its
    // one-second reads). Only a real USBTMC device's read cannot be cut: the kernel's read blocks
    // until bytes or its timeout, and ending it early aborts the bulk transfer and loses data, so
    // there Esc answers when that read ends. The other controls are disabled meanwhile, so only
    // Cancel, Esc and a close request (kept for later) get through.
    link_.clearCancel();
    view_.offerCancel(true);
    struct Offer {
        HardCopyView& view;
        ~Offer() { view.offerCancel(false); }
    } offer{view_};
    view_.showProgress(0, std::nullopt);

    BusyPointer busy(desktop_);
    auto& clock = link_.clock();
    // Cheap enough to call from every wait: the events run at most every IdleEvents of the clock,
    // and never inside themselves.
    auto lastIdle = clock.now() - IdleEvents;
    bool inIdle = false;
    clock.setIdleHook([&] {
        const auto now = clock.now();
        if (inIdle || now - lastIdle < IdleEvents) return;
        inIdle = true;
        lastIdle = now;
        view_.pollInput();
        inIdle = false;
    });
    struct Unhook {
        gpib::Clock& clock;
        ~Unhook() { clock.setIdleHook({}); }
    } unhook{clock};
    auto lastShown = clock.now() - std::chrono::seconds(1);
    std::optional<gpib::Clock::duration> firstPieceAt;
    std::size_t firstPieceBytes = 0;
    const auto progress = [&](std::size_t received, std::string_view head) {
        const auto now = clock.now();
        if (!firstPieceAt) {
            // The rate is measured from the first piece on: the scope's time to prepare the
            // picture is no part of it.
            firstPieceAt = now;
            firstPieceBytes = received;
        }
        // A repaint per chunk would cost more than the transfer; a few per second is enough.
        if (now - lastShown < std::chrono::milliseconds(100)) return;
        lastShown = now;
        const auto total = picture::expectedLength(head);
        view_.showProgress(received, total,
                           picture::secondsLeft(received, total, firstPieceBytes,
                                                std::chrono::duration<double>(now - *firstPieceAt).count()));
        view_.pollInput();
    };
    const std::string picture = capture::requestHardCopy(
        link_, ScopeDevice, FormatWord, inkSaverOn, [&] { busy.on(); }, progress);
    if (link_.cancelRequested()) {
        // Nothing is written; the hard copy before this one stays current and shown.
        busy.off();
        view_.clearPicture();
        CurrentFileName = previousFile;
        if (previousShown && CurrentFileName.size() > 4 &&
            lowerAscii(CurrentFileName.substr(CurrentFileName.size() - 4)) == ".bmp")
            view_.showPicture(currentFilePath());
        view_.showNote("Hard copy cancelled.");
        return;
    }
    if (picture.empty()) {
        busy.off();
        view_.clearPicture();
        return;
    }

    const std::string path = currentFilePath();
    std::string error;
    const capture::HardCopyVerdict verdict =
        capture::judgeHardCopy(picture, capture::kindOfExtension(FileExt));
    if (!verdict.good) {
        // Like a failed read: the current hard copy stays what it was. The bytes are kept aside,
        // since a partial screen may still be worth a look.
        const std::string kept = joinPath(DataFolder, "Vellumix_Rejected." + FileExt);
        const bool keptOk = writeFileReplacing(kept, picture, error);
        busy.off();
        view_.clearPicture();
        std::string text = verdict.problem;
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        text += keptOk ? ".\n\nThey were kept for inspection in\n" + kept
                       : ".\n\nThey could not be kept in\n" + kept + "\n" + error;
        desktop_.messageBox(text + "\n\nThe previous hard copy is unchanged.", MbExclamation | MbOk,
                            "Get Hard Copy");
        return;
    }
    const bool written = writeFileReplacing(path, picture, error);
    busy.off();
    view_.clearPicture();
    if (!written) {
        desktop_.messageBox("The hard copy could not be written to\n" + path + "\n\n" + error +
                                "\n\nThe previous file of that name, if any, is unchanged.",
                            MbExclamation | MbOk, "Get Hard Copy");
        return;
    }

    showOrAsk(path);
    view_.setButtonEnabled(Button::OpenInWin, true);
    view_.setButtonEnabled(Button::SaveToFile, true);
    view_.setButtonEnabled(Button::ImportLastFile, false);
}

void HardCopySession::Cancel_Click() {
    if (capturing_) link_.requestCancel();
}

void HardCopySession::Intro(int16_t interval) {
    // The timer takes at most 32767 ms; keep the product inside it instead of overflowing.
    const int ms = std::clamp(interval * 1000, 0, 32000);
    view_.showSplash(titleText(), ms);
}

} // namespace vellumix

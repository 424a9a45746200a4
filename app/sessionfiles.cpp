// The window's file buttons: save the current hard copy elsewhere, import the last one, open it in
// the desktop's viewer, copy it to the clipboard.
#include "app/session.h"

#include "capture/formats.h"
#include "capture/hardcopy.h"
#include "files/filerules.h"
#include "picture/completeness.h"
#include "picture/pictureinfo.h"
#include "platform/paths.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

namespace vellumix {

namespace {

bool exists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec);
}

} // namespace

void HardCopySession::Button_SaveToFile_Click() {
    SavePath = desktop_.readSetting(SettingSavePath);
    if (SavePath.empty()) SavePath = defaultSavePath(desktop_);

    // The extension follows the bytes being saved: after an import the current file may hold
    // another format than the option the model left selected (a TIFF on a scope without TIFF).
    std::string ext = FileExt;
    if (const auto dot = CurrentFileName.rfind('.');
        dot != std::string::npos && dot + 1 < CurrentFileName.size())
        ext = CurrentFileName.substr(dot);

    SaveDialogRequest request;
    request.title = "Save Hard Copy to File";
    request.initialDir = SavePath;
    request.defaultExt = ext;
    request.proposedName = "Vellumix ";
    request.filterDescription = "Picture File (*" + ext + ")";
    request.filterPattern = "*" + ext;
    const auto chosen = desktop_.saveDialog(request);
    if (!chosen) return; // Cancel: nothing to say

    const std::string folder = folderOfChosenFile(chosen->fileName, chosen->fileTitle);
    // The dialog takes only existing folders; a typed path that names none is refused here too,
    // so that it never becomes the folder the next save opens in.
    std::error_code folderError;
    if (!std::filesystem::is_directory(folder, folderError)) {
        desktop_.messageBox("The folder\n" + folder + "\ndoes not exist. The hard copy was not saved.",
                            MbExclamation | MbOk, "Save Hard Copy to File");
        return;
    }
    if (SavePath != folder) desktop_.writeSetting(SettingSavePath, folder);

    const std::string destination = joinPath(folder, chosen->fileTitle);
    std::string error;
    // A failed copy must not look like success: the user would walk away without the picture.
    if (!copyReplacing(currentFilePath(), destination, error))
        desktop_.messageBox("The hard copy could not be saved to\n" + destination + "\n\n" + error,
                            MbExclamation | MbOk, "Save Hard Copy to File");
}

namespace {
// Far above any screen a scope writes; a larger file is no hard copy.
constexpr std::uintmax_t ImportLimit = 64u << 20;

std::optional<std::string> readWholeFile(const std::string& path, std::uintmax_t limit) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > limit) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) return std::nullopt;
    return bytes;
}
} // namespace

void HardCopySession::Button_ImportLastFile_Click() {
    const std::string path = joinPath(DataFolder, LastFileName);
    if (LastFileName.empty() || !exists(path)) {
        // Nothing to import this run: say so and take the button away.
        desktop_.messageBox("The last hard copy\n" + path + "\nno longer exists.", MbExclamation | MbOk,
                            "Import Last Hard Copy");
        view_.setButtonEnabled(Button::ImportLastFile, false);
        return;
    }
    // A file that is no sound, whole picture of its own extension's format (one cut short or damaged
    // since it was written) is not made the current hard copy: saving it would pass the damage on.
    const auto bytes = readWholeFile(path, ImportLimit);
    const capture::HardCopyVerdict verdict =
        capture::judgeHardCopy(bytes.value_or(std::string()), capture::kindOfExtension(LastFileName));
    if (!bytes || !verdict.good) {
        const auto asked = capture::kindOfExtension(LastFileName);
        const std::string problem =
            !bytes ? std::string("cannot be read")
            : !picture::isPictureOf(verdict.check, asked)
                ? "holds " + std::to_string(bytes->size()) + " bytes that are not a " +
                      picture::kindName(asked) + " picture"
                : "is incomplete: " + picture::shortfallText(verdict.check, bytes->size()) + " bytes";
        desktop_.messageBox("The last hard copy\n" + path + "\n" + problem + ". It was not imported.",
                            MbExclamation | MbOk, "Import Last Hard Copy");
        return;
    }
    showOrAsk(path);
    CurrentFileName = LastFileName;
    view_.setButtonEnabled(Button::OpenInWin, true);
    view_.setButtonEnabled(Button::SaveToFile, true);
    view_.setButtonEnabled(Button::ImportLastFile, false);
}

void HardCopySession::Button_OpenInWin_Click() {
    desktop_.openWithDefaultHandler(currentFilePath(), ShowMode::Normal);
}

void HardCopySession::Copy_Click() {
    if (capturing_ || !view_.buttonEnabled(Button::SaveToFile) || !exists(currentFilePath())) return;
    if (!view_.copyPicture(currentFilePath()))
        desktop_.messageBox("The hard copy\n" + currentFilePath() +
                                "\ncould not be read as a picture, so nothing was copied.",
                            MbExclamation | MbOk, "Copy Hard Copy");
}

} // namespace vellumix

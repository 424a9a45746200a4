#include "capture/hardcopy.h"

#include "platform/paths.h"

namespace vellumix::capture {

std::vector<std::string> hardCopySetupCommands(const std::string& formatWord, bool inkSaverOn,
                                               const std::string& portWord) {
    return {
        "HARDCOPY:FORMAT " + formatWord, std::string("HARDCOPY:INKSAVER ") + (inkSaverOn ? "ON" : "OFF"),
        "HARDCOPY:PALLET NORMAL",        "HARDCOPY:COMPRESSION OFF",
        "HARDCOPY:LAYOUT PORTRAIT",      "HARDCOPY:PORT " + portWord,
    };
}

std::string requestHardCopy(gpib::InstrumentLink& link, int16_t device, const std::string& formatWord,
                            bool inkSaverOn, const std::function<void()>& beforePort,
                            const gpib::ReadProgress& progress) {
    const auto commands = hardCopySetupCommands(formatWord, inkSaverOn, link.hardCopyPort());
    // A cancel before the picture was asked for leaves nothing to stop at the scope.
    for (std::size_t i = 0; i + 1 < commands.size(); ++i) {
        if (link.cancelRequested()) return {};
        gpib::WriteCommand(link, device, commands[i]);
    }
    if (beforePort) beforePort();
    if (link.cancelRequested()) return {};
    gpib::WriteCommand(link, device, commands.back());
    if (link.cancelRequested()) return {};
    // Picture data: every byte as the scope sent it.
    return gpib::QueryDevice(link, device, HardCopyStart, gpib::ReadMode::Raw, progress);
}

HardCopyVerdict judgeHardCopy(std::string_view bytes, picture::PictureKind asked) {
    HardCopyVerdict v;
    v.check = picture::checkPicture(bytes);
    if (!picture::isPictureOf(v.check, asked)) {
        // Without the header of the format asked for there is nothing to show or save: a missing
        // first byte, an error text, another format all end here, never as a good capture.
        v.problem = "the scope sent " + std::to_string(bytes.size()) +
                    (bytes.size() == 1 ? " byte that is" : " bytes that are") + " not a " +
                    picture::kindName(asked) + " picture";
    } else if (!v.check.complete) {
        v.problem =
            "the hard copy is incomplete: " + picture::shortfallText(v.check, bytes.size()) + " bytes came";
    } else {
        v.good = true;
    }
    return v;
}

std::string rejectedPath(const std::string& target) {
    const std::size_t name = nameStart(target);
    const auto dot = target.rfind('.');
    // No extension: no dot in the name, or only the one that starts it (".bmp").
    if (dot == std::string::npos || dot <= name) return target + ".rejected";
    return target.substr(0, dot) + ".rejected" + target.substr(dot);
}

} // namespace vellumix::capture

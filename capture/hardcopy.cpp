#include "capture/hardcopy.h"

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

} // namespace vellumix::capture

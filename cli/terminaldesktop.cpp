#include "cli/terminaldesktop.h"

#include "platform/environment.h"

namespace vellumix::cli {

std::string boxText(const std::string& prompt, const std::string& title) {
    // Some titles are padded with blanks to widen the GUI's box; they mean nothing here.
    std::string text = title.substr(0, title.find_last_not_of(' ') + 1);
    if (!text.empty()) text += ": ";
    std::size_t start = 0;
    bool first = true;
    for (;;) {
        const std::size_t end = prompt.find('\n', start);
        const std::string line =
            prompt.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!first) text += line.empty() ? "\n" : "\n  ";
        text += line;
        first = false;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return text;
}

TerminalDesktop::TerminalDesktop(std::ostream& err, EnvironmentLookup environment)
    : err_(err), environment_(std::move(environment)) {}

MsgAnswer TerminalDesktop::messageBox(const std::string& prompt, int flags, const std::string& title) {
    ++boxes_;
    err_ << boxText(prompt, title) << '\n' << std::flush;
    switch (flags & 7) {
    case MbOkCancel:
        return MsgAnswer::Cancel;
    case MbYesNo:
        return MsgAnswer::No;
    default:
        return MsgAnswer::Ok;
    }
}

std::string TerminalDesktop::inputBox(const std::string&, const std::string&, const std::string&) {
    return {}; // as Cancel
}

std::optional<SaveDialogResult> TerminalDesktop::saveDialog(const SaveDialogRequest&) {
    return std::nullopt;
}

void TerminalDesktop::openWithDefaultHandler(const std::string&, ShowMode) {}

std::string TerminalDesktop::readSetting(const std::string&) {
    return {};
}

void TerminalDesktop::writeSetting(const std::string&, const std::string&) {}

int TerminalDesktop::download(const std::string&, const std::string&) {
    return 1;
}

void TerminalDesktop::setBusyPointer(bool) {}

void TerminalDesktop::processEvents() {}

void TerminalDesktop::endProgram(FatalReason reason) {
    throw ProgramEnd{reason};
}

std::optional<std::string> TerminalDesktop::environment(const std::string& name) {
    if (environment_) return environment_(name);
    return environmentVariable(name.c_str());
}

} // namespace vellumix::cli

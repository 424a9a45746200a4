#include "gpib/backends/prologix/protocol.h"

namespace vellumix::gpib::prologix {

std::string escapeData(std::string_view data) {
    std::string out;
    out.reserve(data.size() + data.size() / 8 + 1);
    for (char c : data) {
        if (c == '\r' || c == '\n' || c == Esc || c == '+') out.push_back(Esc);
        out.push_back(c);
    }
    out.push_back('\n');
    return out;
}

Firmware firmwareOf(std::string_view line) {
    Firmware f;
    f.flavour = flavourOf(line);
    if (f.flavour != Flavour::Ar488) return f;
    // The first "N.N.N" after the name is the version.
    for (std::size_t at = line.find("AR488"); at < line.size(); ++at) {
        int parts[3] = {0, 0, 0};
        std::size_t p = at;
        int got = 0;
        while (got < 3 && p < line.size() && line[p] >= '0' && line[p] <= '9') {
            int v = 0;
            std::size_t digits = 0;
            while (p < line.size() && line[p] >= '0' && line[p] <= '9' && digits < 4) {
                v = v * 10 + (line[p] - '0');
                ++p;
                ++digits;
            }
            parts[got++] = v;
            if (got < 3 && (p >= line.size() || line[p] != '.')) break;
            if (got < 3) ++p;
        }
        if (got == 3 && parts[1] < 100 && parts[2] < 100) {
            f.version = parts[0] * 10000 + parts[1] * 100 + parts[2];
            break;
        }
    }
    f.hasFindListeners = f.version >= 5217;
    // Unknown versions get the terminator too: every TDS takes LF as the end of a command.
    f.needsLfTerminator = f.version < 5100;
    f.timeoutRepeatsLastByte = f.version >= 4911 && f.version <= 5017;
    // An AR488 whose version cannot be read gets the gaps too: they cost milliseconds.
    f.mergesWaitingLines = f.version < 4911;
    return f;
}

bool isAdapterComplaint(std::string_view line) {
    for (std::string_view complaint : {"Unrecognized command", "Invalid parameter", "Missing parameter"})
        if (line.substr(0, complaint.size()) == complaint) return true;
    return false;
}

Flavour flavourOf(std::string_view versionReply) {
    return versionReply.find("AR488") != std::string_view::npos ? Flavour::Ar488 : Flavour::Prologix;
}

const char* flavourName(Flavour flavour) {
    return flavour == Flavour::Ar488 ? "AR488" : "Prologix";
}

int maxReadTimeoutMs(Flavour flavour) {
    return flavour == Flavour::Ar488 ? Ar488MaxReadTimeoutMs : PrologixMaxReadTimeoutMs;
}

} // namespace vellumix::gpib::prologix

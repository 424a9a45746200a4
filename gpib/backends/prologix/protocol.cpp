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

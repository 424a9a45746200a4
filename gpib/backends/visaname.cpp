#include "gpib/backends/visaname.h"

#include "platform/text.h"

#include <vector>

namespace vellumix::gpib {

namespace {

bool digits(std::string_view s) {
    if (s.empty() || s.size() > 5) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// "TCPIP0" -> board "0" after the interface word; false when the word is another one.
bool interfaceWord(std::string_view word, std::string_view name, std::string& board) {
    if (word.size() < name.size() || !equalsIgnoringCase(word.substr(0, name.size()), name)) return false;
    const std::string_view n = word.substr(name.size());
    if (!n.empty() && !digits(n)) return false;
    board = n.empty() ? "0" : std::string(n);
    return true;
}

// Splits at "::", keeping a bracketed IPv6 address whole.
std::vector<std::string_view> fields(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '[') {
            const std::size_t close = text.find(']', i);
            i = close == std::string_view::npos ? text.size() : close + 1;
        } else if (text.compare(i, 2, "::") == 0) {
            out.push_back(text.substr(start, i - start));
            i += 2;
            start = i;
        } else {
            ++i;
        }
    }
    out.push_back(text.substr(start));
    return out;
}

} // namespace

bool visaResourceToBus(std::string_view text, std::string& bus, std::string& error) {
    bus.clear();
    // A VISA name starts with an interface word, its board number and "::"; a bus URI with a scheme.
    const std::size_t sep = text.find("::");
    if (sep == std::string_view::npos || sep == 0) return true;
    std::string_view word = text.substr(0, sep);
    while (!word.empty() && word.back() >= '0' && word.back() <= '9')
        word.remove_suffix(1);
    bool visa = false;
    for (const char* interface : {"TCPIP", "GPIB", "USB", "ASRL", "VXI", "PXI", "GPIB-VXI"})
        visa = visa || equalsIgnoringCase(word, interface);
    if (!visa) return true;

    const std::vector<std::string_view> f = fields(text);
    const std::string quoted = "\"" + std::string(text) + "\"";
    const std::string_view last = f.back();
    std::string board;
    if (interfaceWord(f[0], "TCPIP", board)) {
        if (f.size() == 3 && equalsIgnoringCase(last, "INSTR")) {
            bus = "vxi11:" + std::string(f[1]);
        } else if (f.size() == 4 && equalsIgnoringCase(last, "INSTR") &&
                   !equalsIgnoringCase(f[2].substr(0, 6), "hislip")) {
            bus = "vxi11:" + std::string(f[1]) + "/" + std::string(f[2]);
        } else if (f.size() == 4 && equalsIgnoringCase(last, "SOCKET") && digits(f[2])) {
            bus = "prologix:" + std::string(f[1]) + ":" + std::string(f[2]);
        } else {
            error =
                "The VISA resource " + quoted +
                " has no bus here: use TCPIP::HOST::INSTR or TCPIP::HOST::DEVICE::INSTR (VXI-11; HiSLIP is "
                "not supported), or TCPIP::HOST::PORT::SOCKET for a networked GPIB controller.";
            return false;
        }
        return true;
    }
    if (interfaceWord(f[0], "GPIB", board)) {
        const bool instr =
            (f.size() == 3 || f.size() == 4) && equalsIgnoringCase(last, "INSTR") && digits(f[1]);
        const bool intfc = f.size() == 2 && equalsIgnoringCase(last, "INTFC");
        if (!instr && !intfc) {
            error = "The VISA resource " + quoted +
                    " has no bus here: use GPIBn::ADDRESS::INSTR or GPIBn::INTFC.";
            return false;
        }
        bus = "gpib:" + board;
        return true;
    }
    if (interfaceWord(f[0], "USB", board)) {
        if (f.size() < 5 || f.size() > 6 || !equalsIgnoringCase(last, "INSTR")) {
            error =
                "The VISA resource " + quoted + " has no bus here: use USB::VENDOR::PRODUCT::SERIAL::INSTR.";
            return false;
        }
        bus = "usbtmc";
        return true;
    }
    error = "The VISA resource " + quoted +
            " has no bus here: Vellumix takes TCPIP::HOST::INSTR, TCPIP::HOST::DEVICE::INSTR, "
            "TCPIP::HOST::PORT::SOCKET, GPIBn::ADDRESS::INSTR and USB::...::INSTR (docs/lan.md).";
    return false;
}

} // namespace vellumix::gpib

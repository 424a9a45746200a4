// Finding the listeners through the controller: serial polls (Prologix) or AR488's ++fndl.
#include "gpib/backends/prologix/prologixdriver.h"

#include "gpib/backends/transport.h"
#include "gpib/status.h"

#include <algorithm>
#include <charconv>

namespace vellumix::gpib::prologix {

namespace {
constexpr int32_t kErr = static_cast<uint16_t>(ERR);
constexpr int32_t kCmpl = CMPL;
constexpr auto kReplySlack = std::chrono::milliseconds(2000);
} // namespace

void PrologixDriver::FindLstn(int32_t board, const uint16_t* addrList, uint16_t* results, int32_t limit) {
    const std::optional<int> length = findLstnArguments(board, addrList, results, limit);
    if (!length) return;
    const int n = *length;
    if (lost_) {
        lostCall(kErr);
        return;
    }
    settle();
    // The controller itself is address 0; secondary addresses cannot be probed this way.
    std::vector<int> pads;
    for (int i = 0; i < n; ++i)
        if ((addrList[i] >> 8) == 0 && (addrList[i] & 0xFF) != 0) pads.push_back(addrList[i] & 0xFF);
    std::vector<bool> present(31, false);
    if (flavour_ != Flavour::Ar488 || !scanWithFndl(pads, present)) scanWithSerialPolls(pads, present);
    if (lost_) {
        lostCall(kErr);
        return;
    }
    if (std::none_of(present.begin(), present.end(), [](bool p) { return p; })) {
        publish(kErr, EBUS, 0); // nobody took part in the handshake, as on a board with nothing connected
        return;
    }
    present[0] = true;
    reportListeners(addrList, n, results, limit,
                    [&present](int pad) { return present[static_cast<std::size_t>(pad)]; });
}

void PrologixDriver::scanWithSerialPolls(const std::vector<int>& pads, std::vector<bool>& present) {
    // An absent address prints nothing, so each poll is followed by the ++ver marker: whatever
    // came before the marker is that address's answer.
    if (!setAdapterTimeout(ScanPollMs)) return;
    for (int pad : pads) {
        const auto lines =
            ask("++spoll " + std::to_string(pad), std::chrono::milliseconds(ScanPollMs) + kReplySlack);
        if (lost_) return;
        present[static_cast<std::size_t>(pad)] = lines && !lines->empty();
    }
}

bool PrologixDriver::scanWithFndl(const std::vector<int>& pads, std::vector<bool>& present) {
    if (pads.empty()) return true;
    std::string cmd = "++fndl";
    for (int pad : pads)
        cmd += " " + std::to_string(pad);
    // 35 ms per address at most inside the adapter.
    const auto lines = ask(cmd, std::chrono::milliseconds(35 * static_cast<int>(pads.size())) + kReplySlack);
    if (!lines) return false;
    for (const std::string& l : *lines) {
        if (l.find("isabled") != std::string::npos) return false; // a build without it
        std::size_t at = 0;
        while (at < l.size()) {
            auto end = l.find(',', at);
            if (end == std::string::npos) end = l.size();
            int pad = -1;
            const char* first = l.data() + at;
            while (first < l.data() + end && *first == ' ')
                ++first;
            const auto [p, ec] = std::from_chars(first, l.data() + end, pad);
            // "pad:sad" is a secondary listener, which the address list does not ask for.
            if (ec == std::errc() && pad >= 1 && pad <= 30 && (p == l.data() + end || *p == ' '))
                present[static_cast<std::size_t>(pad)] = true;
            at = end + 1;
        }
    }
    return true;
}

} // namespace vellumix::gpib::prologix

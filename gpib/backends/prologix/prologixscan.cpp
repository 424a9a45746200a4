// Finding the listeners through the controller: AR488's ++fndl where the firmware has it, serial
// polls otherwise. One command at a time, each waited for: a poll is answered by a line, or by
// silence until the adapter has given up, and a line from us meanwhile could cut it short.
#include "gpib/backends/prologix/prologixdriver.h"

#include "gpib/status.h"

#include <algorithm>
#include <charconv>

namespace vellumix::gpib::prologix {

namespace {
// ++fndl checks an address in a few milliseconds; a generous bound per address all the same.
constexpr auto kFndlPerAddress = std::chrono::milliseconds(100);
// Addresses per ++fndl: the firmware takes at most 15, and the line stays inside InputBudget.
constexpr std::size_t kFndlAddresses = 10;
} // namespace

std::optional<int16_t> PrologixAdapter::beginSearch(const std::vector<int>& pads) {
    if (lost_ || !settle()) return EABO;
    present_.assign(present_.size(), false);
    if (!firmware_.hasFindListeners || !scanWithFindListeners(pads, present_))
        scanWithSerialPolls(pads, present_);
    if (lost_) return EABO;
    // Nobody took part in the handshake, as on a board with nothing connected.
    if (std::none_of(present_.begin(), present_.end(), [](bool p) { return p; })) return EBUS;
    present_[0] = true; // the controller itself
    return std::nullopt;
}

void PrologixAdapter::scanWithSerialPolls(const std::vector<int>& pads, std::vector<bool>& present) {
    if (!setAdapterTimeout(ScanPollMs)) return;
    for (int pad : pads) {
        if (!selectDevice(pad, 0) || !send("++spoll\n")) return;
        const bool answered = pollAnswer(clock_.now() + stopWait(ScanPollMs)).has_value();
        present[static_cast<std::size_t>(pad)] = answered;
        inFlight_ = 0;
        // An adapter that no longer answers ++ver would cost the whole wait at every address.
        if (!answered && syncFailed_) return;
        if (lost_) return;
    }
}

bool PrologixAdapter::scanWithFindListeners(const std::vector<int>& pads, std::vector<bool>& present) {
    for (std::size_t first = 0; first < pads.size(); first += kFndlAddresses) {
        const std::size_t n = std::min(kFndlAddresses, pads.size() - first);
        std::string cmd = "++fndl";
        for (std::size_t i = first; i < first + n; ++i)
            cmd += " " + std::to_string(pads[i]);
        if (!send(cmd + "\n")) return false;
        // One line, "1,5,7" (primary addresses; "pad:sad" for a secondary listener), empty when
        // nobody listens. Any other line is the adapter's own text: a build without the command.
        std::string pending;
        std::string line;
        const auto deadline = clock_.now() + kFndlPerAddress * static_cast<int>(n) + stopWait(0);
        if (!receiveLine(pending, line, deadline)) return false;
        inFlight_ = 0;
        if (line.find_first_not_of("0123456789,: ") != std::string::npos) {
            adapterLines_.push_back(line);
            dropPending();
            return false;
        }
        std::size_t at = 0;
        while (at < line.size()) {
            auto end = line.find(',', at);
            if (end == std::string::npos) end = line.size();
            int pad = -1;
            const char* from = line.data() + at;
            while (from < line.data() + end && *from == ' ')
                ++from;
            const auto [p, ec] = std::from_chars(from, line.data() + end, pad);
            // "pad:sad" is a secondary listener, which the address list does not ask for.
            if (ec == std::errc() && pad >= 1 && pad <= MaxPrimaryAddress &&
                (p == line.data() + end || *p == ' '))
                present[static_cast<std::size_t>(pad)] = true;
            at = end + 1;
        }
    }
    return true;
}

} // namespace vellumix::gpib::prologix

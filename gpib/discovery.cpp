#include "gpib/discovery.h"

#include "gpib/errorreport.h"
#include "gpib/exchange.h"
#include "platform/text.h"

#include <algorithm>
#include <cctype>

namespace vellumix::gpib {

namespace {

bool takeFront(std::string& text, char marker) {
    if (text.empty() || text.front() != marker) return false;
    text.erase(0, 1);
    return true;
}

bool takeBack(std::string& text, char marker) {
    if (text.empty() || text.back() != marker) return false;
    text.pop_back();
    return true;
}

} // namespace

std::string receivedLine(const std::string& reply, int address, const std::string& failure) {
    std::string line = latin1ToUtf8(reply);
    if (failure.empty()) return line;
    return line + (line.empty() ? "" : " ") + "(address " + std::to_string(address) + ") " + failure;
}

void ScanBus(InstrumentLink& link, int16_t mode) {
    link.Listeners.fill(0);
    link.FreeListeners.fill(0);

    // Addresses 0 (the interface itself) to the highest, then the end marker.
    std::array<int16_t, MaxPrimaryAddress + 3> addresses{};
    for (int16_t a = 0; a <= MaxPrimaryAddress; ++a)
        addresses[static_cast<std::size_t>(a)] = a;
    addresses[MaxPrimaryAddress + 1] = NOADDR;
    addresses[MaxPrimaryAddress + 2] = 0;

    link.SendIFC(0);
    link.ibsre(0, 1);
    link.FindLstn(0, addresses.data(), link.Listeners.data(), ListenerTable::MaxListeners + 1);

    if (link.ibsta & ERR) {
        std::string message;
        if (link.iberr == EBUS) {
            if (mode == -1) return;
            message = "No listeners found.";
        }
        if (link.iberr == ETAB)
            message = "Too many listeners found.\nMax " + std::to_string(ListenerTable::MaxListeners) +
                      " listeners allowed.";
        if (message.empty()) {
            // Any other failure: the driver's own words (and the bus's account, where it has one),
            // so that the window says what the command-line tool says.
            message = driverErrorText(link);
            message[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(message[0])));
            if (const std::string detail = link.failureDetail(); !detail.empty()) message += "\n" + detail;
        }
        if (mode == 1 || link.iberr != EBUS) message += "\n\nCorrect problem and restart.";
        if (!message.empty())
            link.desktop().messageBox(message, MbCritical | MbOk,
                                      "Initialization Error" + numberText(link.iberr));
        if (mode == 1) {
            link.desktop().endProgram(link.iberr == EBUS   ? FatalReason::NoListeners
                                      : link.iberr == ETAB ? FatalReason::TooManyListeners
                                                           : FatalReason::ScanFailed);
        }
        return;
    }

    // Slot 0 of the driver's result is the interface itself, at address 0; the instruments follow.
    // linux-gpib finds the interface only when the board senses its own NDAC, which not every board
    // does: a list that starts with an instrument moves up one slot instead of losing it.
    if (link.Listeners[0] != 0) {
        for (std::size_t j = ListenerTable::MaxListeners; j > 0; --j)
            link.Listeners[j] = link.Listeners[j - 1];
        link.Listeners[0] = 0;
    }
    int16_t count = 0;
    for (std::size_t j = 1; j <= ListenerTable::MaxListeners; ++j) {
        link.FreeListeners[j] = link.Listeners[j];
        if (link.Listeners[j] == 0) break;
        ++count;
    }
    link.Listeners[0] = count;
    link.FreeListeners[0] = count;
}

int16_t FindDeviceById(InstrumentLink& link, std::string& query, std::string& expected) {
    if (link.SpareOpen == 0) link.ibdev(0, 1, 0, T1s, 1, 0, link.SpareDevice);

    if (query.empty()) {
        int16_t poll = 0;
        for (int i = 1; i <= link.Listeners.count(); ++i) {
            link.ibpad(link.SpareDevice, link.Listeners[static_cast<std::size_t>(i)]);
            link.ibrsp(link.SpareDevice, poll);
        }
        link.ibpad(link.SpareDevice, link.Listeners[1]);
        link.ListenerDevices[1] = link.SpareDevice;
        link.ibtmo(link.SpareDevice, link.DeviceTimeout);
        ReportGpibError(link);
        // The descriptor now belongs to the caller: a later search must not re-address it
        // behind the caller's back, so it opens a fresh spare.
        link.SpareOpen = 0;
        return link.SpareDevice;
    }

    const bool noClear = takeFront(query, '!');
    const bool goOn = takeBack(query, '!');
    const bool quiet = takeFront(expected, '!');
    const bool pause = takeFront(expected, '?');
    const bool exact = takeBack(expected, '!');

    if (link.FreeListeners[0] == 0) {
        if (quiet) return 0;
        link.desktop().messageBox("Can't find more than" + numberText(link.Listeners[0]) +
                                      " device(s).\n\nCorrect problem and restart.",
                                  MbCritical | MbOk, "Not enough devices on the bus");
        link.desktop().endProgram(FatalReason::NotEnoughDevices);
    }

    const std::string expectedUpper = upperAscii(expected);
    std::string received;
    const int n = link.Listeners.count();
    for (int i = 1; i <= n; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        if (link.FreeListeners[slot] <= 0) continue;
        link.ibpad(link.SpareDevice, link.FreeListeners[slot]);
        if (!noClear) link.ibclr(link.SpareDevice);
        int16_t poll = 0;
        link.ibrsp(link.SpareDevice, poll);
        if (pause) Delay(link, 0.1f);
        link.ibwrt(link.SpareDevice, query);

        std::string reply(ProbeChunk, ' ');
        link.ibrd(link.SpareDevice, reply);
        // Taken now: the clear below starts the bus's account afresh. Silence is an instrument that
        // does not answer ID?, as on every bus; a lock or a refused reply is worth the words.
        const std::string failure =
            (link.ibsta & ERR) && !(link.ibsta & TIMO) ? link.failureDetail() : std::string();
        // Without the status registration the count is the fall-back's marker, not the reply's
        // length: then the whole space-filled buffer is taken and trimmed below.
        if (link.statusKnown())
            reply.resize(static_cast<std::size_t>(std::clamp<int32_t>(link.ibcntl, 0, ProbeChunk)));
        const auto first = reply.find_first_not_of(' ');
        reply = first == std::string::npos ? std::string()
                                           : reply.substr(first, reply.find_last_not_of(' ') + 1 - first);
        if (!reply.empty() && reply.back() == '\n') reply.pop_back();
        if (!reply.empty() && reply.back() == '\r') reply.pop_back();

        const bool match = exact
                               ? reply == expected
                               : !reply.empty() && upperAscii(reply).find(expectedUpper) != std::string::npos;
        if (match) {
            link.FreeListeners[slot] = 0;
            link.FreeListeners[0] = static_cast<int16_t>(link.FreeListeners[0] - 1);
            link.ListenerDevices[slot] = link.SpareDevice;
            link.ibtmo(link.SpareDevice, link.DeviceTimeout);
            link.SpareOpen = 0;
            return link.SpareDevice;
        }
        // A failed probe leaves its reply behind in the instrument: a device clear drops it.
        if (link.ibsta & ERR) link.ibclr(link.SpareDevice);
        // A user's cancel ends the search: the listeners not yet asked were not found wanting.
        if (link.cancelRequested()) break;
        received = receivedLine(reply, link.FreeListeners[slot], failure) + "\n" + received;
    }

    link.SpareOpen = -1;
    if (!quiet && !link.cancelRequested()) {
        const std::string prompt = "ID Query: " + query + "\n\nExpected Response: " + expected +
                                   "\n\nReceived Response(s):\n" + received + "\n" +
                                   "Correct the problem and re" +
                                   (goOn ? "try. Program will continue." : "start. Program will end.");
        link.desktop().messageBox(prompt, MbCritical | MbOk,
                                  "Expected Id-response from device not found" + std::string(40, ' '));
        if (!goOn) link.desktop().endProgram(FatalReason::IdNotFound);
    }
    return 0;
}

} // namespace vellumix::gpib

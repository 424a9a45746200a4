#include "gpib/link.h"

#include <algorithm>
#include <cctype>

namespace vellumix::gpib {

namespace {

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

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

int listenerCount(const std::array<int16_t, 15>& listeners) {
    return std::clamp<int>(listeners[0], 0, 14);
}

} // namespace

void InstrumentLink::ScanBus(int16_t mode) {
    Listeners.fill(0);
    FreeListeners.fill(0);

    // Addresses 0 (the interface itself) to 30, then the end marker.
    std::array<int16_t, 33> addresses{};
    for (int16_t a = 0; a <= 30; ++a)
        addresses[static_cast<std::size_t>(a)] = a;
    addresses[31] = NOADDR;
    addresses[32] = 0;

    SendIFC(0);
    ibsre(0, 1);
    FindLstn(0, addresses.data(), Listeners.data(), 15);

    if (ibsta & ERR) {
        std::string message;
        if (iberr == EBUS) {
            if (mode == -1) return;
            message = "No listeners found.";
        }
        if (iberr == ETAB) message = "Too many listeners found.\nMax 14 listeners allowed.";
        if (mode == 1 || iberr != EBUS) message += "\n\nCorrect problem and restart.";
        if (!message.empty())
            desktop_.messageBox(message, MbCritical | MbOk, "Initialization Error" + numberText(iberr));
        if (mode == 1) {
            desktop_.endProgram(iberr == EBUS   ? FatalReason::NoListeners
                                : iberr == ETAB ? FatalReason::TooManyListeners
                                                : FatalReason::ScanFailed);
        }
        return;
    }

    // Slot 0 of the driver's result is the interface itself; the instruments follow.
    int16_t count = 0;
    for (std::size_t j = 1; j <= 14; ++j) {
        FreeListeners[j] = Listeners[j];
        if (Listeners[j] == 0) break;
        ++count;
    }
    Listeners[0] = count;
    FreeListeners[0] = count;
}

int16_t InstrumentLink::FindDeviceById(std::string& query, std::string& expected) {
    if (SpareOpen == 0) ibdev(0, 1, 0, T1s, 1, 0, SpareDevice);

    if (query.empty()) {
        int16_t poll = 0;
        for (int i = 1; i <= listenerCount(Listeners); ++i) {
            ibpad(SpareDevice, Listeners[static_cast<std::size_t>(i)]);
            ibrsp(SpareDevice, poll);
        }
        ibpad(SpareDevice, Listeners[1]);
        ListenerDevices[1] = SpareDevice;
        ibtmo(SpareDevice, DeviceTimeout);
        ReportGpibError();
        // The descriptor now belongs to the caller: a later search must not re-address it
        // behind the caller's back, so it opens a fresh spare.
        SpareOpen = 0;
        return SpareDevice;
    }

    const bool noClear = takeFront(query, '!');
    const bool goOn = takeBack(query, '!');
    const bool quiet = takeFront(expected, '!');
    const bool pause = takeFront(expected, '?');
    const bool exact = takeBack(expected, '!');

    if (FreeListeners[0] == 0) {
        if (quiet) return 0;
        desktop_.messageBox("Can't find more than" + numberText(Listeners[0]) +
                                " device(s).\n\nCorrect problem and restart.",
                            MbCritical | MbOk, "Not enough devices on the bus");
        desktop_.endProgram(FatalReason::NotEnoughDevices);
    }

    const std::string expectedUpper = upper(expected);
    std::string received;
    const int n = listenerCount(Listeners);
    for (int i = 1; i <= n; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        if (FreeListeners[slot] <= 0) continue;
        ibpad(SpareDevice, FreeListeners[slot]);
        if (!noClear) ibclr(SpareDevice);
        int16_t poll = 0;
        ibrsp(SpareDevice, poll);
        if (pause) Delay(0.1f);
        ibwrt(SpareDevice, query);

        std::string reply(ProbeChunk, ' ');
        ibrd(SpareDevice, reply);
        reply.resize(static_cast<std::size_t>(std::clamp<int32_t>(ibcntl, 0, ProbeChunk)));
        const auto first = reply.find_first_not_of(' ');
        reply = first == std::string::npos ? std::string()
                                           : reply.substr(first, reply.find_last_not_of(' ') + 1 - first);
        if (!reply.empty() && reply.back() == '\n') reply.pop_back();
        if (!reply.empty() && reply.back() == '\r') reply.pop_back();

        const bool match = exact ? reply == expected
                                 : !reply.empty() && upper(reply).find(expectedUpper) != std::string::npos;
        if (match) {
            FreeListeners[slot] = 0;
            FreeListeners[0] = static_cast<int16_t>(FreeListeners[0] - 1);
            ListenerDevices[slot] = SpareDevice;
            ibtmo(SpareDevice, DeviceTimeout);
            SpareOpen = 0;
            return SpareDevice;
        }
        if (ibsta & ERR) ibclr(SpareDevice);
        received = reply + "\n" + received;
    }

    SpareOpen = -1;
    if (!quiet) {
        const std::string prompt = "ID Query: " + query + "\n\nExpected Response: " + expected +
                                   "\n\nReceived Response(s):\n" + received + "\n" +
                                   "Correct the problem and re" +
                                   (goOn ? "try. Program will continue." : "start. Program will end.");
        desktop_.messageBox(prompt, MbCritical | MbOk,
                            "Expected Id-response from device not found" + std::string(40, ' '));
        if (!goOn) desktop_.endProgram(FatalReason::IdNotFound);
    }
    return 0;
}

} // namespace vellumix::gpib

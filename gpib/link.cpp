#include "gpib/link.h"

#include <vector>

namespace vellumix::gpib {

InstrumentLink::InstrumentLink(GpibDriver& driver, Desktop& desktop, Clock& clock)
    : driver_(driver), desktop_(desktop), clock_(clock) {}

void InstrumentLink::RegisterStatus() {
    const int32_t code = driver_.RegisterGpibGlobalsForThread(&RawIbsta, &RawIberr, &RawIbcnt, &ibcntl);
    registerCode_ = code;
    switch (code) {
    case 0:
        StatusRegistered = 1;
        return;
    case 1:
        // Already registered for this thread: register afresh so the words are ours.
        driver_.UnregisterGpibGlobalsForThread();
        driver_.RegisterGpibGlobalsForThread(&RawIbsta, &RawIberr, &RawIbcnt, &ibcntl);
        StatusRegistered = 1;
        return;
    case 2:
    case 3:
        driver_.UnregisterGpibGlobalsForThread();
        break;
    default:
        break;
    }
    // Fall-back: report a failed call; the next wrapper call tries to register again.
    ibsta = ERR;
    iberr = 0;
    ibcntl = FallbackIbcntl;
}

void InstrumentLink::CopyStatus() {
    ibsta = fold16(RawIbsta);
    iberr = static_cast<int16_t>(RawIberr);
    ibcnt = fold16(ibcntl);
}

template <typename Call> void InstrumentLink::wrap(Call&& call) {
    if (StatusRegistered == 0) RegisterStatus();
    call();
    CopyStatus();
}

void InstrumentLink::ibask(int16_t ud, int16_t option, int16_t& value) {
    int32_t raw = 0;
    wrap([&] { driver_.ibask(ud, option, &raw); });
    value = fold16(raw);
}

void InstrumentLink::ibclr(int16_t ud) {
    wrap([&] { driver_.ibclr(ud); });
}

void InstrumentLink::refuseAddress() {
    if (StatusRegistered == 0) RegisterStatus();
    RawIbsta = static_cast<uint16_t>(ERR);
    RawIberr = EARG;
    RawIbcnt = 0;
    ibcntl = 0;
    CopyStatus();
}

void InstrumentLink::ibdev(int16_t board, int16_t pad, int16_t sad, int16_t tmo, int16_t eot, int16_t eos,
                           int16_t& ud) {
    // Checked here so no backend ever sees an address it cannot take (linux-gpib's ibdev crashes on one).
    if (!validPrimaryAddress(pad) || !validSecondaryAddress(sad)) {
        refuseAddress();
        ud = -1;
        return;
    }
    int32_t raw = 0;
    wrap([&] { raw = driver_.ibdev(board, pad, sad, tmo, eot, eos); });
    ud = fold16(raw);
}

void InstrumentLink::ibpad(int16_t ud, int16_t address) {
    if (!validPrimaryAddress(address)) return refuseAddress();
    wrap([&] { driver_.ibpad(ud, address); });
}

void InstrumentLink::ibrd(int16_t ud, std::string& buf) {
    ibrd(ud, buf.data(), static_cast<int32_t>(buf.size()));
}

void InstrumentLink::ibrd(int16_t ud, char* buf, int32_t count) {
    wrap([&] { driver_.ibrd(ud, buf, count); });
}

void InstrumentLink::ibrsp(int16_t ud, int16_t& poll) {
    char spr[2] = {0, 0};
    wrap([&] { driver_.ibrsp(ud, spr); });
    poll = static_cast<int16_t>(static_cast<unsigned char>(spr[0]));
}

void InstrumentLink::ibsre(int16_t board, int16_t v) {
    wrap([&] { driver_.ibsre(board, v); });
}

void InstrumentLink::ibtmo(int16_t ud, int16_t code) {
    wrap([&] { driver_.ibtmo(ud, code); });
}

void InstrumentLink::ibwait(int16_t ud, int16_t mask) {
    wrap([&] { driver_.ibwait(ud, mask); });
}

void InstrumentLink::ibwrt(int16_t ud, const std::string& text) {
    wrap([&] { driver_.ibwrt(ud, text.data(), static_cast<int32_t>(text.size())); });
}

void InstrumentLink::FindLstn(int16_t board, const int16_t* addrList, int16_t* results, int16_t limit) {
    // The driver's addresses are unsigned 16-bit with the same bits: NOADDR is 0xFFFF either way.
    std::vector<uint16_t> in;
    for (std::size_t i = 0;; ++i) {
        in.push_back(static_cast<uint16_t>(addrList[i]));
        if (addrList[i] == NOADDR) break;
    }
    const std::size_t slots = limit > 0 ? static_cast<std::size_t>(limit) : 0;
    std::vector<uint16_t> out(results, results + slots);
    wrap([&] { driver_.FindLstn(board, in.data(), out.data(), limit); });
    for (std::size_t i = 0; i < slots; ++i)
        results[i] = static_cast<int16_t>(out[i]);
}

void InstrumentLink::SendIFC(int16_t board) {
    wrap([&] { driver_.SendIFC(board); });
}

int16_t InstrumentLink::addressOfDevice(int16_t ud) const {
    for (int slot = 1; slot <= Listeners.count(); ++slot)
        if (ListenerDevices[static_cast<std::size_t>(slot)] == ud) return Listeners.address(slot);
    return 0;
}

} // namespace vellumix::gpib

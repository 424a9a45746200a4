#include "gpib/backends/boardless.h"

#include "gpib/status.h"

#include <cerrno>
#include <utility>

namespace vellumix::gpib {

namespace {

constexpr int32_t MaxDescriptors = 32767 - DescriptorTable::FirstDescriptor; // numbers stay within 16 bits

} // namespace

int64_t timeoutMilliseconds(int code) {
    const int64_t us = timeoutMicroseconds(code);
    return (us + 999) / 1000;
}

int64_t boundedTimeoutMicroseconds(int code) {
    const int64_t us = timeoutMicroseconds(code);
    return us > 0 ? us : timeoutMicroseconds(MaxTimeoutCode);
}

int64_t boundedTimeoutMilliseconds(int code) {
    return (boundedTimeoutMicroseconds(code) + 999) / 1000;
}

CallStatus errorStatus(int16_t iberr) {
    return {ErrBit, iberr, 0};
}

CallStatus transferStatus(int32_t count, bool end) {
    return {CMPL | (end ? END : 0), 0, count};
}

CallStatus errnoStatus(int errnum, int32_t moved) {
    if (errnum == ETIMEDOUT) return {ErrBit | TIMO, EABO, moved};
    return {ErrBit, EDVR, errnum};
}

bool validDeviceArguments(int32_t pad, int32_t sad, int32_t tmo) {
    return validPrimaryAddress(pad) && validSecondaryAddress(sad) && tmo >= 0 && tmo <= MaxTimeoutCode;
}

std::optional<int> addressListLength(const uint16_t* addrList) {
    constexpr uint16_t NoAddress = 0xFFFF;
    constexpr int MaxAddressList = 1024;
    int n = 0;
    while (n < MaxAddressList && addrList[n] != NoAddress) {
        if ((addrList[n] & 0xFF) > MaxPrimaryAddress) return std::nullopt;
        ++n;
    }
    if (n == MaxAddressList) return std::nullopt;
    return n;
}

int32_t DescriptorTable::open(int32_t board, const Descriptor& settings, CallStatus& status) {
    if (board != 0) {
        status = errorStatus(ENEB);
    } else if (!validDeviceArguments(settings.pad, settings.sad, settings.tmo)) {
        status = errorStatus(EARG);
    } else if (list_.size() >= static_cast<std::size_t>(MaxDescriptors)) {
        status = errorStatus(EDVR);
    } else {
        list_.push_back(settings);
        status = {CMPL, 0, 0};
        return FirstDescriptor + static_cast<int32_t>(list_.size()) - 1;
    }
    return -1;
}

Descriptor* DescriptorTable::find(int32_t ud) {
    const int64_t i = static_cast<int64_t>(ud) - FirstDescriptor;
    if (i < 0 || i >= static_cast<int64_t>(list_.size())) return nullptr;
    return &list_[static_cast<std::size_t>(i)];
}

CallStatus DescriptorTable::setPad(int32_t ud, int32_t pad) {
    Descriptor* d = find(ud);
    if (!d) return errorStatus(EDVR);
    if (!validPrimaryAddress(pad)) return errorStatus(EARG);
    return {CMPL, std::exchange(d->pad, pad), 0};
}

CallStatus DescriptorTable::setTimeout(int32_t ud, int32_t code, const TimeoutHook& apply) {
    Descriptor* d = find(ud);
    if (!d) return errorStatus(EDVR);
    if (code < 0 || code > MaxTimeoutCode) return errorStatus(EARG);
    if (apply)
        if (const std::optional<CallStatus> refused = apply(*d, code)) return *refused;
    return {CMPL, std::exchange(d->tmo, code), 0};
}

CallStatus DescriptorTable::ask(int32_t ud, int32_t option, int32_t* value) {
    const Descriptor* d = find(ud);
    if (!d) return errorStatus(EDVR);
    if (!value) return errorStatus(EARG);
    switch (option) {
    case 0x1: // IbaPAD
        *value = d->pad;
        break;
    case 0x2: // IbaSAD
        *value = d->sad;
        break;
    case 0x3: // IbaTMO
        *value = d->tmo;
        break;
    case 0x4: // IbaEOT
        *value = d->eot;
        break;
    default:
        return errorStatus(EARG);
    }
    return {CMPL, 0, 0};
}

int32_t BoardlessDriver::ibsre(int32_t board, int32_t v) {
    // Nothing to drive: adapters hold REN in controller mode, USB has none; only the setting is kept.
    if (board != 0) return publish(errorStatus(ENEB));
    const int previous = std::exchange(sre_, v != 0 ? 1 : 0);
    return publish({CMPL, previous, 0}); // NI gives the previous setting in iberr
}

int32_t BoardlessDriver::ibdev(int32_t board, int32_t pad, int32_t sad, int32_t tmo, int32_t eot,
                               int32_t eos) {
    CallStatus status;
    const int32_t ud = descriptors_.open(board, {pad, sad, tmo, eot, eos}, status);
    publish(status);
    return ud;
}

int32_t BoardlessDriver::ibpad(int32_t ud, int32_t pad) {
    return publish(descriptors_.setPad(ud, pad));
}

int32_t BoardlessDriver::ibwait(int32_t ud, int32_t /*mask*/) {
    if (!descriptors_.find(ud)) return publish(errorStatus(EDVR));
    return publish({CMPL, 0, lastCount_});
}

int32_t BoardlessDriver::ibask(int32_t ud, int32_t option, int32_t* value) {
    return publish(descriptors_.ask(ud, option, value));
}

std::optional<int> BoardlessDriver::findLstnArguments(int32_t board, const uint16_t* addrList,
                                                      const uint16_t* results, int32_t limit) {
    std::optional<int> length;
    if (board != 0)
        publish(errorStatus(ENEB));
    else if (!addrList || !results || limit < 0 || !(length = addressListLength(addrList)))
        publish(errorStatus(EARG));
    return length;
}

void BoardlessDriver::reportListeners(const uint16_t* addrList, int length, uint16_t* results, int32_t limit,
                                      const std::function<bool(int pad)>& present) {
    int32_t found = 0;
    bool overflow = false;
    for (int i = 0; i < length && !overflow; ++i) {
        const uint16_t a = addrList[i];
        if ((a >> 8) != 0 || !present(a & 0xFF)) continue;
        if (found == limit)
            overflow = true;
        else
            results[found++] = a;
    }
    lastCount_ = found;
    publish(overflow ? CallStatus{ErrBit, ETAB, found} : CallStatus{CMPL, 0, found});
}

} // namespace vellumix::gpib

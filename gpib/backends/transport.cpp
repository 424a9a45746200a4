#include "gpib/backends/transport.h"

#include "gpib/status.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace vellumix::gpib {

namespace {

constexpr int32_t MaxTimeoutCode = 17;                                       // T1000s
constexpr int32_t MaxDescriptors = 32767 - DescriptorTable::FirstDescriptor; // numbers stay within 16 bits

} // namespace

int64_t timeoutMilliseconds(int code) {
    const int64_t us = timeoutMicroseconds(code);
    return (us + 999) / 1000;
}

int64_t boundedTimeoutMilliseconds(int code) {
    const int64_t ms = timeoutMilliseconds(code);
    return ms > 0 ? ms : timeoutMilliseconds(MaxTimeoutCode);
}

CallStatus errorStatus(int16_t iberr) {
    return {static_cast<uint16_t>(ERR), iberr, 0};
}

CallStatus transferStatus(int32_t count, bool end) {
    return {CMPL | (end ? END : 0), 0, count};
}

CallStatus errnoStatus(int errnum, int32_t moved) {
    if (errnum == ETIMEDOUT) return {static_cast<uint16_t>(ERR) | TIMO, EABO, moved};
    return {static_cast<uint16_t>(ERR), EDVR, errnum};
}

std::string deviceOpenFailure(const std::string& path, int errnum, const DeviceOpenHints& hints) {
    std::string cause;
    const std::string* hint = &hints.whenOther;
    switch (errnum) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        cause = errnum == ENOENT ? "it does not exist" : "no device answers behind it";
        hint = &hints.whenAbsent;
        break;
    case EACCES:
    case EPERM:
        cause = "permission denied";
        hint = &hints.whenDenied;
        break;
    case ENOTTY:
        cause = "it is not a" + std::string(hints.kind.empty() ? "" : " ") + hints.kind;
        break;
    default:
        cause = std::strerror(errnum);
        break;
    }
    std::string text = "Vellumix cannot open " + path + ": " + cause + ".";
    if (!hint->empty()) text += "\n\n" + *hint;
    return text;
}

bool validDeviceArguments(int32_t pad, int32_t sad, int32_t tmo) {
    return pad >= 0 && pad <= 30 && validSecondaryAddress(sad) && tmo >= 0 && tmo <= MaxTimeoutCode;
}

std::optional<int> addressListLength(const uint16_t* addrList) {
    constexpr uint16_t NoAddress = 0xFFFF;
    constexpr int MaxAddressList = 1024;
    int n = 0;
    while (n < MaxAddressList && addrList[n] != NoAddress) {
        if ((addrList[n] & 0xFF) > 30) return std::nullopt;
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
    if (pad < 0 || pad > 30) return errorStatus(EARG);
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

} // namespace vellumix::gpib

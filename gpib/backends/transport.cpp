#include "gpib/backends/transport.h"

#include "gpib/status.h"

#include <cerrno>
#include <cstring>

namespace vellumix::gpib {

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

} // namespace vellumix::gpib

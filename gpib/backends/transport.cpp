#include "gpib/backends/transport.h"

#include "gpib/status.h"

#include <cerrno>
#include <cstring>

namespace vellumix::gpib {

int64_t timeoutMilliseconds(int code) {
    const int64_t us = timeoutMicroseconds(code);
    return (us + 999) / 1000;
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
    constexpr int32_t MaxTimeoutCode = 17; // T1000s
    const bool sadOk = sad == 0 || (sad >= 0x60 && sad <= 0x7E);
    return pad >= 0 && pad <= 30 && sadOk && tmo >= 0 && tmo <= MaxTimeoutCode;
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

std::optional<int32_t> askDescriptor(const DescriptorSettings& settings, int32_t option) {
    switch (option) {
    case 0x1: // IbaPAD
        return settings.pad;
    case 0x2: // IbaSAD
        return settings.sad;
    case 0x3: // IbaTMO
        return settings.tmo;
    case 0x4: // IbaEOT
        return settings.eot;
    default:
        return std::nullopt;
    }
}

} // namespace vellumix::gpib

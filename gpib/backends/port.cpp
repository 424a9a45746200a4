#include "gpib/backends/port.h"

#include "gpib/status.h"

#include <cerrno>
#include <cstring>

namespace vellumix::gpib {

namespace {

bool validBuffer(const void* buf, int32_t count) {
    return count >= 0 && (count == 0 || buf != nullptr);
}

} // namespace

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

int32_t PortDriver::done(const CallStatus& status) {
    lastCount_ = status.cnt;
    return publish(status);
}

void PortDriver::SendIFC(int32_t board) {
    done(board == 0 ? port_.interfaceClear() : errorStatus(ENEB));
}

void PortDriver::FindLstn(int32_t board, const uint16_t* addrList, uint16_t* results, int32_t limit) {
    // The whole list is checked before anything is written.
    const std::optional<int> length = findLstnArguments(board, addrList, results, limit);
    if (!length) return;
    std::vector<int> pads;
    for (int i = 0; i < *length; ++i)
        if ((addrList[i] >> 8) == 0 && (addrList[i] & 0xFF) != 0) pads.push_back(addrList[i] & 0xFF);
    if (const std::optional<int16_t> refused = port_.beginSearch(pads)) {
        done(errorStatus(*refused));
        return;
    }
    reportListeners(addrList, *length, results, limit, [this](int pad) { return port_.answers(pad); });
}

int32_t PortDriver::ibclr(int32_t ud) {
    const Descriptor* d = descriptors_.find(ud);
    if (!d) return done(errorStatus(EDVR));
    return done(port_.clear(*d));
}

int32_t PortDriver::ibrsp(int32_t ud, char* spr) {
    const Descriptor* d = descriptors_.find(ud);
    if (!d) return done(errorStatus(EDVR));
    if (!spr) return done(errorStatus(EARG));
    return done(port_.serialPoll(*d, *spr));
}

int32_t PortDriver::ibwrt(int32_t ud, const char* buf, int32_t count) {
    const Descriptor* d = descriptors_.find(ud);
    if (!d) return done(errorStatus(EDVR));
    if (!validBuffer(buf, count)) return done(errorStatus(EARG));
    return done(port_.write(*d, std::string_view(buf ? buf : "", static_cast<std::size_t>(count))));
}

int32_t PortDriver::ibrd(int32_t ud, char* buf, int32_t count) {
    const Descriptor* d = descriptors_.find(ud);
    if (!d) return done(errorStatus(EDVR));
    if (!validBuffer(buf, count)) return done(errorStatus(EARG));
    return done(port_.read(*d, buf, count));
}

int32_t PortDriver::ibtmo(int32_t ud, int32_t code) {
    // Nothing moves: the count ibwait repeats stays.
    return publish(descriptors_.setTimeout(
        ud, code, [this](const Descriptor& d, int newCode) { return port_.changeTimeout(d, newCode); }));
}

} // namespace vellumix::gpib

#include "gpib/backends/ni488/ni488driver.h"

#include "gpib/backends/ni488/ni488library.h"
#include "gpib/status.h"

#include <algorithm>
#include <utility>

namespace vellumix::gpib::ni488 {

std::unique_ptr<Ni488Driver> Ni488Driver::load(const std::string& path, int board, std::string& error) {
    auto lib = std::make_unique<Library>();
    if (!lib->shared.open(path, error)) return nullptr;
    lib->resolve();
    if (!lib->missing.empty()) {
        error = "does not export ";
        for (size_t i = 0; i < lib->missing.size(); ++i) {
            if (i > 0) error += ", ";
            error += lib->missing[i];
        }
        error += lib->missing.size() == 1 ? " (a required symbol)" : " (required symbols)";
        return nullptr;
    }
    return std::unique_ptr<Ni488Driver>(new Ni488Driver(std::move(lib), path, board));
}

Ni488Driver::Ni488Driver(std::unique_ptr<Library> lib, std::string path, int board)
    : lib_(std::move(lib)), path_(std::move(path)), board_(board) {}

Ni488Driver::~Ni488Driver() = default;

LibraryApi Ni488Driver::api() const {
    return lib_->api;
}

LibraryFamily Ni488Driver::family() const {
    return lib_->family;
}

bool Ni488Driver::registersNatively() const {
    return lib_->call.registerGlobals != nullptr;
}

// --- Status ---

int32_t Ni488Driver::RegisterGpibGlobalsForThread(int32_t* ibsta, int32_t* iberr, int32_t* ibcnt,
                                                  int32_t* ibcntl) {
    // Code 3 is a failure the caller already handles; a null word would crash the first call.
    if (!ibsta || !iberr || !ibcnt || !ibcntl) return 3;
    sta_ = ibsta;
    err_ = iberr;
    cnt_ = ibcnt;
    cntl_ = ibcntl;
    if (!lib_->call.registerGlobals) return 0;

    static_assert(sizeof(int) == sizeof(int32_t));
    const int code = lib_->call.registerGlobals(reinterpret_cast<int*>(ibsta), reinterpret_cast<int*>(iberr),
                                                reinterpret_cast<int*>(ibcnt), &nativeCntl_);
    nativeRegistered_ = code == 0 || code == 1;
    if (!nativeRegistered_) sta_ = err_ = cnt_ = cntl_ = nullptr;
    return code;
}

int32_t Ni488Driver::UnregisterGpibGlobalsForThread() {
    sta_ = err_ = cnt_ = cntl_ = nullptr;
    if (!lib_->call.unregisterGlobals) return 0;
    nativeRegistered_ = false;
    return lib_->call.unregisterGlobals();
}

void Ni488Driver::publishStatus() {
    if (!sta_) return;
    if (nativeRegistered_) {
        *cntl_ = static_cast<int32_t>(nativeCntl_);
        return;
    }
    // The per-thread values: the process globals go stale when ibdev fails early on linux-gpib.
    const int32_t cntl = lib_->call.threadIbcntl();
    *sta_ = lib_->call.threadIbsta();
    *err_ = lib_->call.threadIberr();
    *cnt_ = cntl;
    *cntl_ = cntl;
}

int32_t Ni488Driver::rejectArguments() {
    const int32_t sta = static_cast<uint16_t>(ERR);
    if (sta_) {
        *sta_ = sta;
        *err_ = EARG;
        *cnt_ = 0;
        *cntl_ = 0;
    }
    return sta;
}

CallStatus Ni488Driver::lastCall() {
    if (nativeRegistered_ && sta_) return {*sta_, *err_, static_cast<int32_t>(nativeCntl_)};
    return {lib_->call.threadIbsta(), lib_->call.threadIberr(), lib_->call.threadIbcntl()};
}

void Ni488Driver::publish(const CallStatus& status) {
    if (!sta_) return;
    *sta_ = status.sta;
    *err_ = status.err;
    *cnt_ = status.cnt;
    *cntl_ = status.cnt;
    if (nativeRegistered_) nativeCntl_ = status.cnt;
}

BoardAnswer Ni488Driver::askInterface(int index) {
    constexpr int IbaPAD = 0x1;
    int value = 0;
    BoardAnswer a;
    a.ibsta = lib_->call.ibask(index, IbaPAD, &value);
    a.iberr = nativeRegistered_ && err_ ? *err_ : lib_->call.threadIberr();
    a.ibcntl = nativeRegistered_ && cntl_ ? static_cast<int32_t>(nativeCntl_) : lib_->call.threadIbcntl();
    publishStatus();
    return a;
}

// --- Board level: the program's board 0 is the interface chosen by the bus URI ---

void Ni488Driver::SendIFC(int32_t board) {
    lib_->call.SendIFC(boardFor(board));
    publishStatus();
}

int32_t Ni488Driver::ibsre(int32_t board, int32_t v) {
    const int32_t sta = lib_->call.ibsre(boardFor(board), v);
    publishStatus();
    return sta;
}

void Ni488Driver::FindLstn(int32_t board, const uint16_t* addrList, uint16_t* results, int32_t limit) {
    if (!addrList || !results || limit < 0) {
        rejectArguments();
        return;
    }
    lib_->call.FindLstn(boardFor(board), addrList, results, limit);
    publishStatus();
}

int32_t Ni488Driver::ibdev(int32_t board, int32_t pad, int32_t sad, int32_t tmo, int32_t eot, int32_t eos) {
    // linux-gpib's ibdev crashes on an address above 30 once its configuration is loaded.
    if (!validPrimaryAddress(pad) || !validSecondaryAddress(sad)) {
        rejectArguments();
        return -1;
    }
    // -1 is passed on: the status words already say why.
    const int32_t ud = lib_->call.ibdev(boardFor(board), pad, sad, tmo, eot, eos);
    publishStatus();
    if (ud >= 0) timeouts_[ud] = tmo;
    return ud;
}

// --- Device level ---

int32_t Ni488Driver::ibpad(int32_t ud, int32_t pad) {
    if (!validPrimaryAddress(pad)) return rejectArguments();
    const int32_t sta = lib_->call.ibpad(ud, pad);
    publishStatus();
    return sta;
}

int32_t Ni488Driver::ibclr(int32_t ud) {
    const int32_t sta = lib_->call.ibclr(ud);
    publishStatus();
    return sta;
}

int32_t Ni488Driver::ibrsp(int32_t ud, char* spr) {
    if (!spr) return rejectArguments();
    const int32_t sta = lib_->call.ibrsp(ud, spr);
    publishStatus();
    return sta;
}

int32_t Ni488Driver::ibwrt(int32_t ud, const char* buf, int32_t count) {
    // A negative count would reach the library as a huge unsigned length.
    if (count < 0 || (count > 0 && !buf)) return rejectArguments();
    const int32_t sta = lib_->call.ibwrt(ud, buf, count);
    publishStatus();
    return sta;
}

int64_t Ni488Driver::readSlices(int timeoutCode) {
    if (timeoutCode == TNONE) return 0;
    const int64_t slice = timeoutMicroseconds(T1s);
    const int64_t us = timeoutMicroseconds(timeoutCode);
    return us <= slice ? 1 : (us + slice - 1) / slice;
}

int32_t Ni488Driver::ibrd(int32_t ud, char* buf, int32_t count) {
    if (count < 0 || (count > 0 && !buf)) return rejectArguments();
    const auto wanted = timeouts_.find(ud);
    const int64_t slices = wanted == timeouts_.end() ? 1 : readSlices(wanted->second);
    if (cancelled_.load()) {
        publish({static_cast<uint16_t>(ErrBit), EABO, 0});
        return static_cast<uint16_t>(ErrBit);
    }
    // A read that waits at most a second needs no split; nor does one the library will not split.
    if (slices == 1 || (lib_->call.ibtmo(ud, T1s) & ErrBit)) {
        const int32_t sta = lib_->call.ibrd(ud, buf, count);
        publishStatus();
        return sta;
    }
    // One-second reads until the whole timeout has passed: on GPIB no byte is lost between two of
    // them, since the handshake holds the talker until a listener takes the byte. Bytes that came
    // in a read that timed out stay in the reply.
    CallStatus status;
    int32_t got = 0;
    for (int64_t n = 1;; ++n) {
        lib_->call.ibrd(ud, buf + got, count - got);
        status = lastCall();
        got += std::clamp(status.cnt, 0, count - got);
        const bool sliceOver = (status.sta & TIMO) && status.err == EABO;
        if (!sliceOver || got == count || cancelled_.load() || n == slices) break;
        if (idleClock_) idleClock_->idle();
        if (cancelled_.load()) break;
    }
    lib_->call.ibtmo(ud, wanted->second);
    status.cnt = got;
    // A cancel reads as an aborted call, not as the instrument's silence.
    if (cancelled_.load() && (status.sta & TIMO)) status = {static_cast<uint16_t>(ErrBit), EABO, got};
    publish(status);
    return status.sta;
}

int32_t Ni488Driver::ibwait(int32_t ud, int32_t mask) {
    const int32_t sta = lib_->call.ibwait(ud, mask);
    publishStatus();
    return sta;
}

int32_t Ni488Driver::ibtmo(int32_t ud, int32_t code) {
    const int32_t sta = lib_->call.ibtmo(ud, code);
    publishStatus();
    if (!(sta & ErrBit) && timeouts_.count(ud)) timeouts_[ud] = code;
    return sta;
}

int32_t Ni488Driver::ibask(int32_t ud, int32_t option, int32_t* value) {
    if (!value) return rejectArguments();
    int v = *value;
    const int32_t sta = lib_->call.ibask(ud, option, &v);
    *value = v;
    publishStatus();
    return sta;
}

} // namespace vellumix::gpib::ni488

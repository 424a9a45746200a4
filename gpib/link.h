#pragma once
// The instrument link: the driver wrappers with the driver's names, the status words, and the
// program-wide values the exchange (exchange.h), the bus scan and device search (discovery.h) and
// the error report (errorreport.h) share. One object per run; tests create a fresh one each.
#include "gpib/clock.h"
#include "gpib/driver.h"
#include "gpib/listeners.h"
#include "gpib/status.h"
#include "platform/desktop.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vellumix::gpib {

// Size of the blocks a reply is collected in; the link keeps them for the next read.
inline constexpr std::size_t ReadBlockSize = 64 * 1024;
using ReadBlockPool = std::vector<std::unique_ptr<char[]>>;

class InstrumentLink {
public:
    InstrumentLink(GpibDriver& driver, Desktop& desktop, Clock& clock);

    // --- Status words (16-bit folded copies of the driver's words) ---
    int16_t ibsta = 0;
    int16_t iberr = 0;
    int16_t ibcnt = 0;
    int32_t ibcntl = 0;
    int16_t StatusRegistered = 0;

    // --- Program-wide values of the link ---
    int16_t GpibErrorFlag = 0; // 0 false, -1 true
    int16_t DeviceTimeout = 0;
    int16_t ScopeAddress = 0;
    ListenerTable Listeners;
    ListenerTable FreeListeners; // not yet handed out by the device search
    std::array<int16_t, ListenerTable::MaxListeners + 1> ListenerDevices{};
    int16_t SpareDevice = 0;
    int16_t SpareOpen = 0;

    // The listener address the device search gave this descriptor; 0 when none.
    int16_t addressOfDevice(int16_t ud) const;

    // --- Wrappers ---
    void RegisterStatus();
    void CopyStatus();
    void ibask(int16_t ud, int16_t option, int16_t& value);
    void ibclr(int16_t ud);
    void ibdev(int16_t board, int16_t pad, int16_t sad, int16_t tmo, int16_t eot, int16_t eos, int16_t& ud);
    void ibpad(int16_t ud, int16_t address);
    // Reads into buf (its length is the count); returns nothing: ibcntl says how many bytes came.
    void ibrd(int16_t ud, std::string& buf);
    void ibrd(int16_t ud, char* buf, int32_t count);
    void ibrsp(int16_t ud, int16_t& poll);
    void ibsre(int16_t board, int16_t v);
    void ibtmo(int16_t ud, int16_t code);
    void ibwait(int16_t ud, int16_t mask);
    void ibwrt(int16_t ud, const std::string& text);
    void FindLstn(int16_t board, const int16_t* addrList, int16_t* results, int16_t limit);
    void SendIFC(int16_t board);

    // Whether the last ReadResponse failed (its box was shown and it returned the empty text), so
    // that callers need not tell a failed read from an empty reply by the text alone.
    bool lastReadFailed() const { return lastReadFailed_; }
    void setLastReadFailed(bool failed) { lastReadFailed_ = failed; }

    // False when the last wrapper call ran without the driver's status registration: ibsta, iberr
    // and the count are then not the driver's, so a read cannot know how much came or when it ended.
    bool statusKnown() const { return StatusRegistered != 0; }
    // What the last registration attempt returned (0 or 1: registered).
    int32_t lastRegisterCode() const { return registerCode_; }

    // Cancelling the exchange that runs: thread-safe and async-signal-safe. The read stops before
    // its next piece (exchange.cpp) and the driver cuts short the call in progress where it can.
    void requestCancel() {
        cancelRequested_.store(true);
        driver_.cancel();
    }
    bool cancelRequested() const { return cancelRequested_.load(); }
    // Before a new capture: an earlier cancel no longer applies.
    void clearCancel() {
        cancelRequested_.store(false);
        driver_.clearCancel();
    }

    Desktop& desktop() { return desktop_; }
    // The word "HARDCOPY:PORT" names over this link's driver ("GPIB", or "USB" straight over USB).
    std::string hardCopyPort() const { return driver_.hardCopyPort(); }
    // What the driver knows of the last failure beyond its error code; empty when nothing.
    std::string failureDetail() const { return driver_.failureDetail(); }
    Clock& clock() { return clock_; }
    ReadBlockPool& readBlocks() { return readBlocks_; }

private:
    template <typename Call> void wrap(Call&& call);
    // Fails a call with EARG without reaching the driver.
    void refuseAddress();

    GpibDriver& driver_;
    Desktop& desktop_;
    Clock& clock_;
    // Driver-side words registered with the driver; CopyStatus folds them into the status words.
    int32_t RawIbsta = 0;
    int32_t RawIberr = 0;
    int32_t RawIbcnt = 0;
    bool lastReadFailed_ = false;
    std::atomic<bool> cancelRequested_{false};
    int32_t registerCode_ = 0;
    ReadBlockPool readBlocks_;
};

} // namespace vellumix::gpib

#pragma once
// What the backends without a GPIB board (simulated bus, "++" adapters, USBTMC) answer alike: the
// descriptors, the SRE setting, ibwait and the argument checks of FindLstn, with a board driver's
// results, timeout codes in time and the status words of their results, so that each backend only
// says how its own wire works.
#include "gpib/driver.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace vellumix::gpib {

// Milliseconds of a timeout code, rounded up to whole milliseconds (T10us gives 1). TNONE and codes
// outside the table give 0, which means "no limit".
int64_t timeoutMilliseconds(int code);
// What TNONE means on every bus without a board (simulated bus, adapters, USB devices): the longest
// code's 1000 s, as does any code outside the table. A board waits for ever there, while an adapter
// or a USB device that died, or a simulated instrument that never answers, must not hang the program.
int64_t boundedTimeoutMicroseconds(int code);
// The same in whole milliseconds, rounded up (T10us gives 1).
int64_t boundedTimeoutMilliseconds(int code);

// A call refused with an error code: ERR, the code, nothing moved.
CallStatus errorStatus(int16_t iberr);
// A finished transfer of `count` bytes: CMPL, plus END when the device's message ended with it.
CallStatus transferStatus(int32_t count, bool end);
// A failed system call, as linux-gpib reports one: ETIMEDOUT is a timeout (ERR|TIMO, EABO) with
// the bytes moved before it; anything else is an operating system error (ERR, EDVR) with the
// errno value as the count.
CallStatus errnoStatus(int errnum, int32_t moved = 0);

// Whether ibdev's arguments are ones a board accepts: primary address 0 to MaxPrimaryAddress, secondary 0 or
// 0x60..0x7E, a timeout code of the table.
bool validDeviceArguments(int32_t pad, int32_t sad, int32_t tmo);

// The number of addresses before NOADDR in a FindLstn list; empty when an entry's primary address
// is above MaxPrimaryAddress or no NOADDR comes within a sane length (the driver answers EARG).
std::optional<int> addressListLength(const uint16_t* addrList);

// One descriptor of a backend without a board: what ibdev was given, as ibpad and ibtmo changed it.
struct Descriptor {
    int pad = 0;
    int sad = 0;
    int tmo = 0;
    int eot = 1;
    int eos = 0;
};

// The descriptors such a backend hands out, with a board driver's results for the calls that only
// touch the descriptor. Numbers start above the board indexes, as on linux-gpib, and are never
// reused, so a stale number cannot reach another device.
class DescriptorTable {
public:
    static constexpr int32_t FirstDescriptor = 16;

    // ibdev: the new descriptor's number, or -1 with the error code in `status` (ENEB for a board
    // other than 0, EARG for arguments a board refuses, EDVR once the 16-bit numbers run out).
    int32_t open(int32_t board, const Descriptor& settings, CallStatus& status);
    Descriptor* find(int32_t ud);
    int count() const { return static_cast<int>(list_.size()); }

    // ibpad and ibtmo: the previous value in the error word, as NI's driver gives it; EDVR for an
    // unknown descriptor, EARG for a value out of range. `apply` lets the backend act on the new
    // timeout first (a device file's own timeout); a status it returns fails the call unchanged.
    CallStatus setPad(int32_t ud, int32_t pad);
    using TimeoutHook = std::function<std::optional<CallStatus>(const Descriptor& current, int code)>;
    CallStatus setTimeout(int32_t ud, int32_t code, const TimeoutHook& apply = {});
    // ibask for the options such a descriptor keeps (primary and secondary address, timeout code,
    // EOI on write); EARG for any other option.
    CallStatus ask(int32_t ud, int32_t option, int32_t* value);

private:
    std::vector<Descriptor> list_;
};

class BoardlessDriver : public RegisteringDriver {
public:
    int32_t ibsre(int32_t board, int32_t v) final;
    int32_t ibdev(int32_t board, int32_t pad, int32_t sad, int32_t tmo, int32_t eot, int32_t eos) final;
    int32_t ibpad(int32_t ud, int32_t pad) final;
    int32_t ibwait(int32_t ud, int32_t mask) final;
    int32_t ibask(int32_t ud, int32_t option, int32_t* value) final;

protected:
    // FindLstn's checks before the bus is looked at: the number of addresses in the list, or nothing
    // once ENEB (board other than 0) or EARG (missing buffers, a bad list) has been published.
    std::optional<int> findLstnArguments(int32_t board, const uint16_t* addrList, const uint16_t* results,
                                         int32_t limit);

    // FindLstn's answer: the addresses of the list whose primary address `present` says answers, in
    // the list's order (secondary addresses are never probed). More than `limit` gives ETAB with the
    // first `limit` written and counted, as a board does.
    void reportListeners(const uint16_t* addrList, int length, uint16_t* results, int32_t limit,
                         const std::function<bool(int pad)>& present);

    DescriptorTable descriptors_;
    // Bytes the last transfer moved: ibwait reports them again, since waiting changes no count.
    int32_t lastCount_ = 0;

private:
    int sre_ = 0;
};

} // namespace vellumix::gpib

#pragma once
// One message port under every bus without a board: what such a bus does with the device at a
// descriptor's address, in messages rather than driver calls. PortDriver does the rest once:
// descriptor -> address -> port -> status words.
#include "gpib/backends/boardless.h"
#include "gpib/driver.h"
#include "gpib/status.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumix::gpib {

// What to tell the user about a device node of one kind that could not be opened.
struct DeviceOpenHints {
    std::string kind;       // "USBTMC device"
    std::string whenAbsent; // what to check when the node does not exist (ENOENT, ENODEV, ENXIO)
    std::string whenDenied; // how to get permission (EACCES, EPERM)
    std::string whenOther;  // the node exists but is not a device of this kind (ENOTTY and the rest)
};
// "Vellumix cannot open PATH: <cause>.\n\n<hint>" with the cause in the user's words.
std::string deviceOpenFailure(const std::string& path, int errnum, const DeviceOpenHints& hints);

class MessagePort {
public:
    virtual ~MessagePort() = default;

    // Which addresses answer a listener search of `pads` (the list's primary addresses without a
    // secondary one, this computer's 0 left out): nullopt to go on and ask answers() per address,
    // or an error code to fail the whole search with (EBUS: nothing at all answers).
    virtual std::optional<int16_t> beginSearch(const std::vector<int>& pads) = 0;
    // Whether something answers at a primary address; 0 is this computer, as a board answers for itself.
    virtual bool answers(int pad) = 0;
    // Interface clear, where the wire has one.
    virtual CallStatus interfaceClear() { return {CMPL, 0, 0}; }

    // The device at d's address; each returns the call's status words, with a count of bytes moved.
    virtual CallStatus clear(const Descriptor& d) = 0;
    virtual CallStatus serialPoll(const Descriptor& d, char& statusByte) = 0;
    virtual CallStatus write(const Descriptor& d, std::string_view message) = 0;
    // Up to count bytes (count >= 0, buf valid when count > 0); END when the device's message ended
    // with them.
    virtual CallStatus read(const Descriptor& d, char* buf, int32_t count) = 0;
    // Before a descriptor takes a new timeout code: a status to refuse it with, or nullopt.
    virtual std::optional<CallStatus> changeTimeout(const Descriptor& current, int code) = 0;

    // See GpibDriver.
    virtual const char* hardCopyPort() const { return "GPIB"; }
    virtual std::string failureDetail() const { return {}; }
    virtual void cancel() {}
    virtual void clearCancel() {}
};

// A GPIB driver over one message port: the descriptor checks (EDVR), the argument checks (EARG), then
// the port, whose status is published and whose count ibwait repeats.
class PortDriver : public BoardlessDriver {
public:
    // The port outlives the driver (usually a member of the class deriving from this one).
    explicit PortDriver(MessagePort& port) : port_(port) {}

    void SendIFC(int32_t board) override;
    void FindLstn(int32_t board, const uint16_t* addrList, uint16_t* results, int32_t limit) override;
    int32_t ibclr(int32_t ud) override;
    int32_t ibrsp(int32_t ud, char* spr) override;
    int32_t ibwrt(int32_t ud, const char* buf, int32_t count) override;
    int32_t ibrd(int32_t ud, char* buf, int32_t count) override;
    int32_t ibtmo(int32_t ud, int32_t code) override;

    const char* hardCopyPort() const override { return port_.hardCopyPort(); }
    std::string failureDetail() const override { return port_.failureDetail(); }
    void cancel() override { port_.cancel(); }
    void clearCancel() override { port_.clearCancel(); }

private:
    int32_t done(const CallStatus& status);

    MessagePort& port_;
};

} // namespace vellumix::gpib

#pragma once
// GPIB through a "++" controller (Prologix GPIB-USB / GPIB-ETHERNET, AR488) with the results a
// board's driver gives, so that the instrument link works over it unchanged.
#include "gpib/backends/boardless.h"
#include "gpib/backends/prologix/protocol.h"
#include "gpib/backends/prologix/transport.h"
#include "gpib/clock.h"
#include "gpib/driver.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vellumix::gpib::prologix {

class PrologixDriver final : public BoardlessDriver {
public:
    PrologixDriver(std::unique_ptr<Transport> transport, Clock& clock);

    // Puts the controller into the state the driver relies on and tells the flavour from ++ver.
    // False, with a message, when nothing answers like a controller.
    bool connect(std::string& error);
    Flavour flavour() const { return flavour_; }
    const std::string& version() const { return version_; }

    void SendIFC(int32_t board) override;
    void FindLstn(int32_t board, const uint16_t* addrList, uint16_t* results, int32_t limit) override;
    int32_t ibclr(int32_t ud) override;
    int32_t ibrsp(int32_t ud, char* spr) override;
    int32_t ibwrt(int32_t ud, const char* buf, int32_t count) override;
    int32_t ibrd(int32_t ud, char* buf, int32_t count) override;
    int32_t ibtmo(int32_t ud, int32_t code) override;

    // Silence after which we ask the adapter whether its read is over (see prologixread.cpp).
    // Longer than an FTDI chip's 16 ms latency timer, so a steady stream never looks quiet.
    static constexpr Clock::duration Quiet = std::chrono::milliseconds(25);
    // ++read_tmo_ms of a serial poll while scanning the bus (pyvisa-py's choice too).
    static constexpr int ScanPollMs = 50;
    // Shortest adapter read timeout, so that its end can always be told from an EOI (see the read).
    static constexpr int MinReadTimeoutMs = 500;

private:
    // One reply being read from the adapter.
    struct Read {
        bool active = false;
        int pad = -1;
        int sad = -1;
        bool ended = false;   // END seen: the bytes from pos on are the rest of the message
        bool running = false; // a ++read is running on the adapter as far as we know
        bool probing = false; // a ++ver went out to learn when that read ends
        std::string data;     // bytes received; those before pos are handed out
        std::size_t pos = 0;
        std::size_t readStart = 0; // where the running ++read's bytes begin in data
        Clock::duration issuedAt{};
        Clock::duration lastByteAt{};
        // End offset and arrival time of each piece received since the ++read went out.
        std::vector<std::pair<std::size_t, Clock::duration>> arrivals;
    };

    Clock::duration hostTimeout(const Descriptor& d) const;
    int adapterReadTimeoutMs(const Descriptor& d) const;

    bool send(std::string_view bytes);
    bool selectDevice(int pad, int sad);
    bool setAdapterTimeout(int ms);
    // Sends `command`, then ++ver as a marker; gives the lines answered before the marker's reply,
    // or nothing when the marker did not come back by `wait` (or the connection is gone).
    std::optional<std::vector<std::string>> ask(const std::string& command, Clock::duration wait);
    // Ends what an earlier exchange left: an unread reply, a running read, stray bytes.
    void settle();
    void dropPending();
    int32_t lostCall(int32_t status);
    void scanWithSerialPolls(const std::vector<int>& pads, std::vector<bool>& present);
    bool scanWithFndl(const std::vector<int>& pads, std::vector<bool>& present);

    // The read (prologixread.cpp).
    std::size_t readable() const;
    bool pump(Clock::duration deadline);
    void markerArrived();
    Clock::duration arrivalOf(std::size_t offset) const;

    std::unique_ptr<Transport> transport_;
    Clock& clock_;
    Flavour flavour_ = Flavour::Prologix;
    std::string version_;
    std::string marker_; // the ++ver reply as it arrives, line end included
    int addrPad_ = -1;
    int addrSad_ = -1;
    int adapterTimeoutMs_ = -1;
    int readTimeoutMs_ = MinReadTimeoutMs; // the running read's
    int pendingMarkers_ = 0;               // ++ver markers sent whose answer has not come yet
    bool lost_ = false;
    Read read_;
};

} // namespace vellumix::gpib::prologix

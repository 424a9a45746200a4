#pragma once
// A VXI-11 instrument or gateway on the LAN behind the message port. One device link (inst0, or a
// link name the user gave) appears at one address; a gateway's interface (gpib0, hpib, ...) puts
// each of its GPIB addresses at its own address, with a link created the first time it is used.
// Writes go in pieces of the device's maxRecvSize, reads loop device_read until END, and the
// device's error codes become the status words a GPIB board gives.
#include "gpib/backends/port.h"
#include "gpib/backends/vxi11/client.h"
#include "gpib/backends/vxi11/net.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vellumix::gpib::vxi11 {

inline constexpr const char* Vxi11ErrorTitle = "LAN Instrument Error";
inline constexpr const char* DefaultDevice = "inst0";

struct Target {
    std::string host;
    int port = 0;                        // the core channel's port; 0: ask the portmapper
    std::string device = DefaultDevice;  // link name, or a gateway's interface name
    int portmapperPort = PortmapperPort; // where the portmapper listens
};

// Whether a link name is a gateway's whole GPIB interface (gpib, gpib0, hpib, hpib0: no address).
bool isGatewayInterface(const std::string& device);
// Whether a link name is one address behind a gateway (gpib0,5, hpib,7).
bool isGatewayAddress(const std::string& device);
// The address a single link appears at: N of "name,N" (1 to 30), else 1.
int linkAddress(const std::string& device);
// "HOST" or "[v6]"
std::string hostText(const std::string& host);

// Bytes a write piece may hold: the device's maxRecvSize, or 1024 (what every device must take)
// when it reports 0 or something absurd.
uint32_t writePieceSize(uint32_t maxRecvSize);

// The status words for a device error code, and its meaning in the user's words.
CallStatus deviceErrorStatus(uint32_t error, int32_t moved);
// behindGateway: the link is an address behind a gateway, whose bus is GPIB.
std::string deviceErrorText(uint32_t error, bool behindGateway = false);

class Vxi11Devices final : public MessagePort {
public:
    Vxi11Devices(Network& network, Target target);
    ~Vxi11Devices() override; // destroys the links
    Vxi11Devices(const Vxi11Devices&) = delete;
    Vxi11Devices& operator=(const Vxi11Devices&) = delete;

    // Finds the core port, connects and, for a single device, creates its link. Empty on success,
    // otherwise what to tell the user, naming host and device.
    std::string open();
    // "VXI-11 HOST, inst0 at address 1" / "VXI-11 gateway HOST, gpib0"
    std::string description() const;
    bool gateway() const { return gateway_; }
    // The core port in use (found or given).
    int corePort() const { return corePort_; }

    std::optional<int16_t> beginSearch(const std::vector<int>& pads) override;
    bool answers(int pad) override;
    CallStatus clear(const Descriptor& d) override;
    CallStatus serialPoll(const Descriptor& d, char& statusByte) override;
    CallStatus write(const Descriptor& d, std::string_view message) override;
    CallStatus read(const Descriptor& d, char* buf, int32_t count) override;
    std::optional<CallStatus> changeTimeout(const Descriptor&, int) override { return std::nullopt; }
    // The TDS 3000 sends a hard copy asked for over the LAN to its GPIB port setting.
    const char* hardCopyPort() const override { return "GPIB"; }
    std::string failureDetail() const override { return detail_; }
    void cancel() override;
    void clearCancel() override;

private:
    struct Link {
        int address = 0;
        std::string name;
        int32_t lid = -1; // -1: not created (yet, or the device refused it)
        uint32_t maxRecvSize = 0;
        uint32_t lastError = 0; // why it could not be created
        // What a device_read brought beyond the caller's count, for the next read; END when the
        // device's message ended with its last byte.
        std::string ahead;
        bool aheadEnd = false;
    };
    // The link at an address, created now if needed; nullptr (and detail_) when there is none.
    Link* linkAt(int pad, bool create = true);
    // create_link; the device's error code, or a negative value for an RPC failure.
    int64_t createLink(Link& link, Clock::duration deadline);
    void openAbortChannel(int abortPort);
    // device_clear after an aborted read, so the rest of the message does not come next.
    void dropUnsent(Link& link);
    // One core call against a deadline; Ok or a failed status with detail_ set.
    std::optional<CallStatus> call(uint32_t procedure, std::string_view args, Clock::duration deadline,
                                   std::string& results, const Link& link, int32_t moved = 0);
    CallStatus rpcFailure(RpcConnection::Outcome outcome, const Link& link, int32_t moved);
    CallStatus deviceFailure(uint32_t error, const Link& link, int32_t moved);
    std::string where(const Link& link) const; // "the device inst0 at HOST"
    int64_t timeoutMs(const Descriptor& d) const;
    // Hands out bytes read ahead; END when they ran out at the message's end.
    std::size_t takeAhead(Link& link, char* buf, std::size_t n, bool& end);

    Network& network_;
    Target target_;
    bool gateway_ = false;
    int corePort_ = 0;
    std::unique_ptr<RpcConnection> core_;
    std::unique_ptr<RpcConnection> abort_;
    std::vector<Link> links_;
    std::string detail_;
    std::atomic<bool> cancelled_{false};
    std::string abortCall_; // device_abort of the link being read, encoded before the read starts
    std::atomic<bool> reading_{false};
};

class Vxi11Driver final : public PortDriver {
public:
    Vxi11Driver(std::unique_ptr<Network> network, Target target)
        : PortDriver(devices_), network_(std::move(network)), devices_(*network_, std::move(target)) {}
    Vxi11Devices& devices() { return devices_; }

private:
    std::unique_ptr<Network> network_;
    Vxi11Devices devices_;
};

} // namespace vellumix::gpib::vxi11

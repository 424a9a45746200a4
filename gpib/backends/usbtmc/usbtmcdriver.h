#pragma once
// Scopes on their USB device port, through the kernel's usbtmc driver, behind the GPIB driver
// interface: each usbtmc device is a listener at an address of its own, a write is one USBTMC
// message, a read ends with END at the device's end of message, and a descriptor's T-code becomes
// the file's timeout.
#include "gpib/backends/boardless.h"
#include "gpib/backends/usbtmc/port.h"
#include "gpib/driver.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace vellumix::gpib::usbtmc {

inline constexpr const char* UsbtmcErrorTitle = "USBTMC Error";

// What the user is told about a device node that will not open, by cause.
const DeviceOpenHints& usbtmcOpenHints();

class UsbtmcDriver final : public BoardlessDriver {
public:
    // onlyDevice: one node to use; empty: every usbtmc device present.
    UsbtmcDriver(std::unique_ptr<UsbtmcPort> port, std::string onlyDevice = {});
    ~UsbtmcDriver() override;
    UsbtmcDriver(const UsbtmcDriver&) = delete;
    UsbtmcDriver& operator=(const UsbtmcDriver&) = delete;

    // Opens the device(s) the bus names. Empty when at least one is open; otherwise what to tell
    // the user (no device present, permission, not a usbtmc device).
    std::string openDevices();

    const char* hardCopyPort() const override { return "USB"; }
    std::string failureDetail() const override { return detail_; }

    void SendIFC(int32_t board) override;
    void FindLstn(int32_t board, const uint16_t* addrList, uint16_t* results, int32_t limit) override;
    int32_t ibclr(int32_t ud) override;
    int32_t ibrsp(int32_t ud, char* spr) override;
    int32_t ibwrt(int32_t ud, const char* buf, int32_t count) override;
    int32_t ibrd(int32_t ud, char* buf, int32_t count) override;
    int32_t ibtmo(int32_t ud, int32_t code) override;
    void cancel() override;
    void clearCancel() override { cancelled_.store(false); }

    // The device node at an address, empty when there is none.
    std::string deviceAt(int address) const;

private:
    struct Node {
        std::string path;
        int fd = -1; // -1 once the device has vanished
        int address = 0;
        uint32_t timeoutMs = DefaultTimeoutMs;
    };
    Node* nodeAt(int address);
    // The descriptor of a call and the device behind it, or no device once the refusal (EDVR for an
    // unknown descriptor, EARG for bad arguments, ENOL for an address without a device) is published.
    struct Target {
        Descriptor* d;
        Node* node;
        int32_t refused;
    };
    Target target(int32_t ud, bool argumentsValid);
    const Node* nodeAtPath(const std::string& path) const;
    // Opens a node and gives it an address; 0 or -errno.
    int add(const std::string& path);
    // Opens again the nodes that were lost, and those that appeared since the last look (all-devices
    // mode only).
    void refresh();
    // -ENODEV for a lost node; otherwise makes the file's timeout the descriptor's.
    int prepare(Node& node, const Descriptor& d);
    // Publishes a failed system call and says in failureDetail() what it means for the user.
    int32_t failed(Node& node, int e, bool reading);
    // Makes the file's timeout the descriptor's; -errno when the kernel refuses it.
    int applyTimeout(Node& node, const Descriptor& d);
    int32_t done(CallStatus status);
    std::string timeoutText(const Node& node) const;

    std::unique_ptr<UsbtmcPort> port_;
    std::string onlyDevice_;
    std::vector<Node> nodes_;
    std::string detail_;
    std::size_t received_ = 0; // bytes of the reply being read, for the failure detail
    std::atomic<bool> cancelled_{false};
    std::atomic<int> readingFd_{-1}; // the file a read is blocked on, for cancel()
};

// File timeout for a T-code: the code's time, at least the kernel's 100 ms; TNONE gets the
// longest code's 1000 s, since the kernel has no "for ever".
uint32_t fileTimeoutMs(int code);

} // namespace vellumix::gpib::usbtmc

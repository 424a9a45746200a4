#pragma once
// Scopes on their USB device port, through the kernel's usbtmc driver, behind the GPIB driver
// interface: each usbtmc device is a listener at an address of its own, a write is one USBTMC
// message, a read ends with END at the device's end of message, and a descriptor's T-code becomes
// the file's timeout.
#include "gpib/backends/port.h"
#include "gpib/backends/usbtmc/pipe.h"
#include "gpib/driver.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace vellumix::gpib::usbtmc {

inline constexpr const char* UsbtmcErrorTitle = "USBTMC Error";

// What the user is told about a device node that will not open, by cause.
const DeviceOpenHints& usbtmcOpenHints();

// The usbtmc device nodes behind the message port: each device a listener at an address of its own.
class UsbtmcDevices final : public MessagePort {
public:
    // onlyDevice: one node to use; empty: every usbtmc device present.
    UsbtmcDevices(std::unique_ptr<UsbtmcPipe> pipe, std::string onlyDevice);
    ~UsbtmcDevices() override;
    UsbtmcDevices(const UsbtmcDevices&) = delete;
    UsbtmcDevices& operator=(const UsbtmcDevices&) = delete;

    // Opens the device(s) the bus names. Empty when at least one is open; otherwise what to tell
    // the user (no device present, permission, not a usbtmc device).
    std::string openDevices();
    // The device node at an address, empty when there is none.
    std::string deviceAt(int address) const;

    std::optional<int16_t> beginSearch(const std::vector<int>& pads) override;
    bool answers(int pad) override;
    CallStatus clear(const Descriptor& d) override;
    CallStatus serialPoll(const Descriptor& d, char& statusByte) override;
    CallStatus write(const Descriptor& d, std::string_view message) override;
    CallStatus read(const Descriptor& d, char* buf, int32_t count) override;
    std::optional<CallStatus> changeTimeout(const Descriptor& current, int code) override;
    const char* hardCopyPort() const override { return "USB"; }
    std::string failureDetail() const override { return detail_; }
    void cancel() override;
    void clearCancel() override { cancelled_.store(false); }

private:
    struct Node {
        std::string path;
        int fd = -1; // -1 once the device has vanished
        int address = 0;
        uint32_t timeoutMs = DefaultTimeoutMs;
    };
    Node* nodeAt(int address);
    // The device at a call's address, the detail of an earlier failure dropped; nullptr for none.
    Node* target(const Descriptor& d);
    const Node* nodeAtPath(const std::string& path) const;
    // Opens a node and gives it an address; 0 or -errno.
    int add(const std::string& path);
    // Opens again the nodes that were lost, and those that appeared since the last look (all-devices
    // mode only).
    void refresh();
    // -ENODEV for a lost node; otherwise makes the file's timeout the descriptor's.
    int prepare(Node& node, const Descriptor& d);
    // A failed system call's status, with what it means for the user in failureDetail().
    CallStatus failed(Node& node, int e, bool reading);
    // Makes the file's timeout the descriptor's; -errno when the kernel refuses it.
    int applyTimeout(Node& node, const Descriptor& d);
    std::string timeoutText(const Node& node) const;

    std::unique_ptr<UsbtmcPipe> pipe_;
    std::string onlyDevice_;
    std::vector<Node> nodes_;
    std::string detail_;
    std::size_t received_ = 0; // bytes of the reply being read, for the failure detail
    std::atomic<bool> cancelled_{false};
    std::atomic<int> readingFd_{-1}; // the file a read is blocked on, for cancel()
};

class UsbtmcDriver final : public PortDriver {
public:
    // onlyDevice: one node to use; empty: every usbtmc device present.
    explicit UsbtmcDriver(std::unique_ptr<UsbtmcPipe> pipe, std::string onlyDevice = {})
        : PortDriver(devices_), devices_(std::move(pipe), std::move(onlyDevice)) {}

    std::string openDevices() { return devices_.openDevices(); }
    std::string deviceAt(int address) const { return devices_.deviceAt(address); }

private:
    UsbtmcDevices devices_;
};

// File timeout for a T-code: the code's time, at least the kernel's 100 ms; TNONE gets the
// longest code's 1000 s, since the kernel has no "for ever".
uint32_t fileTimeoutMs(int code);

} // namespace vellumix::gpib::usbtmc

#include "gpib/backends/usbtmc/usbtmcdriver.h"

#include "gpib/status.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>

namespace vellumix::gpib::usbtmc {

int deviceNumber(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    static constexpr std::string_view prefix = "usbtmc";
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 4 ||
        name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    int n = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

const DeviceOpenHints& usbtmcOpenHints() {
    static const DeviceOpenHints hints{
        "USBTMC device",
        "Connect the scope's USB device port (the square socket at the back) to this computer and "
        "switch the scope on. On a TDS 1000B/2000B or TPS 2000 the rear USB port must be set to "
        "\"Computer\" (Utility, Options, Rear USB Port). The kernel's usbtmc module must be loaded: "
        "\"lsmod | grep usbtmc\" shows it, \"sudo modprobe usbtmc\" loads it.",
        "Your user may not use the scope's USB device. Copy docs/99-vellumix-usbtmc.rules to "
        "/etc/udev/rules.d/, run \"sudo udevadm control --reload\", then unplug and replug the "
        "scope (docs/usbtmc.md).",
        "Name a usbtmc device node such as /dev/usbtmc0, or use --bus usbtmc to find the scope.",
    };
    return hints;
}

uint32_t fileTimeoutMs(int code) {
    return static_cast<uint32_t>(std::max<int64_t>(boundedTimeoutMilliseconds(code), MinTimeoutMs));
}

UsbtmcDevices::UsbtmcDevices(std::unique_ptr<UsbtmcPipe> pipe, std::string onlyDevice)
    : pipe_(std::move(pipe)), onlyDevice_(std::move(onlyDevice)) {}

UsbtmcDevices::~UsbtmcDevices() {
    for (const Node& n : nodes_)
        if (n.fd >= 0) pipe_->close(n.fd);
}

int UsbtmcDevices::add(const std::string& path) {
    const int fd = pipe_->open(path);
    if (fd < 0) return fd;
    // usbtmcN answers at N+1 when that is free, so the address stays the same from run to run
    // as long as the scope keeps its node; otherwise the lowest free one. Never reused in a run.
    auto taken = [this](int a) {
        return std::any_of(nodes_.begin(), nodes_.end(), [a](const Node& n) { return n.address == a; });
    };
    const int n = deviceNumber(path);
    int address = n >= 0 && n < MaxPrimaryAddress && !taken(n + 1) ? n + 1 : 0;
    for (int a = 1; address == 0 && a <= MaxPrimaryAddress; ++a)
        if (!taken(a)) address = a;
    if (address == 0) {
        pipe_->close(fd);
        return -ENOSPC;
    }
    nodes_.push_back(Node{path, fd, address, DefaultTimeoutMs});
    return 0;
}

std::string UsbtmcDevices::openDevices() {
    if (!onlyDevice_.empty()) {
        if (nodeAtPath(onlyDevice_)) return {};
        const int r = add(onlyDevice_);
        return r < 0 ? deviceOpenFailure(onlyDevice_, -r, usbtmcOpenHints()) : std::string();
    }
    const std::vector<std::string> paths = pipe_->listDevices();
    if (paths.empty() && pipe_->simulated())
        return "No simulated USBTMC scope is present: the scenario describes no instrument.";
    if (paths.empty())
        return "No USBTMC device was found (no /dev/usbtmcN), so Vellumix cannot reach a scope over "
               "USB.\n\n" +
               usbtmcOpenHints().whenAbsent + "\n\nTo try Vellumix without a scope, use --bus usbtmc:sim.";
    std::string first;
    int failures = 0;
    for (const std::string& path : paths) {
        if (nodeAtPath(path)) continue;
        if (const int r = add(path); r < 0 && failures++ == 0)
            first = deviceOpenFailure(path, -r, usbtmcOpenHints());
    }
    if (!nodes_.empty()) return {};
    if (failures > 1)
        first +=
            "\n\n(" + std::to_string(failures - 1) + " more USBTMC device(s) could not be opened either.)";
    return first;
}

const UsbtmcDevices::Node* UsbtmcDevices::nodeAtPath(const std::string& path) const {
    for (const Node& n : nodes_)
        if (n.path == path) return &n;
    return nullptr;
}

void UsbtmcDevices::refresh() {
    // A scope that was unplugged and is back under its old name keeps its address.
    for (Node& n : nodes_) {
        if (n.fd >= 0) continue;
        n.fd = std::max(pipe_->open(n.path), -1);
        n.timeoutMs = DefaultTimeoutMs;
    }
    if (!onlyDevice_.empty()) return;
    for (const std::string& path : pipe_->listDevices())
        if (!nodeAtPath(path)) add(path); // one that will not open is simply not on the bus
}

UsbtmcDevices::Node* UsbtmcDevices::nodeAt(int address) {
    for (Node& n : nodes_)
        if (n.address == address && address != 0) return &n;
    return nullptr;
}

std::string UsbtmcDevices::deviceAt(int address) const {
    for (const Node& n : nodes_)
        if (n.address == address) return n.path;
    return {};
}

int UsbtmcDevices::applyTimeout(Node& node, const Descriptor& d) {
    const uint32_t ms = fileTimeoutMs(d.tmo);
    if (node.timeoutMs == ms) return 0;
    const int r = pipe_->setTimeout(node.fd, ms);
    if (r == 0) node.timeoutMs = ms;
    return r;
}

std::string UsbtmcDevices::timeoutText(const Node& node) const {
    const uint32_t ms = node.timeoutMs;
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

std::optional<int16_t> UsbtmcDevices::beginSearch(const std::vector<int>& /*pads*/) {
    refresh();
    if (std::none_of(nodes_.begin(), nodes_.end(), [](const Node& n) { return n.fd >= 0; })) return EBUS;
    return std::nullopt;
}

bool UsbtmcDevices::answers(int pad) {
    // Address 0 is this computer, as a GPIB board answers for itself; then each device.
    const Node* node = nodeAt(pad);
    return pad == 0 || (node && node->fd >= 0);
}

std::optional<CallStatus> UsbtmcDevices::changeTimeout(const Descriptor& current, int code) {
    Descriptor changed = current;
    changed.tmo = code;
    // A failure here is reported on its own; a success leaves the detail of a failed read before
    // it for the read's report, which comes after the timeout is restored.
    if (Node* node = nodeAt(current.pad); node && node->fd >= 0)
        if (const int r = applyTimeout(*node, changed); r < 0) {
            detail_ = "The timeout of " + node->path + " could not be set: " + std::strerror(-r) + ".";
            return errnoStatus(-r);
        }
    return std::nullopt;
}

CallStatus UsbtmcDevices::failed(Node& node, int e, bool reading) {
    const std::string& path = node.path;
    if (e == ETIMEDOUT && !reading)
        detail_ = "The scope on " + path + " did not take the command within " + timeoutText(node) + ".";
    else if (e == ETIMEDOUT && received_ == 0)
        detail_ = "The scope on " + path + " sent nothing for " + timeoutText(node) + ".";
    else if (e == ETIMEDOUT)
        detail_ = "The scope on " + path + " stopped answering after " + std::to_string(received_) +
                  " bytes: nothing came for " + timeoutText(node) +
                  ". Check the USB cable and that the scope is still on.";
    else if (e == ENODEV)
        detail_ = path + " is gone: the scope was unplugged or switched off. Reconnect it, then start again.";
    else
        detail_ = path + ": " + std::strerror(e) + ".";
    if (e == ENODEV && node.fd >= 0) {
        // The kernel keeps the file of a vanished device dead for good: let it go, so that a later
        // scan can open the scope again when it is back.
        pipe_->close(node.fd);
        node.fd = -1;
    }
    return errnoStatus(e);
}

int UsbtmcDevices::prepare(Node& node, const Descriptor& d) {
    if (node.fd < 0) return -ENODEV;
    return applyTimeout(node, d);
}

UsbtmcDevices::Node* UsbtmcDevices::target(const Descriptor& d) {
    Node* node = nodeAt(d.pad);
    if (node) detail_.clear();
    return node;
}

void UsbtmcDevices::cancel() {
    cancelled_.store(true);
    if (const int fd = readingFd_.load(); fd >= 0) pipe_->cancelIo(fd);
}

CallStatus UsbtmcDevices::clear(const Descriptor& d) {
    Node* node = target(d);
    if (!node) return errorStatus(ENOL);
    received_ = 0;
    if (int r = prepare(*node, d); r < 0 || (r = pipe_->clear(node->fd)) < 0) return failed(*node, -r, false);
    return transferStatus(0, false);
}

CallStatus UsbtmcDevices::serialPoll(const Descriptor& d, char& statusByte) {
    Node* node = target(d);
    if (!node) return errorStatus(ENOL);
    unsigned char stb = 0;
    if (int r = prepare(*node, d); r < 0 || (r = pipe_->readStatusByte(node->fd, stb)) < 0)
        return failed(*node, -r, false);
    statusByte = static_cast<char>(stb);
    return transferStatus(1, false);
}

CallStatus UsbtmcDevices::write(const Descriptor& d, std::string_view message) {
    Node* node = target(d);
    if (!node) return errorStatus(ENOL);
    received_ = 0;
    long r = prepare(*node, d);
    if (r == 0) r = pipe_->write(node->fd, message.data(), message.size());
    if (r < 0) return failed(*node, static_cast<int>(-r), false);
    return transferStatus(static_cast<int32_t>(r), false);
}

CallStatus UsbtmcDevices::read(const Descriptor& d, char* buf, int32_t count) {
    Node* node = target(d);
    if (!node) return errorStatus(ENOL);
    if (count == 0) return transferStatus(0, false);
    if (cancelled_.load()) return errorStatus(EABO);
    long r = prepare(*node, d);
    if (r == 0) {
        readingFd_.store(node->fd);
        // A cancel between the check above and here finds the fd now.
        r = cancelled_.load() ? -ECANCELED : pipe_->read(node->fd, buf, static_cast<std::size_t>(count));
        readingFd_.store(-1);
    }
    // What was on its way is dropped by the device clear that follows a cancel.
    if (r == -ECANCELED) return errorStatus(EABO);
    if (r < 0) return failed(*node, static_cast<int>(-r), true);
    received_ += static_cast<std::size_t>(r);
    // A short read ended at the message's end; a full one may have too, which only the transfer
    // attributes tell. A kernel without that ioctl leaves it to the next read.
    bool end = r < count;
    if (!end) {
        bool eom = false;
        end = pipe_->lastReadEnded(node->fd, eom) == 0 && eom;
    }
    if (end) received_ = 0;
    return transferStatus(static_cast<int32_t>(r), end);
}

} // namespace vellumix::gpib::usbtmc

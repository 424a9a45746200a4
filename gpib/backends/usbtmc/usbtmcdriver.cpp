#include "gpib/backends/usbtmc/usbtmcdriver.h"

#include "gpib/status.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vellumix::gpib::usbtmc {

namespace {

constexpr int kMaxAddress = 30;

} // namespace

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

UsbtmcDriver::UsbtmcDriver(std::unique_ptr<UsbtmcPort> port, std::string onlyDevice)
    : port_(std::move(port)), onlyDevice_(std::move(onlyDevice)) {}

UsbtmcDriver::~UsbtmcDriver() {
    for (const Node& n : nodes_)
        if (n.fd >= 0) port_->close(n.fd);
}

int UsbtmcDriver::add(const std::string& path) {
    const int fd = port_->open(path);
    if (fd < 0) return fd;
    // usbtmcN answers at N+1 when that is free, so the address stays the same from run to run
    // as long as the scope keeps its node; otherwise the lowest free one. Never reused in a run.
    auto taken = [this](int a) {
        return std::any_of(nodes_.begin(), nodes_.end(), [a](const Node& n) { return n.address == a; });
    };
    const int n = deviceNumber(path);
    int address = n >= 0 && n < kMaxAddress && !taken(n + 1) ? n + 1 : 0;
    for (int a = 1; address == 0 && a <= kMaxAddress; ++a)
        if (!taken(a)) address = a;
    if (address == 0) {
        port_->close(fd);
        return -ENOSPC;
    }
    nodes_.push_back(Node{path, fd, address, DefaultTimeoutMs});
    return 0;
}

std::string UsbtmcDriver::openDevices() {
    if (!onlyDevice_.empty()) {
        if (nodeAtPath(onlyDevice_)) return {};
        const int r = add(onlyDevice_);
        return r < 0 ? deviceOpenFailure(onlyDevice_, -r, usbtmcOpenHints()) : std::string();
    }
    const std::vector<std::string> paths = port_->listDevices();
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

const UsbtmcDriver::Node* UsbtmcDriver::nodeAtPath(const std::string& path) const {
    for (const Node& n : nodes_)
        if (n.path == path) return &n;
    return nullptr;
}

void UsbtmcDriver::refresh() {
    // A scope that was unplugged and is back under its old name keeps its address.
    for (Node& n : nodes_) {
        if (n.fd >= 0) continue;
        n.fd = std::max(port_->open(n.path), -1);
        n.timeoutMs = DefaultTimeoutMs;
    }
    if (!onlyDevice_.empty()) return;
    for (const std::string& path : port_->listDevices())
        if (!nodeAtPath(path)) add(path); // one that will not open is simply not on the bus
}

UsbtmcDriver::Node* UsbtmcDriver::nodeAt(int address) {
    for (Node& n : nodes_)
        if (n.address == address && address != 0) return &n;
    return nullptr;
}

std::string UsbtmcDriver::deviceAt(int address) const {
    for (const Node& n : nodes_)
        if (n.address == address) return n.path;
    return {};
}

int UsbtmcDriver::applyTimeout(Node& node, const Descriptor& d) {
    const uint32_t ms = fileTimeoutMs(d.tmo);
    if (node.timeoutMs == ms) return 0;
    const int r = port_->setTimeout(node.fd, ms);
    if (r == 0) node.timeoutMs = ms;
    return r;
}

int32_t UsbtmcDriver::done(CallStatus status) {
    lastCount_ = status.cnt;
    return publish(status.sta, status.err, status.cnt);
}

std::string UsbtmcDriver::timeoutText(const Node& node) const {
    const uint32_t ms = node.timeoutMs;
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

void UsbtmcDriver::SendIFC(int32_t board) {
    // USB has no interface clear; the board index is still checked as on a GPIB driver.
    done(board == 0 ? transferStatus(0, false) : errorStatus(ENEB));
}

void UsbtmcDriver::FindLstn(int32_t board, const uint16_t* addrList, uint16_t* results, int32_t limit) {
    const std::optional<int> length = findLstnArguments(board, addrList, results, limit);
    if (!length) return;
    const int n = *length;
    refresh();
    if (std::none_of(nodes_.begin(), nodes_.end(), [](const Node& n) { return n.fd >= 0; }))
        return static_cast<void>(done(errorStatus(EBUS)));
    // Address 0 is this computer, as a GPIB board answers for itself; then each device.
    reportListeners(addrList, n, results, limit, [this](int pad) {
        const Node* node = nodeAt(pad);
        return pad == 0 || (node && node->fd >= 0);
    });
}

int32_t UsbtmcDriver::ibtmo(int32_t ud, int32_t code) {
    return done(
        descriptors_.setTimeout(ud, code, [this](const Descriptor& d, int code) -> std::optional<CallStatus> {
            Descriptor changed = d;
            changed.tmo = code;
            // A failure here is reported on its own; a success leaves the detail of a failed read before
            // it for the read's report, which comes after the timeout is restored.
            if (Node* node = nodeAt(d.pad); node && node->fd >= 0)
                if (const int r = applyTimeout(*node, changed); r < 0) {
                    detail_ =
                        "The timeout of " + node->path + " could not be set: " + std::strerror(-r) + ".";
                    return errnoStatus(-r);
                }
            return std::nullopt;
        }));
}

int32_t UsbtmcDriver::failed(Node& node, int e, bool reading) {
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
        port_->close(node.fd);
        node.fd = -1;
    }
    return done(errnoStatus(e));
}

int UsbtmcDriver::prepare(Node& node, const Descriptor& d) {
    if (node.fd < 0) return -ENODEV;
    return applyTimeout(node, d);
}

UsbtmcDriver::Target UsbtmcDriver::target(int32_t ud, bool argumentsValid) {
    Descriptor* d = descriptors_.find(ud);
    if (!d) return {nullptr, nullptr, done(errorStatus(EDVR))};
    if (!argumentsValid) return {nullptr, nullptr, done(errorStatus(EARG))};
    Node* node = nodeAt(d->pad);
    if (!node) return {nullptr, nullptr, done(errorStatus(ENOL))};
    detail_.clear();
    return {d, node, 0};
}

void UsbtmcDriver::cancel() {
    cancelled_.store(true);
    if (const int fd = readingFd_.load(); fd >= 0) port_->cancelIo(fd);
}

int32_t UsbtmcDriver::ibclr(int32_t ud) {
    const auto [d, node, refused] = target(ud, true);
    if (!node) return refused;
    received_ = 0;
    if (int r = prepare(*node, *d); r < 0 || (r = port_->clear(node->fd)) < 0)
        return failed(*node, -r, false);
    return done(transferStatus(0, false));
}

int32_t UsbtmcDriver::ibrsp(int32_t ud, char* spr) {
    const auto [d, node, refused] = target(ud, spr != nullptr);
    if (!node) return refused;
    unsigned char stb = 0;
    if (int r = prepare(*node, *d); r < 0 || (r = port_->readStatusByte(node->fd, stb)) < 0)
        return failed(*node, -r, false);
    *spr = static_cast<char>(stb);
    return done(transferStatus(1, false));
}

int32_t UsbtmcDriver::ibwrt(int32_t ud, const char* buf, int32_t count) {
    const auto [d, node, refused] = target(ud, count >= 0 && (count == 0 || buf));
    if (!node) return refused;
    received_ = 0;
    long r = prepare(*node, *d);
    if (r == 0) r = port_->write(node->fd, buf, static_cast<std::size_t>(count));
    if (r < 0) return failed(*node, static_cast<int>(-r), false);
    return done(transferStatus(static_cast<int32_t>(r), false));
}

int32_t UsbtmcDriver::ibrd(int32_t ud, char* buf, int32_t count) {
    const auto [d, node, refused] = target(ud, count >= 0 && (count == 0 || buf));
    if (!node) return refused;
    if (count == 0) return done(transferStatus(0, false));
    if (cancelled_.load()) return done(errorStatus(EABO));
    long r = prepare(*node, *d);
    if (r == 0) {
        readingFd_.store(node->fd);
        // A cancel between the check above and here finds the fd now.
        r = cancelled_.load() ? -ECANCELED : port_->read(node->fd, buf, static_cast<std::size_t>(count));
        readingFd_.store(-1);
    }
    // What was on its way is dropped by the device clear that follows a cancel.
    if (r == -ECANCELED) return done(errorStatus(EABO));
    if (r < 0) return failed(*node, static_cast<int>(-r), true);
    received_ += static_cast<std::size_t>(r);
    // A short read ended at the message's end; a full one may have too, which only the transfer
    // attributes tell. A kernel without that ioctl leaves it to the next read.
    bool end = r < count;
    if (!end) {
        bool eom = false;
        end = port_->lastReadEnded(node->fd, eom) == 0 && eom;
    }
    if (end) received_ = 0;
    return done(transferStatus(static_cast<int32_t>(r), end));
}

} // namespace vellumix::gpib::usbtmc

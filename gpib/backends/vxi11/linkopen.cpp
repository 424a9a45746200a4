// Opening a VXI-11 instrument: the portmapper, the core and abort channels, device links, and what
// the user is told when any of it fails.
#include "gpib/backends/vxi11/vxi11port.h"

#include "gpib/status.h"
#include "platform/text.h"

#include <chrono>

namespace vellumix::gpib::vxi11 {

namespace {

using std::chrono::seconds;

constexpr Clock::duration PortmapperTimeout = seconds(4);
constexpr Clock::duration ConnectTimeout = seconds(5);
constexpr Clock::duration LinkTimeout = seconds(5);
constexpr Clock::duration DestroyTimeout = seconds(1);
constexpr int32_t ClientId = 0x56584931;
constexpr uint32_t UnknownPieceSize = 1024;
constexpr uint32_t LargestPieceSize = 16u << 20;

const char* const FindAddress =
    "On a TDS 3000B or C the address is under Utility, System I/O, Ethernet Network Settings (the "
    "TDS3EM module on the first TDS 3000s); a Windows-based TDS shows it in Windows' network settings; a "
    "gateway shows it on its display or web page (docs/lan.md).";

std::string networkReason(const NetError& error) {
    switch (error.kind) {
    case NetError::Kind::Refused:
        return "the connection was refused";
    case NetError::Kind::Timeout:
        return "nothing answered in time";
    case NetError::Kind::Unreachable:
        return "the host cannot be reached from this computer (" + error.text + ")";
    default:
        return error.text.empty() ? std::string("the network failed") : error.text;
    }
}

} // namespace

bool isGatewayInterface(const std::string& device) {
    for (const char* name : {"gpib", "gpib0", "hpib", "hpib0"})
        if (equalsIgnoringCase(device, name)) return true;
    return false;
}

bool isGatewayAddress(const std::string& device) {
    const std::size_t comma = device.find(',');
    return comma != std::string::npos && isGatewayInterface(device.substr(0, comma));
}

int linkAddress(const std::string& device) {
    const std::size_t comma = device.find(',');
    if (comma == std::string::npos || comma + 1 >= device.size()) return 1;
    int n = 0;
    for (std::size_t i = comma + 1; i < device.size() && device[i] != ','; ++i) {
        if (device[i] < '0' || device[i] > '9' || n > MaxPrimaryAddress) return 1;
        n = n * 10 + (device[i] - '0');
    }
    return n >= 1 && n <= MaxPrimaryAddress ? n : 1;
}

std::string hostText(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

uint32_t writePieceSize(uint32_t maxRecvSize) {
    if (maxRecvSize == 0 || maxRecvSize > LargestPieceSize) return UnknownPieceSize;
    return maxRecvSize;
}

CallStatus deviceErrorStatus(uint32_t error, int32_t moved) {
    switch (error) {
    case IoTimeout:
        return {ErrBit | TIMO, EABO, moved};
    case Aborted:
        return {ErrBit, EABO, moved};
    case DeviceNotAccessible:
    case InvalidAddress:
        return {ErrBit, ENOL, moved};
    case SyntaxError:
    case ParameterError:
        return {ErrBit, EARG, moved};
    case OperationNotSupported:
        return {ErrBit, ECAP, moved};
    case IoError:
        return {ErrBit, EBUS, moved};
    default: // locked, invalid link, out of resources, and codes no device should send
        return {ErrBit, EDVR, moved};
    }
}

std::string deviceErrorText(uint32_t error, bool behindGateway) {
    switch (error) {
    case SyntaxError:
        return "it did not understand the request (error 1).";
    case DeviceNotAccessible:
        return "it cannot be reached behind its host (error 3); check the address and that it is on.";
    case InvalidLinkId:
        return "it no longer knows the link (error 4): it was restarted. Start again.";
    case ParameterError:
        return "it refused a value of the request (error 5).";
    case OperationNotSupported:
        return "it does not support this operation (error 8).";
    case OutOfResources:
        return "it has no room for another link (error 9): close the other programs using it.";
    case DeviceLocked:
        return "another client holds its lock (error 11). Close the other program that uses it, or "
               "wait until it is done.";
    case IoTimeout:
        return "the transfer timed out (error 15).";
    case IoError:
        // A gateway's error is its GPIB bus; a scope on its own Ethernet has no cable to check.
        return behindGateway ? "an I/O error on the gateway's GPIB bus (error 17); check the GPIB cable "
                               "and the instrument's GPIB address."
                             : "it reported an I/O error (error 17). Start again; if it persists, switch "
                               "the instrument off and on.";
    case Aborted:
        return "the transfer was aborted (error 23).";
    default:
        return "it reported error " + std::to_string(error) + ".";
    }
}

Vxi11Devices::Vxi11Devices(Network& network, Target target) : network_(network), target_(std::move(target)) {
    gateway_ = isGatewayInterface(target_.device);
}

Vxi11Devices::~Vxi11Devices() {
    if (!core_) return;
    for (const Link& link : links_) {
        if (link.lid < 0) continue;
        XdrWriter w;
        w.i32(link.lid);
        std::string results;
        if (core_->call(DestroyLink, w.bytes(), network_.clock().now() + DestroyTimeout, results) !=
            RpcConnection::Outcome::Ok)
            break; // a host that does not answer now will not answer the next one either
    }
}

std::string Vxi11Devices::where(const Link& link) const {
    return "the device " + link.name + " at " + hostText(target_.host);
}

std::string Vxi11Devices::description() const {
    const std::string host = hostText(target_.host) + ":" + std::to_string(corePort_);
    if (gateway_) return "VXI-11 gateway " + host + ", " + target_.device;
    return "VXI-11 " + host + ", " + target_.device + " at address " +
           std::to_string(linkAddress(target_.device));
}

std::string Vxi11Devices::open() {
    Clock& clock = network_.clock();
    const std::string host = hostText(target_.host);
    const std::string device = "\"" + target_.device + "\"";
    const auto unresolved = [&](const NetError& e) {
        return "Vellumix cannot find the host " + host + " (for the device " + device +
               "): the name does not resolve (" + e.text +
               ").\n\nCheck its spelling, or use the instrument's IP "
               "address. " +
               FindAddress;
    };
    corePort_ = target_.port;
    if (corePort_ == 0) {
        const PortLookup lookup = lookUpPort(network_, target_.host, target_.portmapperPort, CoreProgram,
                                             Vxi11Version, PortmapperTimeout);
        if (lookup.error.kind == NetError::Kind::Unresolved && !lookup.answered)
            return unresolved(lookup.error);
        if (!lookup.answered)
            return "No portmapper answers at " + host + " (port " + std::to_string(target_.portmapperPort) +
                   ", UDP and TCP): " + networkReason(lookup.error) +
                   ", so Vellumix cannot find the device " + device +
                   " there.\n\nCheck that the instrument is on and on the network, that its LAN "
                   "(VXI-11) server is enabled, and that a firewall lets port 111 and the instrument's core "
                   "port through. " +
                   FindAddress;
        if (lookup.port == 0)
            return host + " answers, but no VXI-11 server is registered with its portmapper, so the device " +
                   device +
                   " cannot be reached there.\n\nEnable the instrument's LAN server (on a Windows-based "
                   "TDS: the \"LAN Server\" or VXI-11 server in its utilities).";
        corePort_ = lookup.port;
    }
    NetError error;
    auto stream = network_.connect(target_.host, corePort_, clock.now() + ConnectTimeout, error);
    if (!stream && error.kind == NetError::Kind::Unresolved) return unresolved(error);
    if (!stream) {
        // Only a refusal shows the host is there; silence and an unreachable network do not.
        const std::string what = error.kind == NetError::Kind::Refused
                                     ? " refuses the VXI-11 connection on port "
                                     : " does not answer the VXI-11 connection on port ";
        return host + what + std::to_string(corePort_) + " (" + networkReason(error) +
               "), so Vellumix cannot reach the device " + device +
               ".\n\nCheck the address and port, that the instrument is on and its LAN server running, and "
               "that no firewall blocks the port. " +
               FindAddress;
    }
    core_ = std::make_unique<RpcConnection>(std::move(stream), clock, CoreProgram, Vxi11Version);
    if (gateway_) return {};

    Link& link = links_.emplace_back();
    link.address = linkAddress(target_.device);
    link.name = target_.device;
    const int64_t r = createLink(link, clock.now() + LinkTimeout);
    if (r == NoError) return {};
    if (r < 0)
        return host + " accepted the connection but did not answer the request for the device " + device +
               ": " + detail_;
    if (r == DeviceNotAccessible || r == InvalidAddress || r == ParameterError)
        return host + " answers, but does not know the device " + device + " (error " + std::to_string(r) +
               ").\n\nA TDS scope is \"inst0\"; a gateway names its GPIB instruments \"gpib0,N\" with N the "
               "instrument's GPIB address (some use \"hpib,N\"). Use vxi11:" +
               host + (target_.port ? ":" + std::to_string(target_.port) : std::string()) +
               "/NAME for another name.";
    return host + " refused a link to the device " + device + ": " +
           deviceErrorText(static_cast<uint32_t>(r), isGatewayAddress(target_.device));
}

int64_t Vxi11Devices::createLink(Link& link, Clock::duration deadline) {
    XdrWriter w;
    w.i32(ClientId).u32(0).u32(0).opaque(link.name); // no lock wanted, no lock timeout
    std::string results;
    const RpcConnection::Outcome outcome = core_->call(CreateLink, w.bytes(), deadline, results);
    if (outcome != RpcConnection::Outcome::Ok) {
        rpcFailure(outcome, link, 0);
        return -1;
    }
    XdrReader r(results);
    const uint32_t error = r.u32();
    const int32_t lid = r.i32();
    const uint32_t abortPort = r.u32();
    const uint32_t maxRecvSize = r.u32();
    if (!r.ok()) {
        rpcFailure(RpcConnection::Outcome::Malformed, link, 0);
        return -1;
    }
    link.lastError = error;
    if (error != NoError) return error;
    link.lid = lid;
    link.maxRecvSize = maxRecvSize;
    if (!abort_ && abortPort > 0 && abortPort <= 65535) openAbortChannel(static_cast<int>(abortPort));
    return NoError;
}

void Vxi11Devices::openAbortChannel(int abortPort) {
    // Without it a cancel still ends the wait here; the device then finishes the transfer on its own.
    NetError error;
    auto stream = network_.connect(target_.host, abortPort, network_.clock().now() + ConnectTimeout, error);
    if (stream)
        abort_ = std::make_unique<RpcConnection>(std::move(stream), network_.clock(), AbortProgram, 1);
}

Vxi11Devices::Link* Vxi11Devices::linkAt(int pad, bool create) {
    for (Link& link : links_)
        if (link.address == pad && link.lid >= 0) return &link;
    if (!gateway_ || !create || !core_ || pad < 1 || pad > MaxPrimaryAddress) return nullptr;
    Link& link = links_.emplace_back();
    link.address = pad;
    link.name = target_.device + "," + std::to_string(pad);
    if (createLink(link, network_.clock().now() + LinkTimeout) != NoError) {
        links_.pop_back(); // asked again next time: the instrument may have been switched on since
        return nullptr;
    }
    return &link;
}

} // namespace vellumix::gpib::vxi11

#pragma once
// The virtual instrument as the VXI-11 client's network, in the same process and on a virtual
// clock: a call is served when the client waits for its reply, and the time the instrument takes
// passes on the clock, so a test waits for nothing yet every timeout is honoured.
#include "gpib/backends/vxi11/net.h"
#include "gpib/backends/vxi11/rpc.h"
#include "tools/vxi11-sim/server.h"

#include <functional>
#include <memory>

namespace vellumix::vxi11sim {

struct LoopbackPorts {
    int portmapper = 111;
    int core = 40001;
    int abort = 40002;
};

class LoopbackNetwork final : public gpib::vxi11::Network {
public:
    LoopbackNetwork(Server& server, gpib::VirtualClock& clock, LoopbackPorts ports = {})
        : server_(server), clock_(clock), ports_(ports) {
        server_.setPorts(ports.core, ports.abort);
    }

    gpib::Clock& clock() override { return clock_; }

    std::unique_ptr<gpib::vxi11::Stream> connect(const std::string& host, int port,
                                                 gpib::Clock::duration deadline,
                                                 gpib::vxi11::NetError& error) override {
        using Kind = gpib::vxi11::NetError::Kind;
        ++connects;
        if (!known(host, error)) return nullptr;
        Server::Channel channel = Server::Channel::Core;
        if (port == ports_.portmapper && server_.options().portmapperTcp) {
            channel = Server::Channel::Portmapper;
        } else if (port == ports_.abort) {
            channel = Server::Channel::Abort;
        } else if (port != ports_.core || refuseCore) {
            error.kind = Kind::Refused;
            error.text = "Connection refused";
            return nullptr;
        } else if (coreFailure != Kind::None) {
            error.kind = coreFailure;
            error.text = coreFailure == Kind::Unreachable ? "No route to host" : "Connection timed out";
            if (coreFailure == Kind::Timeout && deadline > clock_.now())
                clock_.advance(deadline - clock_.now());
            return nullptr;
        }
        return std::make_unique<LoopStream>(*this, channel);
    }

    bool datagram(const std::string& host, int port, std::string_view request, std::string& answer,
                  gpib::Clock::duration deadline, gpib::vxi11::NetError& error) override {
        ++*datagrams;
        if (!known(host, error)) return false;
        if (port == ports_.portmapper && server_.options().portmapperUdp) {
            if (auto reply = server_.handle(Server::Channel::Portmapper, request)) {
                answer = *reply;
                return true;
            }
        }
        // No answer: the datagram is lost, the wait runs out.
        if (deadline > clock_.now()) clock_.advance(deadline - clock_.now());
        error.kind = gpib::vxi11::NetError::Kind::Timeout;
        return false;
    }

    // Runs as each wait for a core reply begins: what another thread could do meanwhile (a cancel).
    std::function<void()> onWait;
    bool refuseCore = false;
    // How a connection to the core port fails (Refused, Timeout, Unreachable); None: it does not.
    gpib::vxi11::NetError::Kind coreFailure = gpib::vxi11::NetError::Kind::None;
    // From now on the core channel takes no bytes (a device that stopped reading).
    bool stallSends = false;
    int connects = 0;
    // Shared, so that a test can count after a failed open has destroyed the network with its driver.
    std::shared_ptr<int> datagrams = std::make_shared<int>(0);

private:
    class LoopStream final : public gpib::vxi11::Stream {
    public:
        LoopStream(LoopbackNetwork& net, Server::Channel channel) : net_(net), channel_(channel) {}
        Sent send(std::string_view bytes, gpib::Clock::duration deadline) override {
            // A device that stops taking bytes: the wait for room ends at the deadline or a cancel.
            if (net_.stallSends && channel_ == Server::Channel::Core) {
                if (interrupted_) return Sent::Interrupted;
                if (net_.onWait) net_.onWait();
                if (interrupted_) return Sent::Interrupted;
                if (deadline > net_.clock_.now()) net_.clock_.advance(deadline - net_.clock_.now());
                return Sent::Timeout;
            }
            reader_.feed(bytes);
            // The abort channel is served at once, as its own connection would be beside a running call.
            if (channel_ == Server::Channel::Abort) serve();
            return Sent::Done;
        }
        Received receive(std::string& out, gpib::Clock::duration deadline) override {
            if (channel_ == Server::Channel::Core && net_.onWait) net_.onWait();
            if (interrupted_) return Received::Interrupted;
            serve();
            auto& clock = net_.clock_;
            // As a socket's wait does: in pieces, idle between them (where a cancel may come).
            for (;;) {
                if (!ready_.empty() && readyAt_ <= clock.pieceEnd(deadline)) {
                    if (readyAt_ > clock.now()) clock.advance(readyAt_ - clock.now());
                    out += ready_;
                    ready_.clear();
                    return Received::Data;
                }
                clock.advance(clock.pieceEnd(deadline) - clock.now());
                if (clock.now() >= deadline) return Received::Timeout;
                clock.idle();
                if (interrupted_) return Received::Interrupted;
            }
        }
        void interrupt() override { interrupted_ = true; }
        void clearInterrupt() override { interrupted_ = false; }

    private:
        // Serves every complete call: the server lets its time pass on the clock, and the reply is
        // there from then on (a reply that took longer than the client waits comes late).
        void serve() {
            std::string record;
            while (reader_.next(record) == gpib::vxi11::RecordReader::Result::Record) {
                const auto before = net_.clock_.now();
                if (auto reply = net_.server_.handleRecord(channel_, record)) {
                    ready_ += *reply;
                    readyAt_ = std::max(before, net_.clock_.now());
                }
            }
        }
        LoopbackNetwork& net_;
        Server::Channel channel_;
        gpib::vxi11::RecordReader reader_;
        std::string ready_;
        gpib::Clock::duration readyAt_{};
        bool interrupted_ = false;
    };

    bool known(const std::string& host, gpib::vxi11::NetError& error) const {
        if (host == "127.0.0.1" || host == "localhost" || host == "::1") return true;
        error.kind = gpib::vxi11::NetError::Kind::Unresolved;
        error.text = "Name or service not known";
        return false;
    }

    Server& server_;
    gpib::VirtualClock& clock_;
    LoopbackPorts ports_;
};

} // namespace vellumix::vxi11sim

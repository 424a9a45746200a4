#pragma once
// The network as the VXI-11 client uses it: TCP connections that receive against a deadline on the
// bus's Clock, and one UDP request with its answer. The sockets are in socket.cpp (POSIX) and
// win32socket.cpp (Winsock); the tests put the simulated instrument behind the same interface on a
// virtual clock.
#include "gpib/clock.h"

#include <memory>
#include <string>
#include <string_view>

namespace vellumix::gpib::vxi11 {

class Stream {
public:
    virtual ~Stream() = default;
    enum class Sent { Done, Timeout, Closed, Interrupted };
    // Sends all of bytes by the deadline (on the clock): a device that stops taking them must not
    // hold the program, and interrupt() ends the wait too. Anything but Done may have sent part of
    // them. Safe from a signal handler.
    virtual Sent send(std::string_view bytes, Clock::duration deadline) = 0;
    enum class Received { Data, Timeout, Closed, Interrupted };
    // Appends what arrives to out, returning as soon as something did, at the deadline (on the
    // clock) or at interrupt().
    virtual Received receive(std::string& out, Clock::duration deadline) = 0;
    // Makes the receive in progress, or the next one, return Interrupted. Safe from any thread and
    // from a signal handler.
    virtual void interrupt() = 0;
    virtual void clearInterrupt() = 0;
};

// Why a connection or a request failed.
struct NetError {
    enum class Kind { None, Unresolved, Refused, Timeout, Unreachable, Other };
    Kind kind = Kind::None;
    std::string text; // the system's words, for the rare cases above do not cover
};

class Network {
public:
    virtual ~Network() = default;
    virtual Clock& clock() = 0;
    virtual std::unique_ptr<Stream> connect(const std::string& host, int port, Clock::duration deadline,
                                            NetError& error) = 0;
    // Sends one datagram and waits for one answer until the deadline; false with the reason when
    // none came (Timeout) or the host is not reachable.
    virtual bool datagram(const std::string& host, int port, std::string_view request, std::string& answer,
                          Clock::duration deadline, NetError& error) = 0;
};

// The machine's sockets, with waits measured on `clock`.
std::unique_ptr<Network> createSocketNetwork(Clock& clock);

} // namespace vellumix::gpib::vxi11

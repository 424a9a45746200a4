#pragma once
// ONC RPC calls over one TCP connection, each ending at its own deadline, and the portmapper's
// GETPORT: over UDP first, over TCP when UDP gets no answer (some instruments only answer on
// one of them).
#include "gpib/backends/vxi11/net.h"
#include "gpib/backends/vxi11/rpc.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vellumix::gpib::vxi11 {

class RpcConnection {
public:
    RpcConnection(std::unique_ptr<Stream> stream, Clock& clock, uint32_t program, uint32_t version);

    enum class Outcome {
        Ok,          // results hold the procedure's results
        Timeout,     // no reply by the deadline
        Closed,      // the connection broke
        Interrupted, // interrupt() came first; the reply may still come
        Refused,     // the server answered, but not with results (no such program or procedure)
        Malformed,   // what came was no reply
    };
    // Sends one call by the deadline; its xid, for await(). outcome: Ok, or Timeout, Closed or
    // Interrupted when the call did not go out whole (the connection is then of no further use).
    uint32_t send(uint32_t procedure, std::string_view args, Clock::duration deadline, Outcome& outcome);
    // Waits for the reply to `xid`, dropping replies to earlier calls. Interrupted only when
    // `interruptible`; otherwise an interrupt is taken back and the wait goes on.
    Outcome await(uint32_t xid, Clock::duration deadline, std::string& results, bool interruptible);
    // send() and await() in one; only a send that cannot go out is interruptible.
    Outcome call(uint32_t procedure, std::string_view args, Clock::duration deadline, std::string& results);

    Stream& stream() { return *stream_; }
    // Encodes a call for sending later (from a signal handler: nothing is allocated then).
    std::string prepare(uint32_t procedure, std::string_view args);

private:
    std::unique_ptr<Stream> stream_;
    uint32_t program_;
    uint32_t version_;
    uint32_t xid_;
    RecordReader reader_;
    bool broken_ = false;
};

// The core channel's TCP port as a host's portmapper tells it.
struct PortLookup {
    int port = 0;          // 0 with an error, or when nothing is registered (registered false)
    bool answered = false; // a portmapper answered, over UDP or TCP
    bool overTcp = false;  // the answer came over TCP
    NetError error;        // why no portmapper answered (the UDP or TCP attempt's reason)
};
// Asks the portmapper at host:portmapperPort for (program, version, TCP). UDP twice, then TCP;
// every wait bounded by `timeout` in all.
PortLookup lookUpPort(Network& network, const std::string& host, int portmapperPort, uint32_t program,
                      uint32_t version, Clock::duration timeout);

} // namespace vellumix::gpib::vxi11

#include "gpib/backends/vxi11/client.h"

#include <chrono>

namespace vellumix::gpib::vxi11 {

namespace {
// Transaction ids start from the clock, so a reply left over from an earlier run of the program
// on the same device does not match a new call.
uint32_t firstXid(Clock& clock) {
    return static_cast<uint32_t>(clock.now().count() >> 10) * 2654435761u | 1u;
}
} // namespace

RpcConnection::RpcConnection(std::unique_ptr<Stream> stream, Clock& clock, uint32_t program, uint32_t version)
    : stream_(std::move(stream)), program_(program), version_(version), xid_(firstXid(clock)) {}

std::string RpcConnection::prepare(uint32_t procedure, std::string_view args) {
    return recordMark(encodeCall(++xid_, program_, version_, procedure, args));
}

uint32_t RpcConnection::send(uint32_t procedure, std::string_view args, Clock::duration deadline,
                             Outcome& outcome) {
    const std::string record = prepare(procedure, args);
    const Stream::Sent sent = broken_ ? Stream::Sent::Closed : stream_->send(record, deadline);
    outcome = sent == Stream::Sent::Done          ? Outcome::Ok
              : sent == Stream::Sent::Timeout     ? Outcome::Timeout
              : sent == Stream::Sent::Interrupted ? Outcome::Interrupted
                                                  : Outcome::Closed;
    // Part of a record leaves the server reading the next call as its rest.
    if (outcome != Outcome::Ok) broken_ = true;
    return xid_;
}

RpcConnection::Outcome RpcConnection::await(uint32_t xid, Clock::duration deadline, std::string& results,
                                            bool interruptible) {
    if (broken_) return Outcome::Closed;
    for (;;) {
        std::string record;
        switch (reader_.next(record)) {
        case RecordReader::Result::TooLarge:
            broken_ = true; // nothing after it can be told apart any more
            return Outcome::Malformed;
        case RecordReader::Result::Record: {
            const Reply reply = decodeReply(record);
            if (reply.status == Reply::Status::Malformed) return Outcome::Malformed;
            if (reply.xid != xid) continue; // the late reply to a call given up on
            if (reply.status != Reply::Status::Success) return Outcome::Refused;
            results.assign(reply.results);
            return Outcome::Ok;
        }
        case RecordReader::Result::Incomplete:
            break;
        }
        std::string bytes;
        switch (stream_->receive(bytes, deadline)) {
        case Stream::Received::Data:
            reader_.feed(bytes);
            break;
        case Stream::Received::Timeout:
            return Outcome::Timeout;
        case Stream::Received::Closed:
            broken_ = true;
            return Outcome::Closed;
        case Stream::Received::Interrupted:
            if (interruptible) return Outcome::Interrupted;
            stream_->clearInterrupt();
            break;
        }
    }
}

RpcConnection::Outcome RpcConnection::call(uint32_t procedure, std::string_view args,
                                           Clock::duration deadline, std::string& results) {
    Outcome sent = Outcome::Ok;
    const uint32_t xid = send(procedure, args, deadline, sent);
    if (sent != Outcome::Ok) return sent;
    return await(xid, deadline, results, false);
}

PortLookup lookUpPort(Network& network, const std::string& host, int portmapperPort, uint32_t program,
                      uint32_t version, Clock::duration timeout) {
    Clock& clock = network.clock();
    const auto end = clock.now() + timeout;
    XdrWriter args;
    args.u32(program).u32(version).u32(ProtocolTcp).u32(0);
    PortLookup lookup;
    const auto take = [&](std::string_view message, uint32_t xid) {
        const Reply reply = decodeReply(message);
        if (reply.xid != xid || reply.status != Reply::Status::Success) return false;
        XdrReader r(reply.results);
        const uint32_t port = r.u32();
        if (!r.ok() || port > 65535) return false;
        lookup.answered = true;
        lookup.port = static_cast<int>(port);
        return true;
    };

    // UDP: two tries within the first half of the time, since a datagram may be lost.
    const uint32_t xid = firstXid(clock) ^ 0x5A5A0000u;
    const std::string call =
        encodeCall(xid, PortmapperProgram, PortmapperVersion, PortmapperGetPort, args.bytes());
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string answer;
        const auto deadline = clock.now() + timeout / 4;
        if (network.datagram(host, portmapperPort, call, answer, deadline, lookup.error)) {
            if (take(answer, xid)) return lookup;
            continue;
        }
        // A name that does not resolve will not resolve over TCP either.
        if (lookup.error.kind == NetError::Kind::Unresolved) return lookup;
        if (lookup.error.kind != NetError::Kind::Timeout) break;
    }

    NetError tcpError;
    auto stream = network.connect(host, portmapperPort, end, tcpError);
    if (!stream) {
        // The UDP reason says more when TCP was merely refused after UDP timed out.
        if (lookup.error.kind == NetError::Kind::None || tcpError.kind != NetError::Kind::Refused)
            lookup.error = tcpError;
        return lookup;
    }
    RpcConnection tcp(std::move(stream), clock, PortmapperProgram, PortmapperVersion);
    std::string results;
    const RpcConnection::Outcome outcome = tcp.call(PortmapperGetPort, args.bytes(), end, results);
    if (outcome == RpcConnection::Outcome::Ok) {
        XdrReader r(results);
        const uint32_t port = r.u32();
        if (r.ok() && port <= 65535) {
            lookup.answered = true;
            lookup.overTcp = true;
            lookup.port = static_cast<int>(port);
            return lookup;
        }
    }
    lookup.error.kind =
        outcome == RpcConnection::Outcome::Timeout ? NetError::Kind::Timeout : NetError::Kind::Other;
    lookup.error.text = "the portmapper's answer over TCP was not understood";
    return lookup;
}

} // namespace vellumix::gpib::vxi11

// The transfers of the VXI-11 message port; opening, links and messages are in linkopen.cpp.
#include "gpib/backends/vxi11/vxi11port.h"

#include "gpib/backends/boardless.h"
#include "gpib/status.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace vellumix::gpib::vxi11 {

namespace {

using std::chrono::milliseconds;

// What an RPC may take beyond the I/O timeout it carries: the device's own bookkeeping and the
// network, so that the device's I/O timeout, not ours, ends a slow transfer.
constexpr Clock::duration RpcMargin = std::chrono::seconds(2);
// After a cancel, how long the reply to the aborted read may take before the port stops waiting.
constexpr Clock::duration AbortGrace = std::chrono::seconds(1);
// A gateway's listener search: how long one address may take to answer a serial poll.
constexpr uint32_t SearchPollMs = 500;
// Replies that move nothing and end nothing before a read gives up: a device in that state would
// otherwise keep a read going until its timeout without a byte.
constexpr int MaxEmptyReplies = 64;
// What a device_read asks for at least: the link hands a reply out in small pieces, and one call
// per piece would cost a network round trip each. What comes beyond the piece waits for the next.
constexpr uint32_t ReadAhead = 256 * 1024;

std::string durationText(int64_t ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// Milliseconds left until `end`, rounded up, at least 1 so a call still goes out with a deadline.
uint32_t msUntil(Clock& clock, Clock::duration end) {
    const auto left = std::chrono::ceil<milliseconds>(end - clock.now()).count();
    return static_cast<uint32_t>(std::clamp<long long>(left, 1, 0x7FFFFFFF));
}

std::string genericArgs(int32_t lid, uint32_t ioTimeoutMs) {
    XdrWriter w;
    w.i32(lid).u32(0).u32(0).u32(ioTimeoutMs); // flags, lock timeout, I/O timeout
    return w.take();
}

} // namespace

std::size_t Vxi11Devices::takeAhead(Link& link, char* buf, std::size_t n, bool& end) {
    n = std::min(n, link.ahead.size());
    std::memcpy(buf, link.ahead.data(), n);
    link.ahead.erase(0, n);
    end = link.ahead.empty() && link.aheadEnd;
    if (link.ahead.empty()) link.aheadEnd = false;
    return n;
}

int64_t Vxi11Devices::timeoutMs(const Descriptor& d) const {
    return boundedTimeoutMilliseconds(d.tmo);
}

std::optional<CallStatus> Vxi11Devices::call(uint32_t procedure, std::string_view args,
                                             Clock::duration deadline, std::string& results, const Link& link,
                                             int32_t moved) {
    if (!core_) return errorStatus(EDVR);
    const RpcConnection::Outcome outcome = core_->call(procedure, args, deadline, results);
    if (outcome == RpcConnection::Outcome::Ok) return std::nullopt;
    return rpcFailure(outcome, link, moved);
}

CallStatus Vxi11Devices::rpcFailure(RpcConnection::Outcome outcome, const Link& link, int32_t moved) {
    const std::string host = hostText(target_.host);
    switch (outcome) {
    case RpcConnection::Outcome::Timeout:
        detail_ = host + " did not answer in time for " + where(link) + ".";
        return {ErrBit | TIMO, EABO, moved};
    case RpcConnection::Outcome::Interrupted: // only a send that could not go out is cut short
        detail_ = "The transfer to " + link.name + " at " + host + " was cancelled.";
        return {ErrBit, EABO, moved};
    case RpcConnection::Outcome::Closed:
        detail_ = "The connection to " + host + " was lost (" + where(link) +
                  "): the instrument was switched off or restarted, or the network broke. Start again "
                  "once it answers.";
        break;
    case RpcConnection::Outcome::Refused:
        detail_ = host + " does not offer this VXI-11 call for " + where(link) + ".";
        break;
    default:
        detail_ = host + " sent an answer that is no VXI-11 reply (" + where(link) + ").";
        break;
    }
    return {ErrBit, EDVR, moved};
}

CallStatus Vxi11Devices::deviceFailure(uint32_t error, const Link& link, int32_t moved) {
    detail_ = "The device " + link.name + " at " + hostText(target_.host) + ": " +
              deviceErrorText(error, gateway_ || isGatewayAddress(link.name));
    return deviceErrorStatus(error, moved);
}

std::optional<int16_t> Vxi11Devices::beginSearch(const std::vector<int>& /*pads*/) {
    if (!core_) return EBUS;
    return std::nullopt;
}

bool Vxi11Devices::answers(int pad) {
    if (pad == 0) return true;
    Link* link = linkAt(pad, gateway_);
    if (!link) return false;
    // A device of its own (inst0) is there once its link is; a gateway gives a link to any address.
    if (!gateway_ && !isGatewayAddress(link->name)) return true;
    // A listener answers a serial poll; an empty address gives an I/O error or a timeout.
    std::string results;
    const auto deadline = network_.clock().now() + milliseconds(SearchPollMs) + RpcMargin;
    if (call(DeviceReadStb, genericArgs(link->lid, SearchPollMs), deadline, results, *link)) return false;
    XdrReader r(results);
    const uint32_t error = r.u32();
    if (!r.ok()) return false;
    if (gateway_) return error == NoError;
    // The one address the user named: only "nobody there" leaves it out; another error (a lock)
    // is the instrument's, and the identification shows it.
    return error != IoError && error != IoTimeout;
}

CallStatus Vxi11Devices::clear(const Descriptor& d) {
    if (cancelled_.load()) return errorStatus(EABO);
    Link* link = linkAt(d.pad);
    if (!link) return errorStatus(ENOL);
    detail_.clear();
    link->ahead.clear(); // what the device had not sent yet goes, and so does what it had
    link->aheadEnd = false;
    const auto ms = static_cast<uint32_t>(timeoutMs(d));
    std::string results;
    if (auto failed = call(DeviceClear, genericArgs(link->lid, ms),
                           network_.clock().now() + milliseconds(ms) + RpcMargin, results, *link))
        return *failed;
    XdrReader r(results);
    const uint32_t error = r.u32();
    if (!r.ok()) return rpcFailure(RpcConnection::Outcome::Malformed, *link, 0);
    if (error != NoError) return deviceFailure(error, *link, 0);
    return transferStatus(0, false);
}

void Vxi11Devices::dropUnsent(Link& link) {
    // An abort ends the transfer but not the message: a scope would send the rest of its hard copy
    // ahead of whatever the next capture asks for. A device clear on the core channel, free again
    // once the aborted read has answered, drops it.
    std::string results;
    const auto ms = static_cast<uint32_t>(std::chrono::duration_cast<milliseconds>(AbortGrace).count());
    core_->call(DeviceClear, genericArgs(link.lid, ms), network_.clock().now() + AbortGrace + RpcMargin,
                results);
}

CallStatus Vxi11Devices::serialPoll(const Descriptor& d, char& statusByte) {
    if (cancelled_.load()) return errorStatus(EABO);
    Link* link = linkAt(d.pad);
    if (!link) return errorStatus(ENOL);
    detail_.clear();
    const auto ms = static_cast<uint32_t>(timeoutMs(d));
    std::string results;
    if (auto failed = call(DeviceReadStb, genericArgs(link->lid, ms),
                           network_.clock().now() + milliseconds(ms) + RpcMargin, results, *link))
        return *failed;
    XdrReader r(results);
    const uint32_t error = r.u32();
    const uint32_t stb = r.u32();
    if (!r.ok()) return rpcFailure(RpcConnection::Outcome::Malformed, *link, 0);
    if (error != NoError) return deviceFailure(error, *link, 0);
    statusByte = static_cast<char>(stb & 0xFF);
    return transferStatus(1, false);
}

CallStatus Vxi11Devices::write(const Descriptor& d, std::string_view message) {
    if (cancelled_.load()) return errorStatus(EABO);
    Link* link = linkAt(d.pad);
    if (!link) return errorStatus(ENOL);
    detail_.clear();
    link->ahead.clear(); // a new message discards the unread rest of a reply, as on the device
    link->aheadEnd = false;
    Clock& clock = network_.clock();
    const auto end = clock.now() + milliseconds(timeoutMs(d));
    const std::size_t piece = writePieceSize(link->maxRecvSize);
    std::size_t sent = 0;
    int stalled = 0;
    // An empty message still goes out once, to carry END.
    do {
        if (cancelled_.load()) return {ErrBit, EABO, static_cast<int32_t>(sent)};
        const std::size_t n = std::min(piece, message.size() - sent);
        const bool last = sent + n == message.size();
        const uint32_t ms = msUntil(clock, end);
        XdrWriter w;
        w.i32(link->lid).u32(ms).u32(0).u32(last && d.eot ? FlagEnd : 0).opaque(message.substr(sent, n));
        std::string results;
        const auto moved = static_cast<int32_t>(sent);
        if (auto failed = call(DeviceWrite, w.bytes(), clock.now() + milliseconds(ms) + RpcMargin, results,
                               *link, moved))
            return *failed;
        XdrReader r(results);
        const uint32_t error = r.u32();
        const uint32_t size = r.u32();
        if (!r.ok()) return rpcFailure(RpcConnection::Outcome::Malformed, *link, moved);
        if (error != NoError) return deviceFailure(error, *link, moved);
        // A device may take part of a piece; the rest goes again.
        sent += std::min<std::size_t>(size, n);
        if (size == 0 && n > 0 && ++stalled > MaxEmptyReplies) {
            detail_ = "The device " + link->name + " at " + hostText(target_.host) + " takes no more bytes.";
            return {ErrBit | TIMO, EABO, static_cast<int32_t>(sent)};
        }
        if (n == 0) break;
    } while (sent < message.size());
    return transferStatus(static_cast<int32_t>(sent), false);
}

CallStatus Vxi11Devices::read(const Descriptor& d, char* buf, int32_t count) {
    if (cancelled_.load()) return errorStatus(EABO);
    Link* link = linkAt(d.pad);
    if (!link) return errorStatus(ENOL);
    detail_.clear();
    if (count == 0) return transferStatus(0, false);
    const auto want = static_cast<std::size_t>(count);
    bool ended = false;
    auto got = takeAhead(*link, buf, want, ended);
    if (ended || got == want) return transferStatus(static_cast<int32_t>(got), ended);
    Clock& clock = network_.clock();
    const int64_t limitMs = timeoutMs(d);
    const auto end = clock.now() + milliseconds(limitMs);
    if (abort_) {
        XdrWriter w;
        w.i32(link->lid);
        abortCall_ = abort_->prepare(DeviceAbort, w.bytes());
    }
    int empty = 0;
    bool timedOut = false; // the device's own I/O timeout ended the last call
    for (;;) {
        const auto moved = static_cast<int32_t>(got);
        if (clock.now() >= end || timedOut) {
            detail_ =
                (got == 0
                     ? "The device " + link->name + " at " + hostText(target_.host) + " sent nothing for "
                     : "The device " + link->name + " at " + hostText(target_.host) +
                           " stopped sending after " + std::to_string(got) + " bytes: nothing came for ") +
                durationText(limitMs) + ".";
            return {ErrBit | TIMO, EABO, moved};
        }
        // The request is the caller's, at least ReadAhead, whatever the device's maxRecvSize.
        const uint32_t request = static_cast<uint32_t>(std::max<std::size_t>(want - got, ReadAhead));
        const uint32_t ms = msUntil(clock, end);
        XdrWriter w;
        w.i32(link->lid).u32(request).u32(ms).u32(0).u32(0).u32(0);
        RpcConnection::Outcome sent = RpcConnection::Outcome::Ok;
        reading_.store(true);
        const auto deadline = clock.now() + milliseconds(ms) + RpcMargin;
        const uint32_t xid = core_->send(DeviceRead, w.bytes(), deadline, sent);
        if (sent != RpcConnection::Outcome::Ok) {
            reading_.store(false);
            return rpcFailure(sent, *link, moved);
        }
        std::string results;
        RpcConnection::Outcome outcome = cancelled_.load() ? RpcConnection::Outcome::Interrupted
                                                           : core_->await(xid, deadline, results, true);
        reading_.store(false);
        if (outcome == RpcConnection::Outcome::Interrupted) {
            // The device was told to abort; its reply to the read keeps the channel in step.
            core_->stream().clearInterrupt();
            if (core_->await(xid, clock.now() + AbortGrace, results, false) == RpcConnection::Outcome::Ok)
                dropUnsent(*link);
            link->ahead.clear();
            link->aheadEnd = false;
            detail_ = "The transfer from " + link->name + " at " + hostText(target_.host) + " was cancelled.";
            return {ErrBit, EABO, moved};
        }
        if (outcome != RpcConnection::Outcome::Ok) return rpcFailure(outcome, *link, moved);
        XdrReader r(results);
        const uint32_t error = r.u32();
        const uint32_t reason = r.u32();
        const std::string_view data = r.opaque();
        if (!r.ok()) return rpcFailure(RpcConnection::Outcome::Malformed, *link, moved);
        if (data.size() > request) {
            // Taking them would write past the caller's buffer, dropping them would lose bytes.
            detail_ = "The device " + link->name + " at " + hostText(target_.host) + " sent " +
                      std::to_string(data.size()) + " bytes where " + std::to_string(request) +
                      " were asked for; the reply was refused.";
            return {ErrBit, EDVR, moved};
        }
        const std::size_t fits = std::min(data.size(), want - got);
        std::memcpy(buf + got, data.data(), fits);
        got += fits;
        link->ahead.assign(data.substr(fits));
        link->aheadEnd = !link->ahead.empty() && (reason & ReasonEnd);
        if (error != NoError && error != IoTimeout) {
            link->ahead.clear();
            return deviceFailure(error, *link, static_cast<int32_t>(got));
        }
        // Bytes left over mean the caller's count is full; the rest (and a timeout) comes next.
        if (!link->ahead.empty()) return transferStatus(static_cast<int32_t>(got), false);
        // The device's I/O timeout is ours: it is told of what is left, and says it as we would.
        if (error == IoTimeout) {
            timedOut = true;
            continue;
        }
        if (reason & ReasonEnd) return transferStatus(static_cast<int32_t>(got), true);
        if (got == want) return transferStatus(static_cast<int32_t>(got), false);
        if (data.empty() && ++empty > MaxEmptyReplies) {
            detail_ = "The device " + link->name + " at " + hostText(target_.host) +
                      " keeps answering reads with nothing.";
            return {ErrBit | TIMO, EABO, static_cast<int32_t>(got)};
        }
    }
}

void Vxi11Devices::cancel() {
    cancelled_.store(true);
    // The abort call is a few bytes on an idle connection: it goes out at once or not at all.
    if (reading_.load() && abort_) abort_->stream().send(abortCall_, network_.clock().now() + AbortGrace);
    if (core_) core_->stream().interrupt();
}

void Vxi11Devices::clearCancel() {
    cancelled_.store(false);
    if (core_) core_->stream().clearInterrupt();
}

} // namespace vellumix::gpib::vxi11

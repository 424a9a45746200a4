#include "tools/vxi11-sim/server.h"

#include "gpib/backends/simscope/pacing.h"
#include "gpib/backends/vxi11/rpc.h"
#include "gpib/status.h"
#include "platform/text.h"

#include <algorithm>
#include <chrono>

namespace vellumix::vxi11sim {

using namespace gpib::vxi11;
using gpib::Clock;

namespace {

std::string errorOnly(uint32_t error) {
    XdrWriter w;
    w.u32(error);
    return w.take();
}

// "gpib0,5" -> 5 for the gateway's interface names; -1 otherwise.
int gatewayAddress(const std::string& name) {
    const std::size_t comma = name.find(',');
    if (comma == std::string::npos) return -1;
    bool known = false;
    for (const char* word : {"gpib0", "gpib", "hpib", "hpib0"})
        known = known || equalsIgnoringCase(name.substr(0, comma), word);
    const std::string n = name.substr(comma + 1);
    if (!known || n.empty() || n.size() > 2 || n.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoi(n);
}

} // namespace

Server::Server(gpib::sim::Scenario scenario, ServerOptions options, Clock& clock)
    : scenario_(std::move(scenario)), options_(options), clock_(clock), latency_(scenario_.latency),
      hardcopyLatency_(scenario_.hardcopyLatency.value_or(scenario_.latency)) {
    if (options_.delay >= 0) latency_ = hardcopyLatency_ = options_.delay;
    std::vector<const gpib::sim::InstrumentSetup*> setups;
    for (const auto& setup : scenario_.instruments)
        setups.push_back(&setup);
    std::stable_sort(setups.begin(), setups.end(), [](auto* a, auto* b) { return a->address < b->address; });
    for (const auto* setup : setups)
        if (!instrument(setup->address))
            instruments_.push_back(std::make_unique<gpib::sim::SimInstrument>(*setup));
}

gpib::sim::SimInstrument* Server::instrument(int address) {
    for (auto& in : instruments_)
        if (in->address() == address) return in.get();
    return nullptr;
}

bool Server::wait(uint32_t ms) {
    const auto end = clock_.now() + std::chrono::milliseconds(ms);
    while (clock_.now() < end) {
        if (takeAbort()) return false;
        clock_.sleepFor(std::min<Clock::duration>(std::chrono::milliseconds(10), end - clock_.now()));
        // In the loopback this time passes inside the client's wait on its socket, which idles.
        clock_.idle();
    }
    return true;
}

std::optional<std::string> Server::handle(Channel channel, std::string_view message) {
    const std::optional<Call> call = decodeCall(message);
    if (!call) return std::nullopt;
    const uint32_t program = channel == Channel::Portmapper ? PortmapperProgram
                             : channel == Channel::Core     ? CoreProgram
                                                            : AbortProgram;
    if (call->program != program) return encodeReply(call->xid, {}, AcceptProgramUnavailable);
    if (channel == Channel::Portmapper) {
        if (call->procedure == 0) return encodeReply(call->xid, {});
        if (call->procedure != PortmapperGetPort)
            return encodeReply(call->xid, {}, AcceptProcedureUnavailable);
        return encodeReply(call->xid, portmapper(call->procedure, call->args));
    }
    if (channel == Channel::Abort) {
        if (call->procedure != DeviceAbort) return encodeReply(call->xid, {}, AcceptProcedureUnavailable);
        abortRequested_.store(true);
        ++aborts_;
        return encodeReply(call->xid, errorOnly(NoError));
    }
    calls_.push_back(call->procedure);
    std::string results = core(call->procedure, call->args);
    if (results.empty()) return encodeReply(call->xid, {}, AcceptProcedureUnavailable);
    return encodeReply(call->xid, results);
}

std::optional<std::string> Server::handleRecord(Channel channel, std::string_view message) {
    std::optional<std::string> reply = handle(channel, message);
    if (!reply) return reply;
    if (channel == Channel::Core) reply->append(options_.padding, '\xEE');
    return recordMark(*reply, options_.fragment ? options_.fragment : 0x7FFFFFFF);
}

std::string Server::portmapper(uint32_t, std::string_view args) {
    XdrReader r(args);
    const uint32_t program = r.u32();
    const uint32_t version = r.u32();
    const uint32_t protocol = r.u32();
    XdrWriter w;
    const bool core = program == CoreProgram && version == Vxi11Version && protocol == ProtocolTcp;
    w.u32(r.ok() && core ? static_cast<uint32_t>(corePort_) : 0);
    return w.take();
}

std::optional<gpib::sim::SimInstrument*> Server::deviceNamed(const std::string& name, uint32_t& error) {
    if (options_.gateway) {
        const int address = gatewayAddress(name);
        if (address < 0 || address > gpib::MaxPrimaryAddress) {
            error = address < 0 ? DeviceNotAccessible : InvalidAddress;
            return std::nullopt;
        }
        return instrument(address); // an empty address still gets a link, as on the gateways
    }
    if (name.size() > 4 && equalsIgnoringCase(name.substr(0, 4), "inst") &&
        name.find_first_not_of("0123456789", 4) == std::string::npos && name.size() <= 6) {
        const auto index = static_cast<std::size_t>(std::stoi(name.substr(4)));
        if (index < instruments_.size()) return instruments_[index].get();
    }
    error = DeviceNotAccessible;
    return std::nullopt;
}

std::string Server::createLink(std::string_view args) {
    XdrReader r(args);
    r.i32(); // client id
    r.u32(); // lock wanted
    r.u32(); // lock timeout
    const std::string name(r.opaque(256));
    XdrWriter w;
    uint32_t error = NoError;
    const auto device = r.ok() ? deviceNamed(name, error) : std::nullopt;
    if (!r.ok()) error = ParameterError;
    if (!device) {
        w.u32(error).i32(0).u32(static_cast<uint32_t>(abortPort_)).u32(options_.maxRecvSize);
        return w.take();
    }
    const int32_t lid = nextLid_++;
    links_[lid].instrument = *device;
    w.u32(NoError).i32(lid).u32(static_cast<uint32_t>(abortPort_)).u32(options_.maxRecvSize);
    return w.take();
}

std::string Server::deviceWrite(std::string_view args) {
    XdrReader r(args);
    const int32_t lid = r.i32();
    const uint32_t io = r.u32();
    const uint32_t lockTimeout = r.u32();
    const uint32_t flags = r.u32();
    const std::string_view data = r.opaque();
    XdrWriter w;
    const auto it = links_.find(lid);
    uint32_t error = !r.ok() ? ParameterError : it == links_.end() ? InvalidLinkId : NoError;
    std::size_t limit = options_.acceptSize;
    if (limit == 0 && options_.maxRecvSize > 0 && options_.maxRecvSize < (16u << 20))
        limit = options_.maxRecvSize;
    if (error == NoError && options_.lockedByOther) {
        if (flags & FlagWaitLock) wait(lockTimeout);
        error = DeviceLocked;
    }
    if (error == NoError && options_.deviceError) error = options_.deviceError;
    if (error == NoError && limit && data.size() > limit) error = ParameterError;
    if (error == NoError && !it->second.instrument) error = IoError; // nobody listens there
    if (error == NoError) {
        Link& link = it->second;
        link.unended.append(data);
        if ((flags & FlagEnd) && link.abortedRest && link.instrument->pending().active()) {
            link.unended.clear(); // still busy with the aborted hard copy: the message is lost
        } else if (flags & FlagEnd) {
            const std::string message = std::move(link.unended);
            link.unended.clear();
            link.sent = 0;
            link.abortedRest = false;
            if (const gpib::sim::Fault* fault = link.instrument->takeWriteFault(message)) {
                error = fault->iberr == 6 ? (wait(io) ? IoTimeout : Aborted) : IoError;
            } else {
                gpib::sim::receiveTimed(*link.instrument, clock_, message, latency_, hardcopyLatency_);
            }
        }
    }
    w.u32(error).u32(error == NoError ? static_cast<uint32_t>(data.size()) : 0);
    return w.take();
}

std::string Server::deviceRead(std::string_view args) {
    XdrReader r(args);
    const int32_t lid = r.i32();
    const uint32_t request = r.u32();
    const uint32_t io = r.u32();
    const uint32_t lockTimeout = r.u32();
    const uint32_t flags = r.u32();
    r.u32(); // termination character: the scopes end their messages with END
    const auto it = links_.find(lid);
    XdrWriter w;
    const auto fail = [&w](uint32_t error, std::string_view data = {}) {
        w.u32(error).u32(0).opaque(data);
        return w.take();
    };
    if (!r.ok()) return fail(ParameterError);
    if (it == links_.end()) return fail(InvalidLinkId);
    if (options_.lockedByOther) {
        if (flags & FlagWaitLock) wait(lockTimeout);
        return fail(DeviceLocked);
    }
    if (options_.deviceError) return fail(options_.deviceError);
    Link& link = it->second;
    gpib::sim::SimInstrument* in = link.instrument;
    if (!in) return fail(IoError);
    // An abort ends the transfer, not the hard copy: what is left of it stays queued.
    const auto aborted = [&] {
        link.abortedRest = link.abortedRest ||
                           (in->pending().active() && in->pending().kind == gpib::sim::ReplyKind::Hardcopy);
        return fail(Aborted);
    };
    if (takeAbort()) return aborted();
    if (in->silent() || !in->pending().active()) return fail(wait(io) ? IoTimeout : Aborted);
    gpib::sim::PendingReply& pending = in->pending();
    ++pending.reads;
    if (const gpib::sim::Fault* fault = in->takeReadFault())
        return fail(fault->kind == gpib::sim::Fault::Kind::ReadTimeout ? (wait(io) ? IoTimeout : Aborted)
                                                                       : IoError);

    std::size_t n = request;
    if (options_.chunk) n = std::min(n, options_.chunk);
    const bool abortable = options_.abortAfter > 0 && pending.kind == gpib::sim::ReplyKind::Hardcopy;
    if (abortable && link.sent >= options_.abortAfter) {
        in->clearOutput();
        return fail(Aborted);
    }
    if (abortable) n = std::min(n, options_.abortAfter - link.sent);
    std::string data(n, '\0');
    const auto timeout = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(io));
    const gpib::sim::PacedRead got =
        gpib::sim::readPaced(*in, clock_, scenario_.rate, timeout, data.data(), n,
                             gpib::sim::LateTransfer::KeepWhatFits, &abortRequested_);
    using Outcome = gpib::sim::PacedRead::Outcome;
    if (got.outcome == Outcome::Cancelled) {
        takeAbort();
        return aborted();
    }
    if (got.outcome == Outcome::NotReady) return wait(io) ? fail(IoTimeout) : aborted();
    data.resize(got.count);
    link.sent = got.end ? 0 : link.sent + got.count;
    if (got.outcome == Outcome::Late) return fail(IoTimeout, data);
    if (options_.overlong) data.resize(std::max<std::size_t>(data.size(), request + options_.overlong), 'X');
    const uint32_t reason = got.end ? ReasonEnd : got.count >= request ? ReasonRequestCount : 0;
    w.u32(NoError).u32(reason).opaque(data);
    return w.take();
}

std::string Server::core(uint32_t procedure, std::string_view args) {
    XdrReader r(args);
    switch (procedure) {
    case CreateLink:
        return createLink(args);
    case DeviceWrite:
        return deviceWrite(args);
    case DeviceRead:
        return deviceRead(args);
    case DestroyLink:
        return errorOnly(links_.erase(r.i32()) ? NoError : InvalidLinkId);
    case DeviceLock:
    case DeviceUnlock:
        return errorOnly(links_.count(r.i32()) ? (procedure == DeviceLock ? NoError : NoLockHeld)
                                               : InvalidLinkId);
    case DeviceReadStb:
    case DeviceClear: {
        const int32_t lid = r.i32();
        r.u32(); // flags
        r.u32(); // lock timeout
        const uint32_t io = r.u32();
        const auto it = links_.find(lid);
        uint32_t error = !r.ok() ? ParameterError : it == links_.end() ? InvalidLinkId : NoError;
        if (error == NoError && options_.lockedByOther) error = DeviceLocked;
        gpib::sim::SimInstrument* in = error == NoError ? it->second.instrument : nullptr;
        if (error == NoError && !in) error = IoError;
        XdrWriter w;
        if (procedure == DeviceClear) {
            if (in) {
                in->clearOutput();
                it->second.unended.clear();
                it->second.sent = 0;
                it->second.abortedRest = false;
                abortRequested_.store(false);
            }
            return w.u32(error).take();
        }
        if (in && in->silent()) error = wait(io) ? IoTimeout : Aborted;
        w.u32(error).u32(error == NoError && in->pending().active() ? 0x10 : 0); // MAV while a reply waits
        return w.take();
    }
    default:
        return {};
    }
}

} // namespace vellumix::vxi11sim

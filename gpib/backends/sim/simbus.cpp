#include "gpib/backends/sim/simbus.h"

#include "gpib/backends/simscope/pacing.h"

#include <algorithm>
#include <chrono>

namespace vellumix::gpib::sim {

SimScopes::SimScopes(Scenario scenario, Clock& clock) : scenario_(std::move(scenario)), clock_(clock) {
    for (const InstrumentSetup& setup : scenario_.instruments) {
        if (setup.address < 1 || setup.address > MaxPrimaryAddress || byAddress_[setup.address]) continue;
        instruments_.push_back(std::make_unique<SimInstrument>(setup));
        byAddress_[setup.address] = instruments_.back().get();
    }
}

SimInstrument* SimScopes::instrumentAt(int address) {
    return validPrimaryAddress(address) ? byAddress_[address] : nullptr;
}

Clock::duration SimScopes::timeoutOf(const Descriptor& d) const {
    return std::chrono::microseconds(boundedTimeoutMicroseconds(d.tmo));
}

bool SimScopes::wait(Clock::duration d) {
    // Short steps, so that a cancel from another thread (or from the window's events, run in
    // idle()) ends a slow simulated transfer at once.
    const Clock::duration step = std::chrono::milliseconds(10);
    for (const auto end = clock_.now() + d;;) {
        if (cancelled_.load()) return false;
        const auto now = clock_.now();
        if (now >= end) return true;
        clock_.sleepFor(std::min(step, end - now));
        clock_.idle();
    }
}

CallStatus SimScopes::timedOut(const Descriptor& d, int32_t count) {
    // TNONE waits the longest code's time, as on every bus without a board (boardless.h).
    if (!wait(timeoutOf(d))) return {ErrBit, EABO, 0}; // cancelled: no timeout, nothing moved
    return {ErrBit | TIMO, EABO, count};
}

std::optional<int16_t> SimScopes::beginSearch(const std::vector<int>& /*pads*/) {
    if (scenario_.findLstnError) return static_cast<int16_t>(*scenario_.findLstnError);
    // No device accepts the probing commands.
    if (instruments_.empty() && !scenario_.boardAnswersAlone) return EBUS;
    return std::nullopt;
}

bool SimScopes::answers(int pad) {
    return pad == 0 || instrumentAt(pad) != nullptr;
}

CallStatus SimScopes::clear(const Descriptor& d) {
    SimInstrument* in = instrumentAt(d.pad);
    if (!in || d.pad == 0) return errorStatus(ENOL);
    in->clearOutput();
    return {CMPL, 0, 0};
}

CallStatus SimScopes::serialPoll(const Descriptor& d, char& statusByte) {
    SimInstrument* in = instrumentAt(d.pad);
    if (!in || in->silent()) return timedOut(d, 0);
    statusByte = in->pending().active() ? 0x10 : 0; // MAV while a reply waits
    return {CMPL, 0, 1};
}

CallStatus SimScopes::write(const Descriptor& d, std::string_view message) {
    SimInstrument* in = instrumentAt(d.pad);
    if (!in || d.pad == 0) return errorStatus(ENOL);
    if (const Fault* f = in->takeWriteFault(message))
        return f->iberr == EABO ? timedOut(d, 0) : errorStatus(static_cast<int16_t>(f->iberr));
    receiveTimed(*in, clock_, message, scenario_.latency,
                 scenario_.hardcopyLatency.value_or(scenario_.latency));
    return {CMPL, 0, static_cast<int32_t>(message.size())};
}

CallStatus SimScopes::read(const Descriptor& d, char* buf, int32_t count) {
    SimInstrument* in = instrumentAt(d.pad);
    if (cancelled_.load()) return errorStatus(EABO);
    if (!in || in->silent() || !in->pending().active()) return timedOut(d, 0);
    if (count == 0) return {CMPL, 0, 0};
    ++in->pending().reads;
    if (const Fault* f = in->takeReadFault())
        return f->kind == Fault::Kind::ReadTimeout ? timedOut(d, 0)
                                                   : errorStatus(static_cast<int16_t>(f->iberr));
    const PacedRead got = readPaced(*in, clock_, scenario_.rate, timeoutOf(d), buf,
                                    static_cast<std::size_t>(count), LateTransfer::KeepWhatFits, &cancelled_);
    // What was on its way is lost with the cancel.
    if (got.outcome == PacedRead::Outcome::Cancelled) return errorStatus(EABO);
    if (got.outcome == PacedRead::Outcome::NotReady) return timedOut(d, 0);
    const auto moved = static_cast<int32_t>(got.count);
    if (got.outcome == PacedRead::Outcome::Late) return {ErrBit | TIMO, EABO, moved};
    return transferStatus(moved, got.end);
}

std::optional<CallStatus> SimScopes::changeTimeout(const Descriptor& current, int) {
    if (SimInstrument* in = instrumentAt(current.pad))
        if (const Fault* f = in->takeTimeoutSetFault()) return errorStatus(static_cast<int16_t>(f->iberr));
    return std::nullopt;
}

SimBus::SimBus(Scenario scenario, Clock& clock) : PortDriver(scopes_), scopes_(std::move(scenario), clock) {
    setRegisterReturnCode(scopes_.scenario().registerReturnCode);
}

int32_t SimBus::RegisterGpibGlobalsForThread(int32_t* sta, int32_t* err, int32_t* cnt, int32_t* cntl) {
    if (!sta || !err || !cnt || !cntl) return 2; // the driver would write through them
    return RegisteringDriver::RegisterGpibGlobalsForThread(sta, err, cnt, cntl);
}

std::unique_ptr<SimBus> createSimBus(Scenario scenario, Clock& clock) {
    return std::make_unique<SimBus>(std::move(scenario), clock);
}

std::unique_ptr<GpibDriver> createSimBus(const std::string& scenarioPath, Clock& clock, std::string& error) {
    Scenario scenario;
    if (scenarioPath.empty()) {
        scenario = Scenario::defaultScenario();
    } else if (!loadScenarioFile(scenarioPath, scenario, error)) {
        return nullptr;
    }
    error.clear();
    return std::make_unique<SimBus>(std::move(scenario), clock);
}

} // namespace vellumix::gpib::sim

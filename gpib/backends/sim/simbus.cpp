#include "gpib/backends/sim/simbus.h"

#include "gpib/backends/transport.h"
#include "gpib/status.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace vellumix::gpib::sim {
namespace {

constexpr int32_t kErr = 0x8000;
constexpr int32_t kTimo = TIMO;
constexpr int32_t kEnd = END;
constexpr int32_t kCmpl = CMPL;

} // namespace

SimBus::SimBus(Scenario scenario, Clock& clock) : scenario_(std::move(scenario)), clock_(clock) {
    setRegisterReturnCode(scenario_.registerReturnCode);
    for (const InstrumentSetup& setup : scenario_.instruments) {
        if (setup.address < 1 || setup.address > 30 || byAddress_[setup.address]) continue;
        instruments_.push_back(std::make_unique<SimInstrument>(setup));
        byAddress_[setup.address] = instruments_.back().get();
    }
}

int32_t SimBus::RegisterGpibGlobalsForThread(int32_t* sta, int32_t* err, int32_t* cnt, int32_t* cntl) {
    if (!sta || !err || !cnt || !cntl) return 2; // the driver would write through them
    return RegisteringDriver::RegisterGpibGlobalsForThread(sta, err, cnt, cntl);
}

SimInstrument* SimBus::instrumentAt(int address) {
    return address >= 0 && address <= 30 ? byAddress_[address] : nullptr;
}

Clock::duration SimBus::timeoutOf(const Descriptor& d) const {
    return std::chrono::microseconds(timeoutMicroseconds(d.tmo));
}

bool SimBus::wait(Clock::duration d) {
    // Short steps, so that a cancel from another thread ends a slow simulated transfer at once.
    const Clock::duration step = std::chrono::milliseconds(10);
    for (const auto end = clock_.now() + d;;) {
        if (cancelled_.load()) return false;
        const auto now = clock_.now();
        if (now >= end) return true;
        clock_.sleepFor(std::min(step, end - now));
    }
}

int32_t SimBus::timedOut(const Descriptor& d, int32_t count) {
    // TNONE would wait for ever; a simulation that hangs helps nobody, so it times out at once.
    if (!wait(timeoutOf(d))) count = 0;
    lastCount_ = count;
    return publish(kErr | (cancelled_.load() ? 0 : kTimo), EABO, count);
}

void SimBus::SendIFC(int32_t board) {
    if (board != 0) {
        publish(kErr, ENEB, 0);
        return;
    }
    publish(kCmpl, 0, 0);
}

void SimBus::FindLstn(int32_t board, const uint16_t* addrList, uint16_t* results, int32_t limit) {
    // The whole list is checked before anything is written.
    const std::optional<int> length = findLstnArguments(board, addrList, results, limit);
    if (!length) return;
    if (scenario_.findLstnError) {
        publish(kErr, *scenario_.findLstnError, 0);
        return;
    }
    const int n = *length;
    if (instruments_.empty() && !scenario_.boardAnswersAlone) {
        publish(kErr, EBUS, 0); // no device accepts the probing commands
        return;
    }
    reportListeners(addrList, n, results, limit,
                    [this](int pad) { return pad == 0 || byAddress_[pad] != nullptr; });
}

int32_t SimBus::ibclr(int32_t ud) {
    Descriptor* d = descriptors_.find(ud);
    if (!d) return publish(kErr, EDVR, 0);
    SimInstrument* in = instrumentAt(d->pad);
    if (!in || d->pad == 0) return publish(kErr, ENOL, 0);
    in->clearOutput();
    return publish(kCmpl, 0, 0);
}

int32_t SimBus::ibrsp(int32_t ud, char* spr) {
    Descriptor* d = descriptors_.find(ud);
    if (!d) return publish(kErr, EDVR, 0);
    if (!spr) return publish(kErr, EARG, 0);
    SimInstrument* in = instrumentAt(d->pad);
    if (!in || in->silent()) return timedOut(*d, 0);
    *spr = in->pending().active() ? 0x10 : 0; // MAV while a reply waits
    return publish(kCmpl, 0, 1);
}

int32_t SimBus::ibwrt(int32_t ud, const char* buf, int32_t count) {
    Descriptor* d = descriptors_.find(ud);
    if (!d) return publish(kErr, EDVR, 0);
    if (count < 0 || (count > 0 && !buf)) return publish(kErr, EARG, 0);
    SimInstrument* in = instrumentAt(d->pad);
    if (!in || d->pad == 0) {
        lastCount_ = 0;
        return publish(kErr, ENOL, 0);
    }
    const std::string_view message(buf ? buf : "", static_cast<std::size_t>(count));
    if (const Fault* f = in->takeWriteFault(message)) {
        if (f->iberr == EABO) return timedOut(*d, 0);
        lastCount_ = 0;
        return publish(kErr, f->iberr, 0);
    }
    auto after = [this](double seconds) {
        return clock_.now() +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    in->receive(message, after(scenario_.latency), after(scenario_.hardcopyLatency.value_or(scenario_.latency)),
                clock_.now());
    lastCount_ = count;
    return publish(kCmpl, 0, count);
}

int32_t SimBus::ibrd(int32_t ud, char* buf, int32_t count) {
    Descriptor* d = descriptors_.find(ud);
    if (!d) return publish(kErr, EDVR, 0);
    if (count < 0 || (count > 0 && !buf)) return publish(kErr, EARG, 0);
    SimInstrument* in = instrumentAt(d->pad);
    if (cancelled_.load()) {
        lastCount_ = 0;
        return publish(kErr, EABO, 0);
    }
    if (!in || in->silent() || !in->pending().active()) return timedOut(*d, 0);
    if (count == 0) {
        lastCount_ = 0;
        return publish(kCmpl, 0, 0);
    }
    PendingReply& r = in->pending();
    ++r.reads;
    if (const Fault* f = in->takeReadFault()) {
        if (f->kind == Fault::Kind::ReadTimeout) return timedOut(*d, 0);
        lastCount_ = 0;
        return publish(kErr, f->iberr, 0);
    }

    const Clock::duration timeout = timeoutOf(*d);
    const bool bounded = timeout > Clock::duration::zero();
    Clock::duration waited{};
    const Clock::duration now = clock_.now();
    if (now < r.readyAt) {
        waited = r.readyAt - now;
        if (bounded && waited >= timeout) {
            // The reply is still being produced; its first byte comes later.
            return timedOut(*d, 0);
        }
        if (!wait(waited)) return timedOut(*d, 0);
    }
    std::size_t n = std::min(static_cast<std::size_t>(count), r.data->size() - r.offset);
    bool late = false;
    if (scenario_.rate > 0) {
        const double seconds = static_cast<double>(n) / scenario_.rate;
        auto transfer = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        if (bounded && waited + transfer > timeout) {
            // Only what fits into the timeout arrives.
            transfer = timeout - waited;
            const double fits = std::chrono::duration<double>(transfer).count() * scenario_.rate;
            n = std::min(n, static_cast<std::size_t>(std::floor(fits)));
            late = true;
        }
        if (!wait(transfer)) return timedOut(*d, 0); // what was on its way is lost with the cancel
    }
    std::memcpy(buf, r.data->data() + r.offset, n);
    r.offset += n;
    const int32_t moved = static_cast<int32_t>(n);
    lastCount_ = moved;
    if (late) return publish(kErr | kTimo, EABO, moved);
    const bool last = r.offset == r.data->size();
    if (last) in->clearOutput();
    return publish(kCmpl | (last ? kEnd : 0), 0, moved);
}

int32_t SimBus::ibtmo(int32_t ud, int32_t code) {
    return publish(
        descriptors_.setTimeout(ud, code, [this](const Descriptor& d, int) -> std::optional<CallStatus> {
            if (SimInstrument* in = instrumentAt(d.pad))
                if (const Fault* f = in->takeTimeoutSetFault()) return CallStatus{kErr, f->iberr, 0};
            return std::nullopt;
        }));
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

#include "gpib/backends/simscope/pacing.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace vellumix::gpib::sim {

void receiveTimed(SimInstrument& instrument, Clock& clock, std::string_view message, double latency,
                  double hardcopyLatency) {
    const auto after = [&clock](double seconds) {
        return clock.now() +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    instrument.receive(message, after(latency), after(hardcopyLatency), clock.now());
}

namespace {

// Lets d pass on the clock in short steps, idle between them as a driver waiting on the bus is;
// false as soon as a cancel arrives (one may come from inside idle()).
bool pass(Clock& clock, Clock::duration d, const std::atomic<bool>* cancelled) {
    const Clock::duration step = std::chrono::milliseconds(10);
    for (const auto end = clock.now() + d;;) {
        if (cancelled && cancelled->load()) return false;
        const auto now = clock.now();
        if (now >= end) return true;
        clock.sleepFor(std::min(step, end - now));
        clock.idle();
    }
}

} // namespace

PacedRead readPaced(SimInstrument& instrument, Clock& clock, double rate, Clock::duration timeout, char* buf,
                    std::size_t n, LateTransfer late, const std::atomic<bool>* cancelled) {
    PacedRead result;
    const auto cancel = [&result] {
        result.outcome = PacedRead::Outcome::Cancelled;
        return result;
    };
    PendingReply& r = instrument.pending();
    Clock::duration waited{};
    if (const Clock::duration now = clock.now(); now < r.readyAt) {
        waited = r.readyAt - now;
        // Still being produced: the reply stays for a later read.
        if (waited >= timeout) {
            result.outcome = PacedRead::Outcome::NotReady;
            return result;
        }
        if (!pass(clock, waited, cancelled)) return cancel();
    }
    std::size_t count = std::min(n, r.data->size() - r.offset);
    if (rate > 0) {
        auto transfer = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(count) / rate));
        if (waited + transfer > timeout) {
            result.outcome = PacedRead::Outcome::Late;
            if (late == LateTransfer::LoseAll) return result;
            // Only what fits into the timeout arrives.
            transfer = timeout - waited;
            const double fits = std::chrono::duration<double>(transfer).count() * rate;
            count = std::min(count, static_cast<std::size_t>(std::floor(fits)));
        }
        if (!pass(clock, transfer, cancelled)) return cancel();
    }
    std::memcpy(buf, r.data->data() + r.offset, count);
    r.offset += count;
    result.count = count;
    // A late transfer never ends the reply: its end comes after the timeout.
    result.end = result.outcome == PacedRead::Outcome::Done && r.offset == r.data->size();
    if (result.end) instrument.clearOutput();
    return result;
}

} // namespace vellumix::gpib::sim

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
    instrument.receive(message, after(latency), after(hardcopyLatency));
}

PacedRead readPaced(SimInstrument& instrument, Clock& clock, double rate, Clock::duration timeout, char* buf,
                    std::size_t n, LateTransfer late) {
    PacedRead result;
    PendingReply& r = instrument.pending();
    Clock::duration waited{};
    if (const Clock::duration now = clock.now(); now < r.readyAt) {
        waited = r.readyAt - now;
        // Still being produced: the reply stays for a later read.
        if (waited >= timeout) {
            result.outcome = PacedRead::Outcome::NotReady;
            return result;
        }
        clock.sleepFor(waited);
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
        clock.sleepFor(transfer);
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

#pragma once
// How a simulated reply comes out over time, the same on every face of the simulated scope (the
// simulated bus, the USB simulator, the virtual adapter behind the simulated bus): its first byte
// once the scope has it ready, then the bytes at the scenario's rate, all on the Clock.
#include "gpib/backends/simscope/instrument.h"
#include "gpib/clock.h"

#include <atomic>
#include <cstddef>
#include <string_view>

namespace vellumix::gpib::sim {

// What happens to a transfer that would outlast the timeout: a GPIB board keeps the bytes that came
// in time; the kernel's usbtmc driver drops the whole bulk transfer.
enum class LateTransfer { KeepWhatFits, LoseAll };

struct PacedRead {
    enum class Outcome {
        Done,      // `count` bytes copied within the timeout
        NotReady,  // the first byte comes only after the timeout: nothing copied, no time spent
        Late,      // KeepWhatFits: `count` bytes copied, the timeout has passed;
                   // LoseAll: nothing copied, the wait for the first byte has passed
        Cancelled, // a cancel came while waiting: nothing copied, what was on its way is lost
    };
    Outcome outcome = Outcome::Done;
    std::size_t count = 0;
    bool end = false; // the reply's last byte was copied; the instrument's output is then cleared
};

// Hands the instrument a message at the clock's now: its reply is ready `latency` seconds later, a
// hard copy `hardcopyLatency` seconds later.
void receiveTimed(SimInstrument& instrument, Clock& clock, std::string_view message, double latency,
                  double hardcopyLatency);

// Copies up to n bytes of the instrument's pending reply (which must be active) into buf within
// `timeout`, letting the waiting and the transfer pass on the clock. rate: bytes per second, 0 for
// no transfer time. cancelled (may be null): checked every few milliseconds of the waits, so a
// cancel from another thread ends a slow transfer at once.
PacedRead readPaced(SimInstrument& instrument, Clock& clock, double rate, Clock::duration timeout, char* buf,
                    std::size_t n, LateTransfer late, const std::atomic<bool>* cancelled = nullptr);

} // namespace vellumix::gpib::sim

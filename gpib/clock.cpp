#include "gpib/clock.h"

#include <thread>

namespace vellumix::gpib {

Clock::duration MonotonicClock::now() {
    return std::chrono::duration_cast<duration>(std::chrono::steady_clock::now().time_since_epoch());
}

void MonotonicClock::sleepFor(duration d) {
    if (d > duration::zero()) std::this_thread::sleep_for(d);
}

} // namespace vellumix::gpib

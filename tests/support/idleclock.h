#pragma once
// A virtual clock that notes when a driver calls idle(): the tests of how long a wait on the bus
// goes without the window's events getting their turn.
#include "gpib/clock.h"

#include <algorithm>
#include <vector>

namespace vellumix::test {

class RecordingClock final : public gpib::VirtualClock {
public:
    void idle() override {
        calls.push_back(now());
        VirtualClock::idle();
    }
    // The longest stretch of [from, to] with no idle() call in it.
    duration longestGap(duration from, duration to) const {
        duration longest{}, last = from;
        for (const duration at : calls) {
            if (at < from || at > to) continue;
            longest = std::max(longest, at - last);
            last = at;
        }
        return std::max(longest, to - last);
    }

    std::vector<duration> calls;
};

} // namespace vellumix::test

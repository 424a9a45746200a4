#pragma once
// Time for the instrument link and the simulated bus: monotonic in a real run, virtual in tests so
// that simulated timeouts cost no real time.
#include <chrono>
#include <memory>

namespace vellumix::gpib {

class Clock {
public:
    using duration = std::chrono::nanoseconds;
    virtual ~Clock() = default;
    virtual duration now() = 0;
    // Lets time pass: sleeps on a real clock, advances a virtual one.
    virtual void sleepFor(duration d) = 0;
};

class MonotonicClock final : public Clock {
public:
    duration now() override;
    void sleepFor(duration d) override;
};

class VirtualClock final : public Clock {
public:
    duration now() override { return now_; }
    void sleepFor(duration d) override {
        if (d > duration::zero()) now_ += d;
    }
    void advance(duration d) { sleepFor(d); }

private:
    duration now_{};
};

} // namespace vellumix::gpib

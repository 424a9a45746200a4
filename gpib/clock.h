#pragma once
// Time for the instrument link and the simulated bus: monotonic in a real run, virtual in tests so
// that simulated timeouts cost no real time.
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <utility>

namespace vellumix::gpib {

class Clock {
public:
    using duration = std::chrono::nanoseconds;
    // The longest a driver waits on the bus between two calls of idle().
    static constexpr duration WaitPiece = std::chrono::milliseconds(100);

    virtual ~Clock() = default;
    virtual duration now() = 0;
    // Lets time pass: sleeps on a real clock, advances a virtual one.
    virtual void sleepFor(duration d) = 0;
    // Called by a driver at least every WaitPiece of this clock while it waits on the bus. A capture
    // runs on the window's thread, so this is where the window's events (Cancel, Esc, repaints) get
    // their turn while the scope is silent. Runs the hook, if one is set.
    virtual void idle() {
        if (idleHook_) idleHook_();
    }
    // Set by whoever owns the thread's events (the window, while a capture runs); empty clears it.
    void setIdleHook(std::function<void()> hook) { idleHook_ = std::move(hook); }

    // Where the next piece of a wait until `deadline` ends.
    duration pieceEnd(duration deadline) { return std::min(deadline, now() + WaitPiece); }

private:
    std::function<void()> idleHook_;
};

class MonotonicClock final : public Clock {
public:
    duration now() override;
    void sleepFor(duration d) override;
};

// Not final: tests watch idle() through a subclass.
class VirtualClock : public Clock {
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

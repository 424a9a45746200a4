#pragma once
// The virtual adapter as the driver's transport, in the same process and on a virtual clock: a
// test waits for nothing, yet every timeout and byte rate is honoured in virtual time.
#include "gpib/backends/pipe.h"
#include "tools/sim-adapter/emulator.h"

#include <functional>

namespace vellumix::simadapter {

class LoopbackPipe final : public gpib::BytePipe {
public:
    LoopbackPipe(AdapterEmulator& adapter, gpib::VirtualClock& clock) : adapter_(adapter), clock_(clock) {}

    bool send(std::string_view bytes) override {
        if (adapter_.dropped()) return false;
        sent_.append(bytes);
        adapter_.input(bytes, clock_.now());
        return true;
    }

    Received receive(std::string& out, Clock::duration deadline) override {
        if (onWait) onWait();
        // The driver sends nothing while it waits here, so the adapter may run ahead to each of
        // its events up to the deadline; the clock stops at the first byte that reaches us.
        for (;;) {
            const auto now = clock_.now();
            const auto next = adapter_.nextOutputAt();
            const auto event = adapter_.nextEventAt();
            if (next && *next <= std::max(now, deadline) && (!event || *next <= *event)) {
                if (*next > now) clock_.advance(*next - now);
                adapter_.takeOutput(clock_.now(), out);
                return Received::Data;
            }
            if (!event || *event > deadline) break;
            adapter_.advanceTo(*event);
        }
        if (adapter_.dropped()) return Received::Closed;
        const auto now = clock_.now();
        if (deadline > now) clock_.advance(deadline - now);
        adapter_.advanceTo(clock_.now());
        return Received::Timeout;
    }

    // Runs as each wait begins: what another thread could do meanwhile (a test's cancel).
    std::function<void()> onWait;

    // Everything the driver sent, in order.
    const std::string& sent() const { return sent_; }

private:
    AdapterEmulator& adapter_;
    gpib::VirtualClock& clock_;
    std::string sent_;
};

} // namespace vellumix::simadapter

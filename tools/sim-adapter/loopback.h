#pragma once
// The virtual adapter as the driver's transport, in the same process and on a virtual clock: a
// test waits for nothing, yet every timeout and byte rate is honoured in virtual time.
#include "gpib/backends/prologix/transport.h"
#include "tools/sim-adapter/emulator.h"

namespace vellumix::simadapter {

class LoopbackTransport final : public gpib::prologix::Transport {
public:
    LoopbackTransport(AdapterEmulator& adapter, gpib::VirtualClock& clock)
        : adapter_(adapter), clock_(clock) {}

    bool send(std::string_view bytes) override {
        if (adapter_.dropped()) return false;
        sent_.append(bytes);
        adapter_.input(bytes, clock_.now());
        return true;
    }

    Received receive(std::string& out, Clock::duration deadline) override {
        const auto now = clock_.now();
        if (const auto next = adapter_.nextOutputAt(); next && *next <= std::max(now, deadline)) {
            if (*next > now) clock_.advance(*next - now);
            adapter_.takeOutput(clock_.now(), out);
            return Received::Data;
        }
        if (adapter_.dropped()) return Received::Closed;
        if (deadline > now) clock_.advance(deadline - now);
        return Received::Timeout;
    }

    // Everything the driver sent, in order.
    const std::string& sent() const { return sent_; }

private:
    AdapterEmulator& adapter_;
    gpib::VirtualClock& clock_;
    std::string sent_;
};

} // namespace vellumix::simadapter

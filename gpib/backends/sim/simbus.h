#pragma once
// The simulated GPIB bus: the board and simulated TDS scopes described by a scenario file.
#include "gpib/backends/port.h"
#include "gpib/backends/simscope/instrument.h"
#include "gpib/backends/simscope/scenario.h"
#include "gpib/clock.h"
#include "gpib/driver.h"
#include "gpib/status.h"

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace vellumix::gpib::sim {

// Builds the simulated bus. scenarioPath empty: the default scenario (one TDS 3054B at address 1).
// On failure returns nullptr and puts a user-readable reason into error.
std::unique_ptr<GpibDriver> createSimBus(const std::string& scenarioPath, Clock& clock, std::string& error);

// The scenario's instruments behind the message port, with a GPIB board's results: an address
// without an instrument does not listen (ENOL) and does not talk (the read or poll times out).
class SimScopes final : public MessagePort {
public:
    // The scenario must be valid (validateScenario); instruments at the same address are dropped.
    SimScopes(Scenario scenario, Clock& clock);

    std::optional<int16_t> beginSearch(const std::vector<int>& pads) override;
    bool answers(int pad) override;
    CallStatus clear(const Descriptor& d) override;
    CallStatus serialPoll(const Descriptor& d, char& statusByte) override;
    CallStatus write(const Descriptor& d, std::string_view message) override;
    CallStatus read(const Descriptor& d, char* buf, int32_t count) override;
    std::optional<CallStatus> changeTimeout(const Descriptor& current, int code) override;
    void cancel() override { cancelled_.store(true); }
    void clearCancel() override { cancelled_.store(false); }

    SimInstrument* instrumentAt(int address);
    const Scenario& scenario() const { return scenario_; }

private:
    // Lets the descriptor's timeout pass: TIMO|ERR, EABO with `count` bytes moved.
    CallStatus timedOut(const Descriptor& d, int32_t count);
    Clock::duration timeoutOf(const Descriptor& d) const;
    // Lets d pass in short steps; false as soon as a cancel arrives.
    bool wait(Clock::duration d);

    Scenario scenario_;
    Clock& clock_;
    std::vector<std::unique_ptr<SimInstrument>> instruments_;
    std::array<SimInstrument*, MaxPrimaryAddress + 1> byAddress_{};
    std::atomic<bool> cancelled_{false};
};

// A driver substitute with the results of the NI-488.2 driver (docs/simulator.md lists them).
class SimBus final : public PortDriver {
public:
    SimBus(Scenario scenario, Clock& clock);

    int32_t RegisterGpibGlobalsForThread(int32_t* sta, int32_t* err, int32_t* cnt, int32_t* cntl) override;

    // The instrument at a primary address, or nullptr.
    SimInstrument* instrumentAt(int address) { return scopes_.instrumentAt(address); }
    const Scenario& scenario() const { return scopes_.scenario(); }

private:
    SimScopes scopes_;
};

std::unique_ptr<SimBus> createSimBus(Scenario scenario, Clock& clock);

} // namespace vellumix::gpib::sim

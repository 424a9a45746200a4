#pragma once
// The simulated GPIB bus: the board and simulated TDS scopes described by a scenario file.
#include "gpib/backends/boardless.h"
#include "gpib/backends/sim/instrument.h"
#include "gpib/backends/sim/scenario.h"
#include "gpib/clock.h"
#include "gpib/driver.h"

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace vellumix::gpib::sim {

// Builds the simulated bus. scenarioPath empty: the default scenario (one TDS 3054B at address 1).
// On failure returns nullptr and puts a user-readable reason into error.
std::unique_ptr<GpibDriver> createSimBus(const std::string& scenarioPath, Clock& clock, std::string& error);

// A driver substitute with the results of the NI-488.2 driver (docs/simulator.md lists them).
class SimBus final : public BoardlessDriver {
public:
    // The scenario must be valid (validateScenario); instruments at the same address are dropped.
    SimBus(Scenario scenario, Clock& clock);

    int32_t RegisterGpibGlobalsForThread(int32_t* sta, int32_t* err, int32_t* cnt, int32_t* cntl) override;
    void SendIFC(int32_t board) override;
    void FindLstn(int32_t board, const uint16_t* addrList, uint16_t* results, int32_t limit) override;
    int32_t ibclr(int32_t ud) override;
    int32_t ibrsp(int32_t ud, char* spr) override;
    int32_t ibwrt(int32_t ud, const char* buf, int32_t count) override;
    int32_t ibrd(int32_t ud, char* buf, int32_t count) override;
    int32_t ibtmo(int32_t ud, int32_t code) override;
    void cancel() override { cancelled_.store(true); }
    void clearCancel() override { cancelled_.store(false); }

    // The instrument at a primary address, or nullptr.
    SimInstrument* instrumentAt(int address);
    const Scenario& scenario() const { return scenario_; }

private:
    // Lets the descriptor's timeout pass and reports TIMO|ERR, EABO with `count` bytes moved.
    int32_t timedOut(const Descriptor& d, int32_t count);
    Clock::duration timeoutOf(const Descriptor& d) const;
    // Lets d pass in short steps; false as soon as a cancel arrives.
    bool wait(Clock::duration d);

    Scenario scenario_;
    Clock& clock_;
    std::vector<std::unique_ptr<SimInstrument>> instruments_;
    std::array<SimInstrument*, 31> byAddress_{};
    std::atomic<bool> cancelled_{false};
};

std::unique_ptr<SimBus> createSimBus(Scenario scenario, Clock& clock);

} // namespace vellumix::gpib::sim

// A scenario file for the simulated bus (--bus sim:FILE.json).
#include "gpib/backends/simscope/scenario.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string json(reinterpret_cast<const char*>(data), size);
    vellumix::gpib::sim::Scenario scenario;
    std::string error;
    // Payload files are looked up beside the scenario files of the tests.
    if (vellumix::gpib::sim::parseScenario(json, VELLUMIX_FUZZ_DATA_DIR, scenario, error)) {
        if (!vellumix::gpib::sim::validateScenario(scenario).empty()) __builtin_trap();
    }
    return 0;
}

#include "gpib/backends/usbtmc/usbtmcbus.h"

#include "gpib/backends/usbtmc/simpipe.h"
#include "gpib/backends/usbtmc/usbtmcdriver.h"
#include "gpib/status.h"

namespace vellumix::gpib::usbtmc {

namespace {

BusOpenResult finish(std::unique_ptr<UsbtmcDriver> driver, const std::string& what) {
    BusOpenResult result;
    result.error = driver->openDevices();
    if (!result.error.empty()) {
        result.title = UsbtmcErrorTitle;
        return result;
    }
    result.description = what;
    std::string nodes;
    for (int a = 1; a <= MaxPrimaryAddress; ++a)
        if (const std::string path = driver->deviceAt(a); !path.empty())
            nodes += (nodes.empty() ? " " : ", ") + path + " at address " + std::to_string(a);
    result.description += nodes;
    result.driver = std::move(driver);
    return result;
}

} // namespace

sim::Scenario defaultUsbtmcScenario() {
    sim::Scenario s;
    s.description = "One TDS 2024B on /dev/usbtmc0";
    s.rate = 500000; // full-speed USB as these scopes manage it
    s.latency = 0.01;
    s.hardcopyLatency = 0.5;
    sim::InstrumentSetup& scope = s.addScope(1, "ID TEK/TDS 2024B,CF:91.1CT,FV:v22.11");
    scope.idnReply = "TEKTRONIX,TDS 2024B,C040000,CF:91.1CT FV:v22.11";
    scope.inkSaver = true;
    scope.port = "USB";
    return s;
}

BusOpenResult openUsbtmcDevices(const std::string& device) {
#ifdef _WIN32
    // Windows has no usbtmc device nodes: its USBTMC driver comes with a VISA library.
    BusOpenResult result;
    result.title = UsbtmcErrorTitle;
    result.error = "Vellumix cannot reach " + (device.empty() ? std::string("a scope") : device) +
                   " over USB on Windows: a scope's USB port is reached there through a VISA library "
                   "(NI-VISA, Keysight IO Libraries), and this Vellumix does not use one.\n\n"
                   "Connect the scope through GPIB (--bus gpib with NI-488.2) or a Prologix or AR488 "
                   "controller (--bus prologix:COM3) instead. To try Vellumix without a scope, use --bus "
                   "usbtmc:sim.";
    return result;
#else
    return finish(std::make_unique<UsbtmcDriver>(createDevicePipe(), device), "USBTMC");
#endif
}

BusOpenResult openSimulatedUsbtmc(const std::string& scenarioPath, Clock& clock) {
    sim::Scenario scenario;
    if (scenarioPath.empty()) {
        scenario = defaultUsbtmcScenario();
    } else if (std::string why; !sim::loadScenarioFile(scenarioPath, scenario, why)) {
        BusOpenResult failed;
        failed.title = UsbtmcErrorTitle;
        failed.error = "The simulated USBTMC scopes could not be started: " + why;
        return failed;
    }
    auto driver = std::make_unique<UsbtmcDriver>(std::make_unique<SimUsbtmcPipe>(scenario, clock));
    driver->setRegisterReturnCode(scenario.registerReturnCode);
    const std::string what =
        "simulated USBTMC, " + (scenarioPath.empty() ? std::string("default scenario") : scenarioPath) + ":";
    return finish(std::move(driver), what);
}

} // namespace vellumix::gpib::usbtmc

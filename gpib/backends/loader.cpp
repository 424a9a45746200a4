#include "gpib/backends/loader.h"

#include "gpib/backends/ni488/ni488driver.h"
#include "gpib/backends/prologix/prologixbus.h"
#include "gpib/backends/sim/simbus.h"
#include "gpib/backends/usbtmc/usbtmcbus.h"
#include "gpib/backends/usbtmc/usbtmcdriver.h"

#include <cstdlib>

namespace vellumix::gpib {

std::vector<std::string> defaultDriverLibraries() {
#ifdef _WIN32
    return {"ni4882.dll", "gpib-32.dll"};
#else
    return {"libgpib.so.0", "libni4882.so", "libgpibapi.so"};
#endif
}

DriverLibrarySearch driverLibrarySearch() {
    const char* path = std::getenv(DriverLibraryVariable);
    if (path && *path) return {{path}, true};
    return {defaultDriverLibraries(), false};
}

BusOpenResult openBus(const BusUri& uri, Clock& clock) {
    return openBus(uri, clock, driverLibrarySearch());
}

BusOpenResult openBus(const BusUri& uri, Clock& clock, const DriverLibrarySearch& search) {
    return openBus(uri, clock, search, ni488::LinuxGpibHost{});
}

BusOpenResult openBus(const BusUri& uri, Clock& clock, const DriverLibrarySearch& search,
                      const ni488::LinuxGpibHost& host) {
    BusOpenResult result;
    if (uri.kind == BusUri::Kind::Sim) {
        std::string why;
        result.driver = sim::createSimBus(uri.scenarioPath, clock, why);
        if (result.driver) {
            result.description = uri.scenarioPath.empty() ? "simulated bus, default scenario"
                                                          : "simulated bus, " + uri.scenarioPath;
        } else {
            result.title = SimulatedBusErrorTitle;
            result.error = "The simulated bus could not be started";
            result.error += why.empty() ? std::string(".") : ": " + why;
        }
        return result;
    }
    if (uri.kind == BusUri::Kind::Usbtmc) {
        auto opened = uri.simulated ? usbtmc::openSimulatedUsbtmc(uri.scenarioPath, clock)
                                    : usbtmc::openUsbtmcDevices(uri.device);
        result.driver = std::move(opened.driver);
        result.description = opened.description;
        result.error = opened.error;
        if (!result.driver) result.title = usbtmc::UsbtmcErrorTitle;
        return result;
    }

    if (uri.kind == BusUri::Kind::Prologix) {
        prologix::PrologixOpen opened = prologix::openPrologixBus(uri.device, uri.host, uri.port, clock);
        if (opened.driver) {
            result.driver = std::move(opened.driver);
            result.description = opened.description;
        } else {
            result.title = AdapterErrorTitle;
            result.error = opened.error;
        }
        return result;
    }

    std::string tried;
    for (const std::string& library : search.libraries) {
        std::string why;
        auto driver = ni488::Ni488Driver::load(library, uri.board, why);
        if (driver) {
            // The first library that loads is the driver the user installed: its problems are the
            // ones to report, rather than falling through to a library that is not there.
            if (const auto problem = ni488::checkBoard(*driver, host)) {
                result.title = problem->title;
                result.error = problem->message();
                return result;
            }
            result.description = library + ", board " + std::to_string(uri.board);
            result.driver = std::move(driver);
            return result;
        }
        // dlerror() starts with the path already.
        if (why.rfind(library + ": ", 0) == 0) why.erase(0, library.size() + 2);
        tried += "\n    " + library + ": " + why;
    }

    result.title = DriverErrorTitle;
    result.error = "No GPIB driver library could be loaded, so Vellumix cannot use GPIB board " +
                   std::to_string(uri.board) + ".\n\n";
    if (search.libraries.empty()) {
        result.error += "No library was named to try.";
    } else {
        result.error += search.fromEnvironment
                            ? std::string("Tried the library named by ") + DriverLibraryVariable + ":"
                            : std::string("Tried:");
        result.error += tried;
    }
    if (search.fromEnvironment) {
        result.error += std::string("\n\nPoint ") + DriverLibraryVariable +
                        " at the driver library's file, or unset it to try the usual libraries.";
    } else {
        result.error += std::string("\n\nInstall linux-gpib or NI-488.2, or set ") + DriverLibraryVariable +
                        " to the driver library's path.";
    }
    result.error += " To try Vellumix without a board, start it with --bus sim, or set VELLUMIX_BUS=sim (a "
                    "simulated scope).";
    return result;
}

} // namespace vellumix::gpib

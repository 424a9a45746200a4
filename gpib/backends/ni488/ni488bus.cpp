#include "gpib/backends/ni488/ni488bus.h"

#include "gpib/backends/loader.h"
#include "gpib/backends/ni488/ni488driver.h"

namespace vellumix::gpib::ni488 {

BusOpenResult openBoard(int board, const DriverLibrarySearch& search, const LinuxGpibHost& host,
                        Clock* clock) {
    BusOpenResult result;
    LibraryAttempts tried;
    for (const std::string& library : search.libraries) {
        std::string why;
        auto driver = Ni488Driver::load(library, board, why);
        if (driver) {
            // The first library that loads is the driver the user installed: its problems are the
            // ones to report, rather than falling through to a library that is not there.
            if (const auto problem = checkBoard(*driver, host)) {
                result.title = problem->title;
                result.error = problem->message();
                return result;
            }
            driver->setIdleClock(clock);
            result.description = library + ", board " + std::to_string(board);
            result.driver = std::move(driver);
            return result;
        }
        tried.add(library, why);
    }

    result.title = DriverErrorTitle;
    result.error = "No GPIB driver library could be loaded, so Vellumix cannot use GPIB board " +
                   std::to_string(board) + ".\n\n";
    if (search.libraries.empty()) {
        result.error += "No library was named to try.";
    } else {
        result.error += search.fromEnvironment
                            ? std::string("Tried the library named by ") + DriverLibraryVariable + ":"
                            : std::string("Tried:");
        result.error += tried.text();
    }
    if (search.fromEnvironment) {
        result.error += std::string("\n\nPoint ") + DriverLibraryVariable +
                        " at the driver library's file, or unset it to try the usual libraries.";
    } else {
#ifdef _WIN32
        const char* install = "Install NI-488.2 (it brings ni4882.dll)";
#else
        const char* install = "Install linux-gpib or NI-488.2";
#endif
        result.error += std::string("\n\n") + install + ", or set " + DriverLibraryVariable +
                        " to the driver library's path.";
    }
    result.error += " To try Vellumix without a board, start it with --bus sim, or set VELLUMIX_BUS=sim (a "
                    "simulated scope).";
    return result;
}

} // namespace vellumix::gpib::ni488

namespace vellumix::gpib {

BusOpenResult openBus(const BusUri& uri, Clock& clock, const DriverLibrarySearch& search,
                      const ni488::LinuxGpibHost& host) {
    if (uri.scheme != GpibScheme) return openBus(uri, clock, search);
    BusOpenResult result = ni488::openBoard(uri.board, search, host, &clock);
    result.name = busScheme(uri).messageName(uri);
    return result;
}

} // namespace vellumix::gpib

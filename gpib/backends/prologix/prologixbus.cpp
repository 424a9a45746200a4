#include "gpib/backends/prologix/prologixbus.h"

#include "gpib/backends/prologix/pipes.h"
#include "gpib/backends/prologix/prologixdriver.h"

#include <chrono>

namespace vellumix::gpib::prologix {

PrologixOpen openPrologixBus(const std::string& serialDevice, const std::string& host, int port,
                             Clock& clock) {
    PrologixOpen result;
    OpenFailure failure;
    const bool serial = !serialDevice.empty();
    const std::string where = serial ? serialDevice : host + " port " + std::to_string(port);
    std::unique_ptr<BytePipe> pipe = serial
                                         ? openSerialPipe(serialDevice, clock, failure)
                                         : openTcpPipe(host, port, std::chrono::seconds(5), clock, failure);
    if (!pipe) {
        result.error = failure.message;
        return result;
    }
    auto driver = std::make_unique<PrologixDriver>(std::move(pipe), clock);
    std::string why;
    if (!driver->connect(why)) {
        result.error = (serial ? "The serial device " : "The connection to ") + where +
                       " is open, but no Prologix or AR488 GPIB controller answers there: " + why + ".";
        result.error += serial ? " Is this the controller's device, and is nothing else using it?"
                               : " Is this the controller's address and port?";
        return result;
    }
    result.description = driver->version() + " (" + flavourName(driver->flavour()) + ") on " + where;
    result.driver = std::move(driver);
    return result;
}

} // namespace vellumix::gpib::prologix

#include "gpib/backends/prologix/prologixbus.h"

#include "gpib/backends/prologix/posixtransport.h"
#include "gpib/backends/prologix/prologixdriver.h"

#include <chrono>

namespace vellumix::gpib::prologix {

PrologixOpen openPrologixBus(const std::string& serialDevice, const std::string& host, int port,
                             Clock& clock) {
    PrologixOpen result;
    OpenFailure failure;
    const bool serial = !serialDevice.empty();
    const std::string where = serial ? serialDevice : host + " port " + std::to_string(port);
    std::unique_ptr<Transport> transport =
        serial ? openSerialTransport(serialDevice, clock, failure)
               : openTcpTransport(host, port, std::chrono::seconds(5), clock, failure);
    if (!transport) {
        result.error = failure.message;
        return result;
    }
    auto driver = std::make_unique<PrologixDriver>(std::move(transport), clock);
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

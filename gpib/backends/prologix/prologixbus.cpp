#include "gpib/backends/prologix/prologixbus.h"

#include "gpib/backends/prologix/pipes.h"
#include "gpib/backends/prologix/prologixdriver.h"
#include "platform/text.h"

#include <chrono>

namespace vellumix::gpib::prologix {

std::string windowsSerialPath(const std::string& name) {
    std::string port = name;
    if (port.rfind("\\\\.\\", 0) == 0) port.erase(0, 4);
    if (port.size() < 4 || port.size() > 6) return {};
    if (!equalsIgnoringCase(std::string_view(port).substr(0, 3), "com")) return {};
    int number = 0;
    for (size_t i = 3; i < port.size(); ++i) {
        if (port[i] < '0' || port[i] > '9') return {};
        number = number * 10 + (port[i] - '0');
    }
    if (number < 1 || number > 255 || port[3] == '0') return {};
    return "\\\\.\\COM" + std::to_string(number);
}

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

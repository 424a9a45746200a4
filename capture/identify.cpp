#include "capture/identify.h"

#include "gpib/exchange.h"

namespace vellumix::capture {

ScopeIdentity IdentifyScope(gpib::InstrumentLink& link, int16_t device) {
    ScopeIdentity scope;
    const std::string reply = gpib::QueryDevice(link, device, "ID?");
    scope.queryFailed = link.lastReadFailed() || link.GpibErrorFlag != 0;
    scope.id = identifyReply(reply);
    scope.address = link.addressOfDevice(device);
    return scope;
}

} // namespace vellumix::capture

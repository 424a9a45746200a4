#pragma once
// The vxi11 bus: "vxi11:HOST[:PORT][/DEVICE]" with HOST a name, an IPv4 address or [IPv6], PORT the
// core channel's port (none: ask the portmapper), DEVICE a link name (inst0 when left out) or a
// gateway's interface (gpib0, gpib, hpib, hpib0). The URI keeps them in host, port and device.
#include "gpib/backends/schemes.h"
#include "gpib/backends/vxi11/net.h"

#include <memory>
#include <string>
#include <string_view>

namespace vellumix::gpib::vxi11 {

// Where the portmapper is looked for when not on port 111 (tests, the virtual instrument).
inline constexpr const char* PortmapperVariable = "VELLUMIX_VXI11_PORTMAPPER";

bool parseVxi11(std::string_view argument, bool hasArgument, BusUri& uri, std::string& why);
std::string vxi11Text(const BusUri& uri);
std::string vxi11Name(const BusUri& uri);
BusOpenResult openVxi11(const BusUri& uri, Clock& clock, const DriverLibrarySearch& search);
// The same over a given network (the tests' simulated one) and portmapper port.
BusOpenResult openVxi11(const BusUri& uri, std::unique_ptr<Network> network, int portmapperPort);

} // namespace vellumix::gpib::vxi11

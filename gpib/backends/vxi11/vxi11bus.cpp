#include "gpib/backends/vxi11/vxi11bus.h"

#include "gpib/backends/vxi11/vxi11port.h"
#include "platform/environment.h"

#include <cctype>
#include <cstdlib>

namespace vellumix::gpib::vxi11 {

namespace {

bool validPort(std::string_view text, int& port) {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    port = value;
    return value >= 1 && value <= 65535;
}

// Printable, no blanks, no separators of the URI itself; a link name may hold commas.
bool validName(std::string_view text, bool host) {
    if (text.empty() || text.size() > 255) return false;
    for (char c : text)
        if (c <= ' ' || c > '~' || c == '/' || c == '[' || c == ']' || (host && c == ',')) return false;
    return true;
}

// An IPv6 address as it goes between brackets, with an optional zone after '%' (fe80::1%eth0): a
// link-local address means nothing without the interface it is reached through.
bool validIpv6(std::string_view text) {
    const std::size_t percent = text.find('%');
    const std::string_view address = text.substr(0, percent);
    if (address.empty()) return false;
    for (char c : address)
        if (!(std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.')) return false;
    if (percent == std::string_view::npos) return true;
    const std::string_view zone = text.substr(percent + 1);
    if (zone.empty()) return false;
    for (char c : zone)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) return false;
    return true;
}

// What was given for the portmapper's port, else 111.
int portmapperPort() {
    const std::optional<std::string> env = environmentVariable(PortmapperVariable);
    int port = 0;
    return env && validPort(*env, port) ? port : PortmapperPort;
}

} // namespace

bool parseVxi11(std::string_view argument, bool, BusUri& uri, std::string& why) {
    why =
        "names no instrument: use vxi11:HOST, vxi11:HOST/DEVICE or vxi11:HOST:PORT (the core channel's port, "
        "1 to 65535), with HOST a name, an address or [IPv6] and DEVICE a link name such as inst0 or "
        "gpib0,5.";
    std::string_view rest = argument;
    std::string_view host;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos || close == 1) return false;
        host = rest.substr(1, close - 1);
        rest.remove_prefix(close + 1);
        if (!validIpv6(host)) return false;
    } else {
        const std::size_t end = rest.find_first_of(":/");
        host = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
        if (!validName(host, true)) return false;
    }
    uri.port = 0;
    if (!rest.empty() && rest.front() == ':') {
        const std::size_t slash = rest.find('/');
        if (!validPort(rest.substr(1, slash == std::string_view::npos ? slash : slash - 1), uri.port))
            return false;
        rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash);
    }
    uri.device = DefaultDevice;
    if (!rest.empty()) {
        if (rest.front() != '/' || !validName(rest.substr(1), false)) return false;
        uri.device = std::string(rest.substr(1));
    }
    uri.host = std::string(host);
    why.clear();
    return true;
}

std::string vxi11Text(const BusUri& uri) {
    std::string text = "vxi11:" + hostText(uri.host);
    if (uri.port != 0) text += ":" + std::to_string(uri.port);
    if (uri.device != DefaultDevice) text += "/" + uri.device;
    return text;
}

std::string vxi11Name(const BusUri& uri) {
    if (isGatewayInterface(uri.device))
        return "the VXI-11 gateway " + hostText(uri.host) + " (" + uri.device + ")";
    return "the VXI-11 device " + uri.device + " at " + hostText(uri.host);
}

BusOpenResult openVxi11(const BusUri& uri, std::unique_ptr<Network> network, int portmapper) {
    Target target{uri.host, uri.port, uri.device, portmapper};
    auto driver = std::make_unique<Vxi11Driver>(std::move(network), std::move(target));
    BusOpenResult result;
    result.error = driver->devices().open();
    if (!result.error.empty()) {
        result.title = Vxi11ErrorTitle;
        return result;
    }
    result.description = driver->devices().description();
    result.driver = std::move(driver);
    return result;
}

BusOpenResult openVxi11(const BusUri& uri, Clock& clock, const DriverLibrarySearch&) {
    return openVxi11(uri, createSocketNetwork(clock), portmapperPort());
}

} // namespace vellumix::gpib::vxi11

#include "gpib/backends/schemes.h"

#include "gpib/backends/ni488/ni488bus.h"
#include "gpib/backends/prologix/prologixbus.h"
#include "gpib/backends/prologix/protocol.h"
#include "gpib/backends/sim/simbus.h"
#include "gpib/backends/usbtmc/usbtmcbus.h"
#include "gpib/backends/visaname.h"
#include "gpib/backends/vxi11/vxi11bus.h"
#include "gpib/status.h"
#include "platform/text.h"

namespace vellumix::gpib {

namespace {

const std::string GpibEmptyHint =
    "check that the instruments are switched on, cabled, and set to GPIB addresses from " +
    instrumentAddressRange();

// A guide named as the package that is installed ships it: gzipped in the documentation folder, or
// in the Windows zip beside vellumix-cli.exe.
std::string shippedGuide(const std::string& what, const char* file) {
#ifdef _WIN32
    return what + ", " + file + " in the zip beside vellumix-cli.exe";
#else
    return what + ", " + GuideFolder + file + ".gz";
#endif
}

// --- sim ---------------------------------------------------------------------------------------------

bool parseSim(std::string_view argument, bool hasArgument, BusUri& uri, std::string& why) {
    if (hasArgument && argument.empty()) {
        why = "names no scenario file: use sim, or sim:FILE.json.";
        return false;
    }
    uri.scenarioPath = std::string(argument);
    return true;
}

std::string simText(const BusUri& uri) {
    return uri.scenarioPath.empty() ? std::string("sim") : "sim:" + uri.scenarioPath;
}

BusOpenResult openSim(const BusUri& uri, Clock& clock, const DriverLibrarySearch&) {
    BusOpenResult result;
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

// --- gpib --------------------------------------------------------------------------------------------

bool parseGpib(std::string_view argument, bool hasArgument, BusUri& uri, std::string& why) {
    if (!hasArgument) return true;
    // Digits only: no sign, no spaces; two digits at most keeps the number small.
    bool digits = !argument.empty() && argument.size() <= 2;
    for (char c : argument)
        digits = digits && c >= '0' && c <= '9';
    const int board = digits ? std::stoi(std::string(argument)) : -1;
    if (board < 0 || board > MaxBoardIndex) {
        why = "has no valid board index: use gpib or gpib:N with N from 0 to " +
              std::to_string(MaxBoardIndex) + ".";
        return false;
    }
    uri.board = board;
    return true;
}

std::string gpibText(const BusUri& uri) {
    return "gpib:" + std::to_string(uri.board);
}

std::string gpibName(const BusUri& uri) {
    return "GPIB board " + std::to_string(uri.board);
}

BusOpenResult openGpib(const BusUri& uri, Clock& clock, const DriverLibrarySearch& search) {
    return ni488::openBoard(uri.board, search, {}, &clock);
}

// --- prologix ----------------------------------------------------------------------------------------

// "/dev/ttyUSB0" (a path: the USB serial flavour), "HOST", "HOST:PORT", "[v6]" or "[v6]:PORT"; on
// Windows also "COM3" or "\\.\COM10".
bool parseAdapterAddress(std::string_view argument, BusUri& uri) {
    if (argument.empty()) return false;
    if (argument.front() == '/' || argument.front() == '.') {
        uri.device = std::string(argument);
        return true;
    }
#ifdef _WIN32
    if (!prologix::windowsSerialPath(std::string(argument)).empty()) {
        uri.device = std::string(argument);
        return true;
    }
#endif
    std::string_view host = argument;
    std::string_view port;
    if (argument.front() == '[') {
        const size_t close = argument.find(']');
        if (close == std::string_view::npos || close == 1) return false;
        host = argument.substr(1, close - 1);
        const std::string_view rest = argument.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') return false;
        if (!rest.empty()) port = rest.substr(1);
        if (!rest.empty() && port.empty()) return false;
    } else {
        const size_t colon = argument.rfind(':');
        if (colon != std::string_view::npos) {
            if (argument.find(':') != colon) return false; // a bare IPv6 address needs brackets
            host = argument.substr(0, colon);
            port = argument.substr(colon + 1);
            if (port.empty()) return false;
        }
    }
    if (host.empty()) return false;
    for (char c : host)
        if (c == ' ' || c == '/' || c == '[' || c == ']') return false;
    uri.host = std::string(host);
    uri.port = prologix::DefaultTcpPort;
    if (!port.empty()) {
        if (port.size() > 5) return false;
        int value = 0;
        for (char c : port) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        if (value < 1 || value > 65535) return false;
        uri.port = value;
    }
    return true;
}

// How a USB adapter is named where this program runs: a serial device node, or a COM port.
#ifdef _WIN32
constexpr const char* UsbAdapterForm = "prologix:COMn";
#else
constexpr const char* UsbAdapterForm = "prologix:/dev/DEVICE";
#endif

bool parseAdapter(std::string_view argument, bool, BusUri& uri, std::string& why) {
    if (parseAdapterAddress(argument, uri)) return true;
    why = std::string("names no GPIB controller: use ") + UsbAdapterForm +
          " for a USB one, or prologix:HOST or "
          "prologix:HOST:PORT (port 1 to 65535, " +
          std::to_string(prologix::DefaultTcpPort) + " when left out) for a network one.";
    return false;
}

std::string adapterWhere(const BusUri& uri) {
    if (!uri.device.empty()) return uri.device;
    const bool v6 = uri.host.find(':') != std::string::npos;
    return (v6 ? "[" + uri.host + "]" : uri.host) + ":" + std::to_string(uri.port);
}

std::string adapterText(const BusUri& uri) {
    return "prologix:" + adapterWhere(uri);
}

std::string adapterName(const BusUri& uri) {
    return (uri.device.empty() ? "the GPIB controller at " : "the GPIB controller on ") + adapterWhere(uri);
}

BusOpenResult openAdapter(const BusUri& uri, Clock& clock, const DriverLibrarySearch&) {
    prologix::PrologixOpen opened = prologix::openPrologixBus(uri.device, uri.host, uri.port, clock);
    BusOpenResult result;
    result.driver = std::move(opened.driver);
    if (result.driver) {
        result.description = opened.description;
    } else {
        result.title = AdapterErrorTitle;
        result.error = opened.error;
    }
    return result;
}

// --- usbtmc ------------------------------------------------------------------------------------------

bool parseUsbtmc(std::string_view argument, bool hasArgument, BusUri& uri, std::string& why) {
    if (!hasArgument) return true;
    const size_t simColon = argument.find(':');
    if (equalsIgnoringCase(argument.substr(0, simColon), "sim")) {
        uri.simulated = true;
        if (simColon != std::string_view::npos && simColon + 1 == argument.size()) {
            why = "names no scenario file: use usbtmc:sim, or usbtmc:sim:FILE.json.";
            return false;
        }
        if (simColon != std::string_view::npos) uri.scenarioPath = std::string(argument.substr(simColon + 1));
        return true;
    }
    // A device node by its path; anything else is more likely a typo than a device.
    if (argument.empty() || argument.front() != '/') {
        why = "names no device: use usbtmc for every USBTMC scope, or usbtmc:/dev/usbtmcN for one.";
        return false;
    }
    uri.device = std::string(argument);
    return true;
}

std::string usbtmcText(const BusUri& uri) {
    if (uri.simulated)
        return uri.scenarioPath.empty() ? std::string("usbtmc:sim") : "usbtmc:sim:" + uri.scenarioPath;
    return uri.device.empty() ? std::string("usbtmc") : "usbtmc:" + uri.device;
}

std::string usbtmcName(const BusUri& uri) {
    if (uri.simulated) return "the simulated USBTMC devices";
    return uri.device.empty() ? std::string("the USBTMC devices") : "the USBTMC device " + uri.device;
}

BusOpenResult openUsbtmc(const BusUri& uri, Clock& clock, const DriverLibrarySearch&) {
    return uri.simulated ? usbtmc::openSimulatedUsbtmc(uri.scenarioPath, clock)
                         : usbtmc::openUsbtmcDevices(uri.device);
}

} // namespace

const std::vector<BusScheme>& busSchemes() {
    static const std::vector<BusScheme> schemes = {
        {"sim",
         {{"sim", "", "the simulated bus: one TDS 3054B at address 1"},
          {"sim:FILE.json", "", "the simulated bus a scenario file describes"}},
         parseSim,
         simText,
         [](const BusUri&) { return std::string("the simulated bus"); },
         GpibEmptyHint,
         shippedGuide("the simulator guide", "simulator.md"),
         openSim},
        {GpibScheme,
#ifdef _WIN32
         {{"gpib", "", "GPIB board 0 through NI-488.2"},
#else
         {{"gpib", "", "GPIB board 0 through linux-gpib or NI-488.2"},
#endif
          {"gpib:N", " with N from 0 to " + std::to_string(MaxBoardIndex), "GPIB board N"}},
         parseGpib,
         gpibText,
         gpibName,
         GpibEmptyHint,
#ifdef _WIN32
         shippedGuide("the Windows notes", "windows.md"),
#else
         shippedGuide("the troubleshooting table of the GPIB driver guide", "drivers.md"),
#endif
         openGpib},
        {"prologix",
         {{UsbAdapterForm, "", "a Prologix GPIB-USB or AR488 controller"},
          {"prologix:HOST[:PORT]", "", "a Prologix GPIB-ETHERNET or networked AR488"}},
         parseAdapter,
         adapterText,
         adapterName,
         GpibEmptyHint,
         shippedGuide("the GPIB controller guide", "adapters.md"),
         openAdapter},
        {"usbtmc",
#ifdef _WIN32
         // Accepted, so that the message can say a VISA library is needed here.
         {{"usbtmc", "", "every scope on its USB device port (Linux only)"},
          {"usbtmc:/dev/usbtmcN", "", "the scope behind one usbtmc device node (Linux only)"},
#else
         {{"usbtmc", "", "every scope on its USB device port"},
          {"usbtmc:/dev/usbtmcN", "", "the scope behind one usbtmc device node"},
#endif
          {"usbtmc:sim", "", "a simulated TDS 2024B on USB"},
          {"usbtmc:sim:FILE.json", "", "simulated USB scopes a scenario file describes"}},
         parseUsbtmc,
         usbtmcText,
         usbtmcName,
         "check that the scope is switched on and its USB device port is connected to this computer",
         shippedGuide("the USBTMC guide", "usbtmc.md"),
         openUsbtmc},
        {"vxi11",
         {{"vxi11:HOST[:PORT]", "", "a TDS 3000B/C or Windows-based TDS on the LAN (device inst0)"},
          {"vxi11:HOST[:PORT]/DEVICE", "", "another link name: inst1, or gpib0,N behind a gateway"},
          {"vxi11:HOST[:PORT]/gpib0", "", "every instrument on a VXI-11 gateway's GPIB bus"}},
         vxi11::parseVxi11,
         vxi11::vxi11Text,
         vxi11::vxi11Name,
         "check that the instruments are switched on and on the network, and that the address is right",
         shippedGuide("the LAN guide", "lan.md"),
         vxi11::openVxi11},
    };
    return schemes;
}

const BusScheme* findBusScheme(std::string_view name) {
    for (const BusScheme& s : busSchemes())
        if (equalsIgnoringCase(name, s.name)) return &s;
    return nullptr;
}

const BusScheme& busScheme(const BusUri& uri) {
    if (const BusScheme* s = findBusScheme(uri.scheme)) return *s;
    return busSchemes().front(); // parseBusUri names only schemes that have a row
}

std::string busForms() {
    std::vector<std::string> forms;
    for (const BusScheme& s : busSchemes())
        for (const BusForm& f : s.forms)
            forms.push_back(f.text + f.note);
    std::string text;
    for (std::size_t i = 0; i < forms.size(); ++i)
        text += (i == 0 ? "" : i + 1 == forms.size() ? " or " : ", ") + forms[i];
    return text;
}

std::string busName(const BusUri& uri) {
    return busScheme(uri).messageName(uri);
}

std::string BusUri::toString() const {
    return busScheme(*this).text(*this);
}

std::optional<BusUri> parseBusUri(std::string_view original, std::string& error) {
    std::string translated;
    if (!visaResourceToBus(original, translated, error)) return std::nullopt;
    const std::string_view text = translated.empty() ? original : std::string_view(translated);
    const size_t colon = text.find(':');
    const bool hasArgument = colon != std::string_view::npos;
    const std::string_view argument = hasArgument ? text.substr(colon + 1) : std::string_view{};
    const std::string quoted = "\"" + std::string(original) + "\"";
    const BusScheme* scheme = findBusScheme(text.substr(0, colon));
    if (!scheme) {
        error = "Unknown bus " + quoted + ": use " + busForms() + ".";
        return std::nullopt;
    }
    BusUri uri;
    uri.scheme = scheme->name;
    std::string why;
    if (!scheme->parse(argument, hasArgument, uri, why)) {
        error = "The bus " + quoted + " " + why;
        return std::nullopt;
    }
    return uri;
}

BusOpenResult openBus(const BusUri& uri, Clock& clock) {
    return openBus(uri, clock, driverLibrarySearch());
}

BusOpenResult openBus(const BusUri& uri, Clock& clock, const DriverLibrarySearch& search) {
    const BusScheme& scheme = busScheme(uri);
    BusOpenResult result = scheme.open(uri, clock, search);
    result.name = scheme.messageName(uri);
    return result;
}

} // namespace vellumix::gpib

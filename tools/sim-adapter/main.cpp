// vellumix-sim-adapter: a virtual Prologix or AR488 GPIB controller with simulated TDS scopes
// behind it, on 127.0.0.1 (like a GPIB-ETHERNET) or on a pseudo-terminal (like a GPIB-USB).
// The first line on stdout says where: "tcp 127.0.0.1:PORT" or "pty /dev/pts/N".
#include "gpib/backends/prologix/protocol.h"
#include "tools/sim-adapter/emulator.h"
#include "tools/sim-adapter/serve.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace vellumix;
using simadapter::fail;

void vellumix::simadapter::fail(const std::string& why) {
    std::fprintf(stderr, "vellumix-sim-adapter: %s\n", why.c_str());
    std::exit(2);
}

namespace {

const std::string kUsage =
    "usage: vellumix-sim-adapter [--tcp PORT | --pty] [options]\n"
    "  --tcp PORT          listen on 127.0.0.1:PORT (0: any free port; default " +
    std::to_string(gpib::prologix::DefaultTcpPort) +
    ")\n"
    "  --pty               serve on a pseudo-terminal instead\n"
    "  --firmware F        ar488-0.47, ar488-0.49, ar488-0.50, ar488-0.53, prologix (default) or\n"
    "                      immediate (a host line stops a running read at once)\n"
    "  --flavour F         prologix or ar488 (= ar488-0.53)\n"
    "  --scenario FILE     simulated bus scenario (default: one TDS 3054B at address 1)\n"
    "  --rate B            bytes per second to the host (default 11520 on a pty, as 115200 baud;\n"
    "                      100000 on TCP); 0 = no limit\n"
    "  --pause-at N        the scope pauses after N bytes of a reply ...\n"
    "  --pause-after K     ... or right after the byte at offset K (the rig's -N K)\n"
    "  --pause S           ... for S seconds\n"
    "  --auto              start with ++auto 1, as a previous program may have left it\n"
    "  --pending TEXT      start with TEXT waiting for the host (a reply nobody read)\n"
    "  --drop-after N      break the connection after N bytes to the host\n";

double numberArg(const char* text, const char* option) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (!end || *end || v < 0) fail(std::string(option) + " needs a number of 0 or more");
    return v;
}

} // namespace

int main(int argc, char** argv) {
    simadapter::AdapterOptions options;
    int port = gpib::prologix::DefaultTcpPort;
    bool pty = false;
    bool rateGiven = false;
    std::string scenarioPath;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&]() -> const char* {
            if (i + 1 >= argc) fail(a + " needs a value");
            return argv[++i];
        };
        if (a == "--tcp") {
            port = static_cast<int>(numberArg(value(), "--tcp"));
        } else if (a == "--pty") {
            pty = true;
        } else if (a == "--flavour" || a == "--firmware") {
            const std::string f = value();
            const auto fw = simadapter::firmwareNamed(f);
            if (!fw || (a == "--flavour" && f != "prologix" && f != "ar488"))
                fail(a == "--flavour" ? "--flavour is prologix or ar488"
                                      : "--firmware is ar488-0.47, ar488-0.49, ar488-0.50, ar488-0.53, "
                                        "prologix or immediate");
            options.firmware = *fw;
            options.flavour = simadapter::profile(*fw).flavour;
        } else if (a == "--scenario") {
            scenarioPath = value();
        } else if (a == "--rate") {
            options.rate = numberArg(value(), "--rate");
            rateGiven = true;
        } else if (a == "--pause-at") {
            options.pauseAt = static_cast<std::size_t>(numberArg(value(), "--pause-at"));
        } else if (a == "--pause-after") {
            options.pauseAt = static_cast<std::size_t>(numberArg(value(), "--pause-after")) + 1;
        } else if (a == "--pause") {
            options.pauseSeconds = numberArg(value(), "--pause");
        } else if (a == "--auto") {
            options.autoRead = true;
        } else if (a == "--pending") {
            options.pendingOutput = value();
        } else if (a == "--drop-after") {
            options.dropAfter = static_cast<std::size_t>(numberArg(value(), "--drop-after"));
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage.c_str(), stdout);
            return 0;
        } else {
            std::fputs(kUsage.c_str(), stderr);
            fail("unknown option " + a);
        }
    }
    if (!rateGiven) options.rate = pty ? 11520 : 100000;
    options.ethernet = !pty;

    gpib::sim::Scenario scenario = gpib::sim::Scenario::defaultScenario();
    if (!scenarioPath.empty()) {
        std::string why;
        if (!gpib::sim::loadScenarioFile(scenarioPath, scenario, why)) fail(why);
    }
    simadapter::AdapterEmulator adapter(std::move(scenario), options);
    return simadapter::serve(adapter, pty, port);
}

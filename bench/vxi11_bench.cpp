// A 308,278-byte TDS 3000 colour hard copy over the virtual VXI-11 instrument on 127.0.0.1, read by
// Vellumix's VXI-11 bus and by a pyvisa-py script (Debian's python3-pyvisa-py, TCPIP::127.0.0.1::INSTR)
// reading the same picture from the same kind of instrument. pyvisa-py asks the portmapper on port
// 111 only, so its instrument listens there; without the right to that port its column is "-".
// Not a timed test: it prints figures for README.
#include "bench/quietdesktop.h"
#include "gpib/backends/schemes.h"
#include "gpib/exchange.h"
#include "gpib/status.h"
#include "tools/vxi11-sim/process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace vellumix;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t PictureSize = 308278; // 640 x 480, 8 bits a pixel, with its palette
constexpr int Runs = 7;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Vellumix: HARDCOPY START to the picture's last byte, as the peer measures it.
double vellumixSeconds(const std::string& uriText) {
    gpib::MonotonicClock clock;
    std::string why;
    const auto uri = gpib::parseBusUri(uriText, why);
    gpib::BusOpenResult bus = uri ? gpib::openBus(*uri, clock) : gpib::BusOpenResult{};
    if (!bus.driver) {
        std::fprintf(stderr, "cannot open %s: %s%s\n", uriText.c_str(), why.c_str(), bus.error.c_str());
        std::exit(1);
    }
    bench::QuietDesktop desktop;
    gpib::InstrumentLink link(*bus.driver, desktop, clock);
    int16_t ud = 0;
    link.ibdev(0, 1, 0, gpib::T10s, 1, 0, ud);
    const auto t0 = std::chrono::steady_clock::now();
    // The write and the read alone: QueryDevice's fixed 0.1 s pause between them is the same on
    // every bus and would hide the transfer.
    link.ibwrt(ud, "HARDCOPY START");
    const std::string reply = gpib::ReadResponse(link, ud, gpib::ReadMode::Raw);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (reply.size() != PictureSize) {
        std::fprintf(stderr, "got %zu bytes instead of %zu\n", reply.size(), PictureSize);
        std::exit(1);
    }
    return s;
}

} // namespace

int main() {
    const fs::path dir = fs::temp_directory_path() / "vellumix-vxi11-bench";
    fs::create_directories(dir);
    const fs::path scenario = dir / "tds3000.json";
    std::ofstream(scenario)
        << "{\"instruments\": [{\"address\": 1, \"id\": \"ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41\", "
           "\"hardcopy\": {\"size\": "
        << PictureSize << "}}]}";

    std::printf("| Device replies | Vellumix (ms, median of %d) | pyvisa-py (ms, median of %d) | pyvisa-py / "
                "Vellumix |\n"
                "|---|---|---|---|\n",
                Runs, Runs);
    const struct {
        const char* what;
        std::vector<std::string> options;
    } cases[] = {{"whole, one device_read", {}},
                 {"in chunks of 4096 bytes, END on the last", {"--chunk", "4096"}}};
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--scenario", scenario.string(), "--rate", "0"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        std::vector<double> ours, peer;
        for (int i = 0; i < Runs; ++i) {
            vxi11sim::SimProcess inst(VELLUMIX_VXI11_SIM, args);
            ours.push_back(vellumixSeconds(inst.uri()));
        }
        std::vector<std::string> at111 = args;
        at111.insert(at111.end(), {"--portmapper", "111"});
        for (int i = 0; i < Runs; ++i) {
            vxi11sim::SimProcess inst(VELLUMIX_VXI11_SIM, at111);
            if (inst.portmapper() != 111) break;
            const std::string cmd = "/usr/bin/python3 " VELLUMIX_SOURCE_DIR
                                    "/bench/peer_vxi11.py 127.0.0.1 " +
                                    std::to_string(PictureSize);
            if (FILE* p = ::popen(cmd.c_str(), "r")) {
                double seconds = 0;
                std::size_t bytes = 0;
                if (std::fscanf(p, "%lf %zu", &seconds, &bytes) == 2 && bytes == PictureSize)
                    peer.push_back(seconds);
                ::pclose(p);
            }
        }
        const double a = median(ours) * 1000;
        if (peer.empty()) {
            std::printf("| %s | %.2f | - | - |\n", c.what, a);
        } else {
            const double b = median(peer) * 1000;
            std::printf("| %s | %.2f | %.2f | %.1f x |\n", c.what, a, b, b / a);
        }
        std::fflush(stdout);
    }
    fs::remove_all(dir);
    return 0;
}

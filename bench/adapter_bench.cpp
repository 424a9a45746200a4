// A hard copy through the virtual Prologix adapter at the rate of a USB serial link and at a TCP
// rate, against what the link alone needs (bytes / rate + the scope's first-byte delay), with the
// CPU time the program spends; side by side, a pyvisa-py script fetching the same picture over TCP.
// Genuine hard copies end by their own structure; a reply that is no picture shows what an end the
// driver cannot take from the bytes costs (two adapter read timeouts).
// Not a timed test: it prints figures for README.
#include "bench/quietdesktop.h"
#include "gpib/backends/schemes.h"
#include "gpib/exchange.h"
#include "gpib/status.h"
#include "tools/sim-adapter/process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>

using namespace vellumix;
namespace fs = std::filesystem;

namespace {

double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

constexpr double kFirstByte = 1.0; // seconds the scope takes to start sending

// The scope sends `payload`: a genuine hard copy's file, or (empty) a block of letters that is no
// picture, whose end the driver cannot take from a structure.
std::string scenario(const fs::path& dir, const std::string& payload, std::size_t size) {
    const fs::path path =
        dir / ("bench-" + std::to_string(size) + (payload.empty() ? "-letters" : "") + ".json");
    std::ofstream out(path);
    out << "{\"hardcopyLatency\": " << kFirstByte
        << ", \"instruments\": [{\"address\": 1, \"id\": \"ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41\", "
           "\"hardcopy\": {";
    if (payload.empty())
        out << "\"size\": " << size;
    else
        out << "\"file\": \"" << payload << "\"";
    out << "}}]}";
    return path.string();
}

struct Run {
    bool ok = false;
    double connect = 0; // opening the bus: the adapter's set-up
    double wall = 0;    // HARDCOPY START to the reply's end
    double cpu = 0;
};

// One hard copy of `size` bytes from a fresh virtual adapter started with `args`.
Run capture(const std::vector<std::string>& args, std::size_t size) {
    Run run;
    simadapter::AdapterProcess adapter(VELLUMIX_SIM_ADAPTER, args);
    gpib::MonotonicClock clock;
    std::string why;
    const auto opening = std::chrono::steady_clock::now();
    const auto uri = gpib::parseBusUri(adapter.uri(), why);
    gpib::BusOpenResult bus = uri ? gpib::openBus(*uri, clock) : gpib::BusOpenResult{};
    if (!bus.driver) {
        std::fprintf(stderr, "cannot open %s: %s %s\n", adapter.uri().c_str(), why.c_str(),
                     bus.error.c_str());
        return run;
    }
    run.connect = std::chrono::duration<double>(std::chrono::steady_clock::now() - opening).count();
    bench::QuietDesktop desktop;
    gpib::InstrumentLink ilink(*bus.driver, desktop, clock);
    int16_t ud = 0;
    ilink.ibdev(0, 1, 0, gpib::T10s, 1, 0, ud);

    const double cpu0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    const std::string reply = gpib::QueryDevice(ilink, ud, "HARDCOPY START", gpib::ReadMode::Raw);
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.cpu = cpuSeconds() - cpu0;
    if (reply.size() != size) {
        std::fprintf(stderr, "got %zu bytes instead of %zu\n", reply.size(), size);
        return run;
    }
    run.ok = true;
    return run;
}

} // namespace

int main(int argc, char** argv) {
    // --firmwares: only the table per firmware behaviour
    const bool firmwaresOnly = argc > 1 && std::string(argv[1]) == "--firmwares";
    const fs::path dir = fs::temp_directory_path() / "vellumix-adapter-bench";
    fs::create_directories(dir);
    const char* env = std::getenv("VELLUMIX_SHARED_DIR");
    const fs::path shared = env && *env ? fs::path(env) : fs::path(VELLUMIX_SOURCE_DIR) / ".." / "shared";
    const fs::path real = shared / "real-hardcopies";
    if (!fs::exists(real / "tds2014b_bmp_5.bmp")) {
        std::fprintf(stderr, "adapter_bench: skipped, the genuine hard copies are not in %s\n", real.c_str());
        return 0;
    }
    const struct {
        const char* what;
        std::string file; // empty: letters, no picture
        std::size_t size;
    } pictures[] = {{"BMP 640x480 (TDS 1000)", (real / "tds1000-cf_F0000TEK.BMP").string(), 307254},
                    {"BMP 320x240 (TDS 2014B)", (real / "tds2014b_bmp_5.bmp").string(), 77878},
                    {"no picture (letters)", "", 77878}};
    const struct {
        const char* what;
        const char* transport;
        double rate;
    } links[] = {{"USB serial (pty, 115200 baud)", "--pty", 11520}, {"TCP", "--tcp", 100000}};

    std::printf(
        "| Picture | Link | Link alone (s) | Vellumix (s) | Over the link | CPU / wall | pyvisa-py byte by "
        "byte (s, x Vellumix) | pyvisa-py one read (s, x Vellumix) |\n|---|---|---|---|---|---|---|---|\n");
    for (const auto& link : links) {
        for (const auto& picture : pictures) {
            if (firmwaresOnly) break;
            const std::string file = scenario(dir, picture.file, picture.size);
            std::vector<std::string> args = {link.transport};
            if (std::string(link.transport) == "--tcp") args.push_back("0");
            args.insert(args.end(),
                        {"--scenario", file, "--rate", std::to_string(static_cast<int>(link.rate))});
            const Run run = capture(args, picture.size);
            if (!run.ok) return 1;
            const double wall = run.wall, cpu = run.cpu;
            const double alone = static_cast<double>(picture.size) / link.rate + kFirstByte;

            // The peer, two ways, each against a fresh adapter.
            std::string peers[2] = {"-", "-"};
            const char* modes[2] = {"bytewise", "whole"};
            for (int m = 0; m < 2 && std::string(link.transport) == "--tcp" && !picture.file.empty(); ++m) {
                simadapter::AdapterProcess fresh(VELLUMIX_SIM_ADAPTER, args);
                // Debian's python3, where python3-pyvisa-py installs pyvisa.
                const std::string cmd =
                    "/usr/bin/python3 " VELLUMIX_SOURCE_DIR "/bench/peer_pyvisa.py 127.0.0.1 " +
                    std::to_string(fresh.port()) + " " + std::to_string(picture.size) + " " + modes[m];
                if (FILE* p = ::popen(cmd.c_str(), "r")) {
                    double seconds = 0;
                    std::size_t bytes = 0;
                    if (std::fscanf(p, "%lf %zu", &seconds, &bytes) == 2 && bytes == picture.size) {
                        char b[64];
                        std::snprintf(b, sizeof b, "%.2f (%.1f x)", seconds, seconds / wall);
                        peers[m] = b;
                    }
                    ::pclose(p);
                }
            }
            std::printf("| %s, %zu B | %s, %.0f B/s | %.2f | %.2f | %+.1f %% | %.2f %% | %s | %s |\n",
                        picture.what, picture.size, link.what, link.rate, alone, wall,
                        (wall / alone - 1) * 100, cpu / wall * 100, peers[0].c_str(), peers[1].c_str());
            std::fflush(stdout);
        }
    }

    // What the end of a message costs under each firmware behaviour: the time beyond the link alone
    // over TCP, where the pty's pacing does not hide it, and what the set-up at connect takes.
    const char* firmwares[] = {"ar488-0.47", "ar488-0.49", "ar488-0.50",
                               "ar488-0.53", "prologix",   "immediate"};
    const double rate = 100000;
    std::printf(
        "\n| Firmware | Connect (s) | BMP 320x240, 77,878 B: beyond the link (s) | no picture, 77,878 B: "
        "beyond the link (s) |\n|---|---|---|---|\n");
    for (const char* firmware : firmwares) {
        std::string cells[2];
        double connect = 0;
        for (int i = 0; i < 2; ++i) {
            const auto& picture = pictures[i + 1];
            const std::vector<std::string> args = {"--tcp",      "0",
                                                   "--firmware", firmware,
                                                   "--scenario", scenario(dir, picture.file, picture.size),
                                                   "--rate",     std::to_string(static_cast<int>(rate))};
            const Run run = capture(args, picture.size);
            if (!run.ok) return 1;
            connect = std::max(connect, run.connect);
            char b[32];
            std::snprintf(b, sizeof b, "%.2f",
                          run.wall - (static_cast<double>(picture.size) / rate + kFirstByte));
            cells[i] = b;
        }
        std::printf("| %s | %.2f | %s | %s |\n", firmware, connect, cells[0].c_str(), cells[1].c_str());
        std::fflush(stdout);
    }
    fs::remove_all(dir);
    return 0;
}

#pragma once
// Shared set-up of the simulated bus tests: a bus on a virtual clock with registered status words.
#include "gpib/backends/sim/simbus.h"
#include "gpib/status.h"

#include <chrono>
#include <memory>
#include <string>

namespace vellumix::gpib::sim::test {

inline constexpr int32_t kErr = 0x8000;

struct Bus {
    explicit Bus(Scenario s) : bus(createSimBus(std::move(s), clock)) {
        bus->RegisterGpibGlobalsForThread(&sta, &err, &cnt, &cntl);
    }
    VirtualClock clock;
    std::unique_ptr<SimBus> bus;
    int32_t sta = 0, err = 0, cnt = 0, cntl = 0;

    bool failed() const { return (sta & kErr) != 0; }
    int32_t open(int pad, int tmo = T3s) { return bus->ibdev(0, pad, 0, tmo, 1, 0); }
    int32_t write(int32_t ud, const std::string& text) {
        return bus->ibwrt(ud, text.data(), static_cast<int32_t>(text.size()));
    }
    // Reads chunks until END, an error or `maxChunks`; returns what arrived.
    std::string readAll(int32_t ud, int chunk = 512, int maxChunks = 1 << 20) {
        std::string out, buf(static_cast<std::size_t>(chunk), ' ');
        for (int i = 0; i < maxChunks; ++i) {
            bus->ibrd(ud, buf.data(), chunk);
            out.append(buf.data(), static_cast<std::size_t>(cntl));
            if ((sta & END) || (sta & kErr)) break;
        }
        return out;
    }
    std::string query(int32_t ud, const std::string& text) {
        write(ud, text);
        return readAll(ud);
    }
    double seconds() const {
        return std::chrono::duration<double>(const_cast<VirtualClock&>(clock).now()).count();
    }
};

inline Scenario oneScope(const std::string& id = "ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41", int address = 1) {
    Scenario s;
    s.addScope(address, id);
    return s;
}

} // namespace vellumix::gpib::sim::test

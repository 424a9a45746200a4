#pragma once
// A virtual VXI-11 instrument: the portmapper, the core channel and the abort channel in front of the
// simulated scopes. As a TDS 3000B it serves device inst0 (the scenario's instruments by address as
// inst0, inst1, ...); as a gateway it serves gpib0,N for each address N of the scenario. Calls are
// answered on the Clock it is given: the program serves them on the steady clock, the tests on a
// virtual one in the same process.
#include "gpib/backends/simscope/instrument.h"
#include "gpib/backends/simscope/scenario.h"
#include "gpib/clock.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumix::vxi11sim {

struct ServerOptions {
    bool gateway = false;
    uint32_t maxRecvSize = 65536; // what create_link reports (0 and 4294967295 are seen in the field)
    std::size_t acceptSize = 0;   // a write piece larger than this is refused (0: maxRecvSize, else any)
    std::size_t chunk = 0;        // a device_read returns at most this many bytes (0: as asked)
    double delay = -1;            // seconds before the first byte of every reply (<0: the scenario's)
    bool lockedByOther = false;   // another client holds the device's lock
    uint32_t deviceError = 0;     // every device_write and device_read ends with this error code
    std::size_t abortAfter = 0;   // a hard copy read that reaches this many bytes ends as aborted (error 23)
    std::size_t overlong = 0;     // each device_read reply is this many bytes longer than asked
    std::size_t padding = 0;      // bytes after each core reply's own end, within its record
    std::size_t fragment = 0;     // record fragments of at most this many bytes (0: one fragment)
    bool portmapperUdp = true;    // the portmapper answers over UDP ...
    bool portmapperTcp = true;    // ... and over TCP
};

class Server {
public:
    Server(gpib::sim::Scenario scenario, ServerOptions options, gpib::Clock& clock);

    enum class Channel { Portmapper, Core, Abort };
    // The ports the portmapper hands out.
    void setPorts(int core, int abort) {
        corePort_ = core;
        abortPort_ = abort;
    }
    // One RPC message in, its reply out (no record marks); nothing when there is no reply to give.
    // Core calls may take time on the clock; an abort call takes none and may come from another
    // thread while a core call runs.
    std::optional<std::string> handle(Channel channel, std::string_view message);
    // The same for a stream: the record-marked reply (the option's fragments and padding applied).
    std::optional<std::string> handleRecord(Channel channel, std::string_view message);

    const ServerOptions& options() const { return options_; }
    gpib::sim::SimInstrument* instrument(int address);
    // Core procedures called, in order (for tests).
    const std::vector<uint32_t>& calls() const { return calls_; }
    int aborts() const { return aborts_.load(); }
    int openLinks() const { return static_cast<int>(links_.size()); }

private:
    struct Link {
        gpib::sim::SimInstrument* instrument = nullptr; // nullptr: an empty gateway address
        std::string unended;                            // write pieces before END
        std::size_t sent = 0;                           // bytes of the current reply sent
        // A hard copy whose transfer was aborted goes on printing: its rest stays queued ahead of
        // anything asked later, until a device clear drops it.
        bool abortedRest = false;
    };
    std::string portmapper(uint32_t procedure, std::string_view args);
    std::string core(uint32_t procedure, std::string_view args);
    std::string createLink(std::string_view args);
    std::string deviceWrite(std::string_view args);
    std::string deviceRead(std::string_view args);
    // The device of a link name, or an error code.
    std::optional<gpib::sim::SimInstrument*> deviceNamed(const std::string& name, uint32_t& error);
    // Lets `ms` pass unless an abort comes; false when one came.
    bool wait(uint32_t ms);
    bool takeAbort() { return abortRequested_.exchange(false); }

    gpib::sim::Scenario scenario_;
    ServerOptions options_;
    gpib::Clock& clock_;
    double latency_;
    double hardcopyLatency_;
    std::vector<std::unique_ptr<gpib::sim::SimInstrument>> instruments_; // by address
    std::map<int32_t, Link> links_;
    int32_t nextLid_ = 1;
    int corePort_ = 0;
    int abortPort_ = 0;
    std::vector<uint32_t> calls_;
    std::atomic<bool> abortRequested_{false};
    std::atomic<int> aborts_{0};
};

} // namespace vellumix::vxi11sim

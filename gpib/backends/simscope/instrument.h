#pragma once
// One simulated instrument on the bus: takes messages, keeps its hard copy settings and holds the
// reply it has to send.
#include "gpib/backends/simscope/scenario.h"
#include "gpib/clock.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumix::gpib::sim {

struct HardcopySettings {
    PictureFormat format = PictureFormat::Bmp;
    bool inkSaver = false;
    std::string pallet = "NORMAL";
    std::string compression = "OFF";
    std::string layout = "PORTRAIT";
    std::string port = "GPIB";
};

// The acquisition system, as far as capture on trigger needs it.
struct AcquisitionState {
    bool running = true;       // ACQUIRE:STATE
    bool sequence = false;     // ACQUIRE:STOPAFTER SEQUENCE (else RUNSTOP)
    Clock::duration armedAt{}; // when the running single acquisition was armed
    int triggers = 0;          // single acquisitions that triggered and stopped
};

// The reply waiting in the output queue.
struct PendingReply {
    std::shared_ptr<const std::string> data;
    std::size_t offset = 0;
    int reads = 0; // ibrd calls made on it so far
    ReplyKind kind = ReplyKind::Other;
    Clock::duration readyAt{}; // when its first byte can be read
    bool active() const { return data != nullptr; }
};

class SimInstrument {
public:
    explicit SimInstrument(InstrumentSetup setup);

    const InstrumentSetup& setup() const { return setup_; }
    int address() const { return setup_.address; }
    bool silent() const { return setup_.silent; }

    // Every message the instrument received, as sent (failed writes are not in it).
    const std::vector<std::string>& received() const { return received_; }
    const HardcopySettings& settings() const { return settings_; }
    // How many hard copies were queued.
    int hardcopies() const { return hardcopies_; }

    const AcquisitionState& acquisition() const { return acquisition_; }

    // Takes one message. A new message discards an unread reply, as a 488.2 device does.
    // readyAt: when a text reply can be read; pictureReadyAt: when a picture can; now: the bus's time
    // (an armed acquisition triggers by it).
    void receive(std::string_view message, Clock::duration readyAt, Clock::duration pictureReadyAt,
                 Clock::duration now);
    // The write fault this message triggers, if any (consumes one of its firings).
    const Fault* takeWriteFault(std::string_view message);
    // The read fault the next read of the pending reply triggers, if any.
    const Fault* takeReadFault();
    // The ibtmo fault, if any.
    const Fault* takeTimeoutSetFault();

    // The port word whose pictures reach the host: GPIB on the simulated bus, USB behind a
    // simulated USBTMC node. A hard copy started on any other port goes nowhere.
    void setConnectionPort(std::string port) { connectionPort_ = std::move(port); }

    PendingReply& pending() { return pending_; }
    void clearOutput() { pending_ = PendingReply{}; }

    // The bytes "HARDCOPY START" sends in the current settings (cached per format and ink saver).
    std::shared_ptr<const std::string> picture();

private:
    void command(const std::vector<std::string>& path, bool query, const std::string& args);
    bool acquire(const std::vector<std::string>& path, bool query, const std::string& arg);
    void queue(std::shared_ptr<const std::string> data, ReplyKind kind);
    std::shared_ptr<const std::string> text(const std::string& t);
    const Fault* take(Fault::Kind kind, const auto& matches);

    InstrumentSetup setup_;
    HardcopySettings settings_;
    std::vector<std::string> received_;
    std::vector<int> fired_; // per fault in setup_.faults
    PendingReply pending_;
    Clock::duration readyAt_{};
    Clock::duration pictureReadyAt_{};
    int hardcopies_ = 0;
    AcquisitionState acquisition_;
    Clock::duration now_{};
    std::string connectionPort_ = "GPIB";
    std::shared_ptr<const std::string> idReply_, idnReply_;
    std::map<std::pair<PictureFormat, bool>, std::shared_ptr<const std::string>> pictures_;
};

} // namespace vellumix::gpib::sim

#pragma once
// A virtual "++" controller (Prologix GPIB-USB / GPIB-ETHERNET or AR488) with the simulated bus's
// scopes behind it. It runs on its own time line: the host's bytes go in with the time they
// arrive, the adapter's answers come out stamped with the time they reach the host.
#include "gpib/backends/prologix/protocol.h"
#include "gpib/backends/sim/simbus.h"
#include "gpib/clock.h"

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vellumix::simadapter {

using gpib::Clock;
using gpib::prologix::Flavour;

struct AdapterOptions {
    Flavour flavour = Flavour::Prologix;
    bool ethernet = false; // the GPIB-ETHERNET's version text instead of the GPIB-USB's
    double rate = 0;       // bytes per second towards the host; 0 = no limit
    // The scope stops for pauseSeconds after pauseAt bytes of a reply (0 = never), as a TDS does
    // while it renders.
    std::size_t pauseAt = 0;
    double pauseSeconds = 0;
    bool autoRead = false;     // ++auto 1 at power-on, as a previous program may leave it
    std::string pendingOutput; // bytes waiting for the host at start (a reply nobody read)
    std::size_t dropAfter = 0; // the connection breaks after this many bytes to the host (0 = never)
};

// The text ++ver answers (without line end) for these options.
std::string versionText(const AdapterOptions& options);

class AdapterEmulator {
public:
    AdapterEmulator(gpib::sim::Scenario scenario, AdapterOptions options);

    // Bytes from the host, arriving at `at`; `at` never goes back.
    void input(std::string_view bytes, Clock::duration at);
    // When the next byte reaches the host, if any is on its way.
    std::optional<Clock::duration> nextOutputAt() const;
    // Moves every byte that has reached the host by `upTo` into out; returns how many.
    std::size_t takeOutput(Clock::duration upTo, std::string& out);
    // The connection broke (dropAfter) and everything before the break was taken.
    bool dropped() const { return dropping_ && output_.empty(); }

    gpib::sim::SimBus& bus() { return *bus_; }
    // Every "++" command taken, without the "++" (for tests).
    const std::vector<std::string>& commands() const { return commands_; }

private:
    enum class ReadEnd { Eoi, Char, Default };
    void line(const std::string& text, bool command);
    void command(const std::string& text);
    void read(ReadEnd end, unsigned char endChar);
    void serialPoll(int pad, int sad);
    void findListeners(const std::string& args);
    void emit(std::string_view bytes);
    void print(const std::string& text) { emit(text + "\r\n"); }
    void advanceTo(Clock::duration t);
    int32_t descriptor(int pad, int sad);
    int32_t status() const { return sta_; }

    AdapterOptions options_;
    gpib::VirtualClock clock_; // the adapter's and the bus's time
    std::unique_ptr<gpib::sim::SimBus> bus_;
    int32_t sta_ = 0, err_ = 0, cnt_ = 0, cntl_ = 0;
    std::map<std::pair<int, int>, int32_t> descriptors_;

    // Settings.
    int pad_ = 0, sad_ = 0;
    int autoRead_ = 0;
    int mode_ = 1;
    bool eoi_ = true;
    int eos_ = 0;
    bool eotEnable_ = false;
    int eotChar_ = 0;
    int readTimeoutMs_;

    // Host input not yet a whole line.
    std::string pending_;
    bool escaped_ = false;
    bool lineHasEscapes_ = false;

    // Per instrument: bytes of the current reply already read, and when a pause ends.
    std::map<int, std::size_t> replyOffset_;
    std::map<int, bool> paused_;
    Clock::duration pauseEnd_{};

    std::deque<std::pair<Clock::duration, std::string>> output_;
    Clock::duration linkFree_{};
    std::size_t sent_ = 0;
    bool dropping_ = false;
    std::vector<std::string> commands_;
};

} // namespace vellumix::simadapter

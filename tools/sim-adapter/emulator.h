#pragma once
// A virtual "++" controller (Prologix GPIB-USB / GPIB-ETHERNET or AR488) with the simulated bus's
// scopes behind it. It runs on its own time line: the host's bytes go in with the time they
// arrive, the adapter's answers come out stamped with the time they reach the host.
//
// The firmware is a step machine driven by events (a host byte arriving, a GPIB byte ready, a
// read timeout, the end of a busy period), so a host line can meet a read that is still running,
// and a burst can overflow the input buffer while the firmware is busy, as on the real adapters.
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

// The firmware generations whose behaviour differs where a host can see it.
enum class Firmware {
    Ar488_047, // 0.45 - 0.48.03: one host character parsed per GPIB byte during a read
    Ar488_049, // 0.48.07 - 0.49.03: host input untouched during a read
    Ar488_050, // 0.49.11 - 0.50.17: a complete host line stops a read after a byte or a timeout
    Ar488_053, // 0.52.17 - 0.53.04: host input waits for the read's end; ++fndl
    Prologix,  // closed firmware; a host line is taken to stop a read at once (the worst case)
    Immediate, // any adapter where a host line stops a read at once
};

// What a complete host line does to a running ++read eoi (and to a running ++spoll).
enum class ReadAbort {
    CharPerByte, // one host character parsed per GPIB byte; a ++ line stops the read, that byte is lost
    None,        // the line waits until the read ends
    AfterByte,   // checked after every byte and after the timeout; the byte in hand is lost
    AtOnce,      // the read stops when the line is complete
};

// What AR488 prints for a command it does not know.
inline constexpr const char* UnrecognizedCommand = "Unrecognized command";

// What one firmware does, where the emulator models it.
struct FirmwareProfile {
    Firmware firmware;
    Flavour flavour;
    const char* name;    // the --firmware word
    const char* version; // ++ver
    // Host bytes the input buffer holds while the firmware is busy; 0 = as many as come.
    std::size_t inputBuffer;
    // Bytes the firmware's output buffer takes before a print blocks it (0: a print blocks until
    // the bytes have left).
    std::size_t outputBuffer;
    ReadAbort abort;
    bool hasFndl;
    bool hasHelp;
    bool eoiAfterLastByte;      // ++eoi 1 pulses EOI after the last byte instead of with it
    bool mergesQueuedLines;     // lines already waiting when it takes input run together
    bool spollAddressIgnored;   // ++spoll N returns at once and prints nothing
    bool timeoutPrintsLastByte; // a read ended by its timeout prints the last byte again (NUL at first)
    bool echoesVersionString;   // ++setvstr / ++id verstr TEXT print TEXT
    bool unknownIsSilent;       // unknown commands print nothing (else "Unrecognized command")
    const char* badValue;       // what an out-of-range value prints ("" = nothing)
    int readTimeoutMs;          // at power-on
    int maxReadTimeoutMs;
};

const FirmwareProfile& profile(Firmware firmware);
// The firmware a --firmware word names (ar488 = the newest AR488), if any.
std::optional<Firmware> firmwareNamed(std::string_view name);

struct AdapterOptions {
    Flavour flavour = Flavour::Prologix;
    // Which firmware to be; unset: the newest of the flavour (AR488 0.53, Prologix).
    std::optional<Firmware> firmware;
    bool ethernet = false; // over TCP: the GPIB-ETHERNET's version text, no serial input buffer
    double rate = 0;       // bytes per second towards the host; 0 = no limit
    // Bytes per second from the host over the serial line (0: 11,520, i.e. 115200 baud; over
    // TCP they arrive at once).
    double inputRate = 0;
    // The scope stops for pauseSeconds after pauseAt bytes of a reply (0 = never), as a TDS does
    // while it renders.
    std::size_t pauseAt = 0;
    double pauseSeconds = 0;
    bool autoRead = false;     // ++auto 1 at power-on, as a previous program may leave it
    std::string pendingOutput; // bytes waiting for the host at start (a reply nobody read)
    std::size_t dropAfter = 0; // the connection breaks after this many bytes to the host (0 = never)

    Firmware effectiveFirmware() const {
        return firmware.value_or(flavour == Flavour::Ar488 ? Firmware::Ar488_053 : Firmware::Prologix);
    }
};

// The text ++ver answers (without line end) for these options.
std::string versionText(const AdapterOptions& options);

class AdapterEmulator {
public:
    AdapterEmulator(gpib::sim::Scenario scenario, AdapterOptions options);

    // Bytes from the host, arriving at `at`; `at` never goes back.
    void input(std::string_view bytes, Clock::duration at);
    // The host sends nothing before `t`: the firmware runs every event up to it.
    void advanceTo(Clock::duration t);
    // When the firmware's next event is due (a byte, a timeout, the end of a busy period), if it
    // waits for one; nothing when it only waits for the host.
    std::optional<Clock::duration> nextEventAt() const;
    // When the next byte already produced reaches the host, if any.
    std::optional<Clock::duration> nextOutputAt() const;
    // Runs the firmware up to `upTo` and moves every byte that has reached the host by then into
    // out; returns how many.
    std::size_t takeOutput(Clock::duration upTo, std::string& out);
    // The host went away: what was on its way to it is lost.
    void discardOutput() { output_.clear(); }
    // The connection broke (dropAfter) and everything before the break was taken.
    bool dropped() const { return dropping_ && output_.empty(); }

    gpib::sim::SimBus& bus() { return *bus_; }
    const FirmwareProfile& firmware() const { return profile_; }
    // Every "++" command taken, without the "++" (for tests).
    const std::vector<std::string>& commands() const { return commands_; }
    // Host bytes lost because the input buffer was full.
    std::size_t lostInput() const { return lostInput_; }

private:
    enum class ReadEnd { Eoi, Char, Default };
    struct Line {
        std::string text;
        bool command = false;
    };
    // The firmware's line parser: escapes, CR/LF, "++" only when unescaped at the start.
    struct Parser {
        std::string text;
        bool escaped = false;
        bool plusEscaped = false;
        std::optional<Line> feed(char c);
    };
    struct Read {
        ReadEnd end = ReadEnd::Eoi;
        unsigned char endChar = 0;
        Clock::duration lastByte{};
        std::string tail;
        char lastValue = 0; // what a timeout prints again where the firmware does that
        bool checksHost = false;
    };

    void run(Clock::duration until);
    bool stepRead(Clock::duration until);
    void arrive(Clock::duration t);
    std::optional<Line> takeLine();
    std::optional<Clock::duration> lineCompleteAt(Clock::duration before) const;
    void finishRead(bool eoi);

    void line(const Line& l);
    void command(const std::string& text);
    void startRead(ReadEnd end, unsigned char endChar);
    void serialPoll(int pad, int sad);
    void findListeners(const std::string& args);
    void deliver(const std::string& bytes);
    void emit(std::string_view bytes);
    void print(const std::string& text) { emit(text + "\r\n"); }
    void badValue();
    void unknown();
    void busyFor(Clock::duration d);
    void moveClock(Clock::duration t);
    int32_t descriptor(int pad, int sad);

    AdapterOptions options_;
    const FirmwareProfile& profile_;
    mutable gpib::VirtualClock clock_; // the adapter's and the bus's time
    std::unique_ptr<gpib::sim::SimBus> bus_;
    int32_t sta_ = 0, err_ = 0, cnt_ = 0, cntl_ = 0;
    std::map<std::pair<int, int>, int32_t> descriptors_;

    // Settings.
    int pad_ = 1, sad_ = 0;
    int autoRead_ = 0;
    int mode_ = 1;
    bool eoi_ = true;
    int eos_ = 0;
    bool eotEnable_ = false;
    int eotChar_ = 0;
    int readTimeoutMs_;
    std::string versionString_; // ++setvstr / ++id verstr

    // Host bytes on their way (with their arrival), the input buffer, the parser.
    std::deque<std::pair<Clock::duration, char>> wire_;
    std::deque<char> rx_;
    Clock::duration wireFree_{};
    Parser parser_;
    std::optional<Line> ready_; // a line the parser completed during a read
    std::size_t lostInput_ = 0;
    Clock::duration busyUntil_{};
    bool busyAbortable_ = false; // a complete host line ends the busy period (a poll's wait)
    std::optional<Read> read_;

    // Per listener: bytes of a message whose end it has not seen yet.
    std::map<int, std::string> unended_;
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

#pragma once
// GPIB through a "++" controller (Prologix GPIB-USB / GPIB-ETHERNET, AR488) with the results a
// board's driver gives, so that the instrument link works over it unchanged: the adapter is a
// message port under PortDriver, which does the descriptor and argument checks.
#include "gpib/backends/pipe.h"
#include "gpib/backends/port.h"
#include "gpib/backends/prologix/protocol.h"
#include "gpib/clock.h"
#include "gpib/driver.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vellumix::gpib::prologix {

// The controller behind the message port: what goes over the pipe for each call, and how replies
// are told apart from the adapter's own lines.
class PrologixAdapter final : public MessagePort {
public:
    PrologixAdapter(std::unique_ptr<BytePipe> pipe, Clock& clock);

    // Puts the controller into the state the driver relies on and learns its firmware from ++ver.
    // False, with a message, when nothing answers like a controller.
    bool connect(std::string& error);
    Flavour flavour() const { return firmware_.flavour; }
    const Firmware& firmware() const { return firmware_; }
    const std::string& version() const { return version_; }
    // The adapter's own text lines met so far ("Unrecognized command", banners): never a reply.
    const std::vector<std::string>& adapterLines() const { return adapterLines_; }

    CallStatus interfaceClear() override;
    std::optional<int16_t> beginSearch(const std::vector<int>& pads) override;
    bool answers(int pad) override { return present_[static_cast<std::size_t>(pad)]; }
    CallStatus clear(const Descriptor& d) override;
    CallStatus serialPoll(const Descriptor& d, char& statusByte) override;
    CallStatus write(const Descriptor& d, std::string_view message) override;
    CallStatus read(const Descriptor& d, char* buf, int32_t count) override;
    std::optional<CallStatus> changeTimeout(const Descriptor&, int) override { return std::nullopt; }
    // A read in progress ends within CancelCheck with ERR, EABO; so do later reads, polls and
    // clears until clearCancel(). The adapter's read runs on by itself: the next command waits for
    // it and drops its tail (settle). Writes still go out, after that wait; a cancel during that
    // wait fails the write with ERR, EABO instead, and the next command waits for the rest.
    void cancel() override { cancelled_.store(true); }
    void clearCancel() override { cancelled_.store(false); }

    // Silence after a possible end character before it is judged (see prologixread.cpp). Longer
    // than an FTDI chip's 16 ms latency timer, so a steady stream never looks quiet.
    static constexpr Clock::duration Quiet = std::chrono::milliseconds(25);
    // ++read_tmo_ms of a serial poll while scanning the bus (pyvisa-py's choice too).
    static constexpr int ScanPollMs = 50;
    // The adapter's read timeout follows the descriptor's within these. Long enough that a scope's
    // usual pauses (rendering before or inside a picture) end inside one ++read, so that no command
    // has to follow while a slow adapter may still be reading; short enough that an end the message
    // cannot tell (two such timeouts) stays bearable. A longer pause is read on with a new ++read.
    static constexpr int MinReadTimeoutMs = 500;
    static constexpr int MaxReadTimeoutMs = 3000;
    // How long the answer to ++ver after a poll's silence is awaited: a late answer (a slow adapter,
    // a network hiccup) arrives before it and still counts for that poll, never for the next.
    static constexpr Clock::duration LateAnswerWait = std::chrono::seconds(5);
    // The longest a read waits for bytes before it looks for a cancel again.
    static constexpr Clock::duration CancelCheck = std::chrono::milliseconds(100);

private:
    // One message being read through the adapter.
    struct Read {
        bool active = false;
        int pad = -1;
        int sad = -1;
        bool ended = false;                   // END seen: the bytes from pos on are the rest of the message
        bool running = false;                 // a ++read may still be running on the adapter
        bool confirming = false;              // this ++read asks whether the held EotChar was EOI
        bool dataHeld = false;                // the held EotChar was judged data by the picture's structure
        std::size_t judged = 0;               // size of data when its trailing EotChar was last judged
        std::size_t echo = std::string::npos; // a lone byte that may be the firmware's timeout echo
        std::size_t readFrom = 0;             // where the running ++read's bytes begin
        std::string data;                     // the whole message so far; bytes before pos are handed out
        std::size_t pos = 0;
        Clock::duration issuedAt{};
        Clock::duration lastByteAt{};
    };
    enum class End { Eoi, Data, Undecided };

    Clock::duration hostTimeout(const Descriptor& d) const;
    int adapterReadTimeoutMs(const Descriptor& d) const;
    // When a read or poll that the adapter times out after `ms` has certainly stopped, counted from
    // the last sign of it: the adapter's clock may run slow, the link adds its round trip.
    Clock::duration stopWait(int ms) const;

    // Sends bytes the adapter will take: at most InputBudget unanswered in flight, so nothing is
    // lost while it is busy, and no line behind one that keeps it busy on the bus (a clear, a
    // write): older AR488 firmware runs lines that wait together into one.
    bool send(std::string_view bytes, bool keepsBusy = false);
    // One line onto the pipe; on firmware that runs waiting lines together, only after the gap.
    bool sendLine(std::string_view bytes);
    void waitLineGap();
    // Sends ++ver and waits for its answer: the adapter has then taken everything before it. The
    // lines that came first go to `lines` (the answers to commands, the adapter's own texts).
    bool sync(std::vector<std::string>* lines = nullptr, Clock::duration wait = {});
    bool selectDevice(int pad, int sad);
    bool setAdapterTimeout(int ms);
    bool setUp(std::string& error);
    // Waits until whatever the adapter was doing for an earlier exchange is over and drops what it
    // left: an unread reply, a read that runs on, stray bytes. Sends nothing meanwhile. False when
    // a cancel ended the wait first: the adapter may still be reading.
    bool settle();
    void dropPending();
    // Waits for one line answering a serial poll (a number 0-255); other lines are the adapter's.
    // After the adapter's timeout, a ++ver tells a late answer from none.
    std::optional<int> pollAnswer(Clock::duration deadline);
    bool receiveLine(std::string& pending, std::string& line, Clock::duration deadline);
    // A call that could not reach the adapter: `status` with EABO, nothing moved.
    static CallStatus lostCall(int32_t status) { return {status, EABO, 0}; }
    void scanWithSerialPolls(const std::vector<int>& pads, std::vector<bool>& present);
    bool scanWithFindListeners(const std::vector<int>& pads, std::vector<bool>& present);

    // pipe_->receive until `deadline`, waiting in pieces of at most CancelCheck with clock_.idle()
    // after each; the outcome is the same as one wait's. stopOnCancel: a cancel ends it early (as
    // a Timeout before the deadline).
    BytePipe::Received receive(std::string& out, Clock::duration deadline, bool stopOnCancel = false);

    // The read (prologixread.cpp).
    std::size_t readable() const;
    bool step(Clock::duration deadline);
    End judgeEnd() const;
    void endAtHeldByte();
    void readTimedOut();
    Clock::duration readStopWait() const;

    std::unique_ptr<BytePipe> pipe_;
    Clock& clock_;
    Firmware firmware_;
    std::string version_;
    std::string marker_; // the ++ver reply as it arrives, line end included
    std::vector<std::string> adapterLines_;
    Clock::duration roundTrip_{};
    std::size_t inFlight_ = 0; // bytes sent since the adapter was last known idle
    bool busy_ = false;        // the last line sent keeps the adapter busy on the bus
    bool syncFailed_ = false;  // the last ++ver went unanswered
    int addrPad_ = -1;
    int addrSad_ = -1;
    int adapterTimeoutMs_ = -1;
    int readTimeoutMs_ = MinReadTimeoutMs; // the running read's
    bool lost_ = false;
    Clock::duration lastLineAt_{}; // when the last line went out
    Read read_;
    std::vector<bool> present_ = std::vector<bool>(MaxPrimaryAddress + 1, false); // the last search's finds
    std::atomic<bool> cancelled_{false};
};

class PrologixDriver final : public PortDriver {
public:
    PrologixDriver(std::unique_ptr<BytePipe> pipe, Clock& clock)
        : PortDriver(adapter_), adapter_(std::move(pipe), clock) {}

    // Puts the controller into the state the driver relies on and learns its firmware from ++ver.
    // False, with a message, when nothing answers like a controller.
    bool connect(std::string& error) { return adapter_.connect(error); }
    Flavour flavour() const { return adapter_.flavour(); }
    const Firmware& firmware() const { return adapter_.firmware(); }
    const std::string& version() const { return adapter_.version(); }
    const std::vector<std::string>& adapterLines() const { return adapter_.adapterLines(); }

private:
    PrologixAdapter adapter_;
};

} // namespace vellumix::gpib::prologix

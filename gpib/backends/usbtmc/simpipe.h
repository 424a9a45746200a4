#pragma once
// The simulated side of the USBTMC port: the scenario's instruments as /dev/usbtmcN nodes (the one
// at address A is usbtmc(A-1)), with the kernel driver's message semantics: a read returns at the
// end of the message or when the count is reached, nothing queued is ETIMEDOUT after the file's
// timeout, a timeout below 100 ms is EINVAL.
#include "gpib/backends/simscope/instrument.h"
#include "gpib/backends/simscope/scenario.h"
#include "gpib/backends/usbtmc/pipe.h"
#include "gpib/clock.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace vellumix::gpib::usbtmc {

class SimUsbtmcPipe final : public UsbtmcPipe {
public:
    SimUsbtmcPipe(const sim::Scenario& scenario, Clock& clock);

    std::vector<std::string> listDevices() override;
    bool simulated() const override { return true; }
    int open(const std::string& path) override;
    void close(int fd) override;
    long write(int fd, const char* buf, std::size_t n) override;
    long read(int fd, char* buf, std::size_t n) override;
    int lastReadEnded(int fd, bool& eom) override;
    int clear(int fd) override;
    int readStatusByte(int fd, unsigned char& stb) override;
    int setTimeout(int fd, uint32_t ms) override;
    int cancelIo(int fd) override;

    // Unplugs a node (present = false): its open files fail with ENODEV for good, as the kernel's
    // do, and it is no longer listed; plugging it back lists it again for new opens.
    void setPresent(const std::string& path, bool present);

    // The instrument behind a node, or nullptr.
    sim::SimInstrument* instrument(const std::string& path);
    // The timeout a file has now, in milliseconds (0 for an unknown file).
    uint32_t timeoutOf(int fd) const;

    static constexpr int FirstFd = 3;

private:
    struct Node {
        std::string path;
        std::unique_ptr<sim::SimInstrument> instrument;
        bool present = true;
        int generation = 0; // counts unplugs: files of an older one are dead
    };
    struct File {
        sim::SimInstrument* instrument = nullptr;
        Node* node = nullptr;
        int generation = 0;
        uint32_t timeoutMs = DefaultTimeoutMs;
        bool eom = false;
    };
    // The open file, or nullptr; dead: the device went away since it was opened.
    File* file(int fd);
    static bool dead(const File& f) { return !f.node->present || f.generation != f.node->generation; }
    // Lets the file's timeout pass, as the kernel waits for a bulk transfer that does not come; a
    // read (reading) ends early at a cancel, as cancelIo ends the kernel's.
    long timedOut(const File& f, bool reading = false);
    // Set by cancelIo: the paced read in progress ends (until the next clear).
    std::atomic<bool> cancelled_{false};

    double rate_ = 0;
    double latency_ = 0;
    double hardcopyLatency_ = 0;
    Clock& clock_;
    std::vector<Node> nodes_;
    std::vector<std::unique_ptr<File>> files_; // fd - FirstFd; closed ones are null
};

} // namespace vellumix::gpib::usbtmc

#include "gpib/backends/usbtmc/simpipe.h"

#include "gpib/backends/simscope/pacing.h"
#include "gpib/status.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace vellumix::gpib::usbtmc {

namespace {
// The picture comes back over the connection the scope is reached by.
constexpr const char* UsbPort = "USB";
} // namespace

SimUsbtmcPipe::SimUsbtmcPipe(const sim::Scenario& scenario, Clock& clock)
    : rate_(scenario.rate), latency_(scenario.latency),
      hardcopyLatency_(scenario.hardcopyLatency.value_or(scenario.latency)), clock_(clock) {
    std::vector<const sim::InstrumentSetup*> setups;
    for (const auto& setup : scenario.instruments)
        setups.push_back(&setup);
    std::stable_sort(setups.begin(), setups.end(),
                     [](const auto* a, const auto* b) { return a->address < b->address; });
    for (const sim::InstrumentSetup* setup : setups) {
        const std::string path = "/dev/usbtmc" + std::to_string(setup->address - 1);
        if (setup->address < 1 || instrument(path)) continue;
        auto in = std::make_unique<sim::SimInstrument>(*setup);
        in->setConnectionPort(UsbPort);
        Node& node = nodes_.emplace_back();
        node.path = path;
        node.instrument = std::move(in);
    }
}

std::vector<std::string> SimUsbtmcPipe::listDevices() {
    std::vector<std::string> paths;
    for (const Node& n : nodes_)
        if (n.present) paths.push_back(n.path);
    return paths;
}

void SimUsbtmcPipe::setPresent(const std::string& path, bool present) {
    for (Node& n : nodes_) {
        if (n.path != path || n.present == present) continue;
        n.present = present;
        if (!present) {
            ++n.generation;
            n.instrument->clearOutput();
        }
    }
}

sim::SimInstrument* SimUsbtmcPipe::instrument(const std::string& path) {
    for (Node& n : nodes_)
        if (n.path == path) return n.instrument.get();
    return nullptr;
}

SimUsbtmcPipe::File* SimUsbtmcPipe::file(int fd) {
    const long i = static_cast<long>(fd) - FirstFd;
    if (i < 0 || i >= static_cast<long>(files_.size())) return nullptr;
    return files_[static_cast<std::size_t>(i)].get();
}

uint32_t SimUsbtmcPipe::timeoutOf(int fd) const {
    const long i = static_cast<long>(fd) - FirstFd;
    if (i < 0 || i >= static_cast<long>(files_.size()) || !files_[static_cast<std::size_t>(i)]) return 0;
    return files_[static_cast<std::size_t>(i)]->timeoutMs;
}

long SimUsbtmcPipe::timedOut(const File& f, bool reading) {
    // In steps, idle between them, as the driver's wait on the kernel is; a read ends at a cancel.
    const Clock::duration step = std::chrono::milliseconds(10);
    for (const auto end = clock_.now() + std::chrono::milliseconds(f.timeoutMs);;) {
        if (reading && cancelled_.load()) return -ECANCELED;
        const auto now = clock_.now();
        if (now >= end) return -ETIMEDOUT;
        clock_.sleepFor(std::min(step, end - now));
        clock_.idle();
    }
}

int SimUsbtmcPipe::open(const std::string& path) {
    Node* node = nullptr;
    for (Node& n : nodes_)
        if (n.path == path && n.present) node = &n;
    if (!node) return -ENOENT;
    auto f = std::make_unique<File>();
    f->instrument = node->instrument.get();
    f->node = node;
    f->generation = node->generation;
    files_.push_back(std::move(f));
    return FirstFd + static_cast<int>(files_.size()) - 1;
}

void SimUsbtmcPipe::close(int fd) {
    if (file(fd)) files_[static_cast<std::size_t>(fd - FirstFd)].reset();
}

long SimUsbtmcPipe::write(int fd, const char* buf, std::size_t n) {
    File* f = file(fd);
    if (!f) return -EBADF;
    if (dead(*f)) return -ENODEV;
    if (n > 0 && !buf) return -EFAULT;
    const std::string_view message(buf ? buf : "", n);
    if (const sim::Fault* fault = f->instrument->takeWriteFault(message))
        return fault->iberr == EABO ? timedOut(*f) : -EIO;
    sim::receiveTimed(*f->instrument, clock_, message, latency_, hardcopyLatency_);
    return static_cast<long>(n);
}

long SimUsbtmcPipe::read(int fd, char* buf, std::size_t n) {
    File* f = file(fd);
    if (!f) return -EBADF;
    if (dead(*f)) return -ENODEV;
    if (n > 0 && !buf) return -EFAULT;
    f->eom = false;
    sim::SimInstrument* in = f->instrument;
    if (in->silent() || !in->pending().active()) return timedOut(*f, true);
    if (n == 0) return 0;
    sim::PendingReply& r = in->pending();
    ++r.reads;
    if (const sim::Fault* fault = in->takeReadFault())
        return fault->kind == sim::Fault::Kind::ReadTimeout ? timedOut(*f, true) : -EIO;

    const auto timeout = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(f->timeoutMs));
    // The kernel gives up on a transfer that outlasts the timeout; what it carried is lost.
    const sim::PacedRead got =
        sim::readPaced(*in, clock_, rate_, timeout, buf, n, sim::LateTransfer::LoseAll, &cancelled_);
    if (got.outcome == sim::PacedRead::Outcome::Cancelled) return -ECANCELED;
    if (got.outcome != sim::PacedRead::Outcome::Done) return timedOut(*f, true);
    f->eom = got.end;
    return static_cast<long>(got.count);
}

int SimUsbtmcPipe::lastReadEnded(int fd, bool& eom) {
    const File* f = file(fd);
    if (!f) return -EBADF;
    eom = f->eom;
    return 0;
}

int SimUsbtmcPipe::cancelIo(int fd) {
    (void)fd;
    cancelled_.store(true);
    return 0;
}

int SimUsbtmcPipe::clear(int fd) {
    File* f = file(fd);
    if (!f) return -EBADF;
    if (dead(*f)) return -ENODEV;
    cancelled_.store(false);
    f->instrument->clearOutput();
    return 0;
}

int SimUsbtmcPipe::readStatusByte(int fd, unsigned char& stb) {
    File* f = file(fd);
    if (!f) return -EBADF;
    if (dead(*f)) return -ENODEV;
    stb = f->instrument->pending().active() ? 0x10 : 0; // MAV while a reply waits
    return 0;
}

int SimUsbtmcPipe::setTimeout(int fd, uint32_t ms) {
    File* f = file(fd);
    if (!f) return -EBADF;
    if (dead(*f)) return -ENODEV;
    if (ms < MinTimeoutMs) return -EINVAL;
    if (f->instrument->takeTimeoutSetFault()) return -EIO;
    f->timeoutMs = ms;
    return 0;
}

} // namespace vellumix::gpib::usbtmc

// What the kernel's usbtmc driver answers, as the USBTMC backend takes it: device lists, opens,
// read sizes, end-of-message flags, status bytes and errno values, all from the input, through a
// whole capture (open, scan, clear, write, read in 512-byte pieces, serial poll) done twice.
#include "gpib/backends/boardless.h"
#include "gpib/backends/usbtmc/usbtmcdriver.h"
#include "gpib/status.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace vellumix::gpib;

namespace {

class Input {
public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

constexpr int kErrnos[] = {ETIMEDOUT, ENODEV, EIO,       EPIPE,     ENOENT,     EACCES,   EPERM,
                           ENOTTY,    EINVAL, ENXIO,     EBUSY,     EAGAIN,     EINTR,    ENOMEM,
                           EOVERFLOW, EPROTO, ESHUTDOWN, EREMOTEIO, ECONNRESET, EMSGSIZE, 200};

// A byte from 0xC0 on is a failure with one of the errno values above; below, success.
int failure(uint8_t b) {
    return b >= 0xC0 ? -kErrnos[(b - 0xC0) % std::size(kErrnos)] : 0;
}

class ScriptedPipe final : public usbtmc::UsbtmcPipe {
public:
    explicit ScriptedPipe(Input& in) : in_(in) {}
    ~ScriptedPipe() override {
        if (!open_.empty()) __builtin_trap(); // a file the driver never closed
    }

    std::vector<std::string> listDevices() override {
        std::vector<std::string> paths;
        // Mostly a few nodes; now and then more than there are addresses.
        const uint8_t count = in_.byte();
        for (int n = count < 0xF8 ? count % 5 : 32 + (count & 7); n > 0; --n) {
            const uint8_t b = in_.byte();
            static const char* const odd[] = {"/dev/usbtmc", "/dev/ttyUSB0", "/dev/usbtmc0007",
                                              "/dev/usbtmc99999"};
            paths.push_back(b < 0xF0 ? "/dev/usbtmc" + std::to_string((b + n) % 64)
                                     : odd[b % std::size(odd)]);
        }
        return paths;
    }
    int open(const std::string&) override {
        if (const int e = failure(in_.byte())) return e;
        open_.insert(nextFd_);
        return nextFd_++;
    }
    void close(int fd) override {
        if (open_.erase(fd) != 1) __builtin_trap(); // closed twice, or never opened
    }
    long write(int fd, const char* buf, std::size_t n) override {
        use(fd);
        if (n > 0 && !buf) __builtin_trap();
        const uint8_t b = in_.byte();
        if (const int e = failure(b)) return e;
        return b >= 0xB0 ? static_cast<long>(n / 2) : static_cast<long>(n); // now and then a short write
    }
    long read(int fd, char* buf, std::size_t n) override {
        use(fd);
        if (n > 0 && !buf) __builtin_trap();
        const uint8_t b = in_.byte();
        if (const int e = failure(b)) return e;
        const std::size_t size = b >= 0x80 ? n : std::min<std::size_t>(n, static_cast<std::size_t>(b) * 8);
        for (std::size_t i = 0; i < size; ++i)
            buf[i] = static_cast<char>(i);
        return static_cast<long>(size);
    }
    int lastReadEnded(int fd, bool& eom) override {
        use(fd);
        const uint8_t b = in_.byte();
        eom = (b & 1) != 0;
        return failure(b);
    }
    int clear(int fd) override {
        use(fd);
        return failure(in_.byte());
    }
    int readStatusByte(int fd, unsigned char& stb) override {
        use(fd);
        stb = in_.byte();
        return failure(in_.byte());
    }
    int setTimeout(int fd, uint32_t ms) override {
        use(fd);
        if (ms < usbtmc::MinTimeoutMs) __builtin_trap(); // the kernel refuses it
        return failure(in_.byte());
    }

private:
    void use(int fd) const {
        if (open_.count(fd) == 0) __builtin_trap();
    }
    Input& in_;
    std::set<int> open_;
    int nextFd_ = 3;
};

struct Words {
    int32_t sta = 0, err = 0, cnt = 0, cntl = 0;
    bool failed() const { return (sta & ERR) != 0; }
    // A failed system call reports its errno value as the count.
    bool countWithin(int32_t most) const {
        if (cnt != cntl) return false;
        if (failed() && err == EDVR) return cntl >= 0 && cntl <= 4095;
        return cntl >= 0 && cntl <= most;
    }
};

void scan(usbtmc::UsbtmcDriver& driver, Words& w, int32_t limit) {
    std::vector<uint16_t> addresses;
    for (uint16_t a = 1; a <= 30; ++a)
        addresses.push_back(a);
    addresses.push_back(0xFFFF);
    std::vector<uint16_t> results(32, 0xEEEE);
    driver.FindLstn(0, addresses.data(), results.data(), limit);
    if (!w.countWithin(limit)) __builtin_trap();
    if (!w.failed() || w.err == ETAB) {
        for (int32_t i = 0; i < w.cntl; ++i) {
            const uint16_t a = results[static_cast<std::size_t>(i)];
            if (a < 1 || a > 30 || driver.deviceAt(a).empty()) __builtin_trap();
            if (i > 0 && a <= results[static_cast<std::size_t>(i) - 1]) __builtin_trap();
        }
    }
    for (std::size_t i = static_cast<std::size_t>(std::max(w.cntl, limit)); i < results.size(); ++i)
        if (results[i] != 0xEEEE) __builtin_trap();
    // One address per device node.
    std::set<std::string> paths;
    for (int a = 1; a <= 30; ++a)
        if (const std::string p = driver.deviceAt(a); !p.empty() && !paths.insert(p).second) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Input in(data, size);
    const uint8_t settings = in.byte();
    const std::string only = (settings & 1) ? "/dev/usbtmc" + std::to_string((settings >> 1) & 7) : "";
    usbtmc::UsbtmcDriver driver(std::make_unique<ScriptedPipe>(in), only);
    Words w;
    driver.RegisterGpibGlobalsForThread(&w.sta, &w.err, &w.cnt, &w.cntl);
    (void)driver.openDevices(); // the backend stops on an error here; the driver must cope anyway

    for (int round = 0; round < 2; ++round) {
        scan(driver, w, in.byte() & 0x1F);
        const int pad = 1 + in.byte() % 30;
        const int32_t ud = driver.ibdev(0, pad, 0, in.byte() % 18, 1, 0);
        if (ud < DescriptorTable::FirstDescriptor) __builtin_trap();
        driver.ibtmo(ud, in.byte() % 18);
        if (!w.countWithin(0)) __builtin_trap();
        driver.ibclr(ud);
        if (!w.countWithin(0)) __builtin_trap();
        const std::string command = "HARDCOPY START";
        driver.ibwrt(ud, command.data(), static_cast<int32_t>(command.size()));
        if (!w.countWithin(static_cast<int32_t>(command.size()))) __builtin_trap();
        char buf[512 + 16];
        for (int i = 0; i < 64; ++i) {
            std::fill(std::begin(buf), std::end(buf), '\xA5');
            driver.ibrd(ud, buf, 512);
            if (!w.countWithin(512)) __builtin_trap();
            for (std::size_t j = 512; j < sizeof buf; ++j)
                if (buf[j] != '\xA5') __builtin_trap();
            // A failed system call is explained; only a missing device (ENOL) needs no words.
            if (w.failed() && w.err != ENOL && driver.failureDetail().empty()) __builtin_trap();
            if (w.sta & (ERR | END)) break;
        }
        char spr = 0;
        driver.ibrsp(ud, &spr);
        if (!w.countWithin(1)) __builtin_trap();
    }
    return 0;
}

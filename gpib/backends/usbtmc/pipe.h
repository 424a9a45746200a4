#pragma once
// The kernel's usbtmc character devices as the USBTMC backend uses them: list, open, write one
// message, read, and the ioctls that stand in for GPIB operations. The real side talks to
// /dev/usbtmcN; the simulated side puts simulated scopes behind the same message semantics.
// Every call returns a result >= 0 or a negative errno value, as the system calls do.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vellumix::gpib::usbtmc {

// The kernel driver's per-file timeout: what it starts with, and the least it accepts.
inline constexpr uint32_t DefaultTimeoutMs = 5000;
inline constexpr uint32_t MinTimeoutMs = 100;

class UsbtmcPipe {
public:
    virtual ~UsbtmcPipe() = default;

    // The usbtmc device nodes present, in the order of their numbers (usbtmc0, usbtmc1, ...).
    virtual std::vector<std::string> listDevices() = 0;
    // Simulated scopes rather than the kernel's devices: an empty list then means the scenario has
    // none, not that a cable or the kernel module is missing.
    virtual bool simulated() const { return false; }
    // A file descriptor, or -errno. A node that is not a usbtmc device gives -ENOTTY.
    virtual int open(const std::string& path) = 0;
    virtual void close(int fd) = 0;
    // Sends one message, EOM on its last transfer; returns n or -errno.
    virtual long write(int fd, const char* buf, std::size_t n) = 0;
    // Reads up to n bytes; returns once the device's message ended (EOM) or n bytes came.
    // Nothing to read within the timeout gives -ETIMEDOUT.
    virtual long read(int fd, char* buf, std::size_t n) = 0;
    // Whether the last read ended with the device's end of message (MSG_IN_ATTR bit 0); 0 or -errno.
    virtual int lastReadEnded(int fd, bool& eom) = 0;
    // Device clear (USBTMC_IOCTL_CLEAR): drops what the device has not sent yet.
    virtual int clear(int fd) = 0;
    // Status byte (USBTMC488_IOCTL_READ_STB).
    virtual int readStatusByte(int fd, unsigned char& stb) = 0;
    // The file's timeout in milliseconds (USBTMC_IOCTL_SET_TIMEOUT); below MinTimeoutMs: -EINVAL.
    virtual int setTimeout(int fd, uint32_t ms) = 0;
    // Ends the read in progress on fd at once (USBTMC_IOCTL_CANCEL_IO): it returns -ECANCELED.
    // Called from another thread or a signal handler; 0 or -errno.
    virtual int cancelIo(int fd) {
        (void)fd;
        return 0;
    }
};

// The real side over the device nodes in `deviceDir` ("/dev" but for tests).
std::unique_ptr<UsbtmcPipe> createDevicePipe(std::string deviceDir = "/dev");

// The number N of a node named usbtmcN (any folder), or -1.
int deviceNumber(const std::string& path);

} // namespace vellumix::gpib::usbtmc

// The real side of the USBTMC port: system calls on /dev/usbtmcN.
#include "gpib/backends/usbtmc/pipe.h"

#include <linux/usb/tmc.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <utility>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumix::gpib::usbtmc {

namespace {

int failed() {
    return errno > 0 ? -errno : -EIO;
}

class DevicePipe final : public UsbtmcPipe {
public:
    explicit DevicePipe(std::string dir) : dir_(std::move(dir)) {}

    std::vector<std::string> listDevices() override {
        std::vector<std::pair<int, std::string>> found;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir_, ec)) {
            const std::string path = entry.path().string();
            if (const int n = deviceNumber(path); n >= 0) found.emplace_back(n, path);
        }
        std::sort(found.begin(), found.end());
        std::vector<std::string> paths;
        for (auto& f : found)
            paths.push_back(std::move(f.second));
        return paths;
    }

    int open(const std::string& path) override {
        // Non-blocking for the open alone: a FIFO or a serial line named by mistake must not hang it.
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return failed();
        struct stat st {};
        uint32_t timeout = 0;
        int result = 0;
        if (::fstat(fd, &st) != 0)
            result = failed();
        else if (!S_ISCHR(st.st_mode))
            result = -ENOTTY;
        else if (::ioctl(fd, USBTMC_IOCTL_GET_TIMEOUT, &timeout) != 0)
            result = failed(); // another kind of character device: ENOTTY
        else if (const int flags = ::fcntl(fd, F_GETFL);
                 flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0)
            result = failed();
        if (result < 0) {
            ::close(fd);
            return result;
        }
        return fd;
    }

    void close(int fd) override { ::close(fd); }

    long write(int fd, const char* buf, std::size_t n) override {
        const ssize_t r = ::write(fd, buf, n);
        return r < 0 ? failed() : static_cast<long>(r);
    }

    long read(int fd, char* buf, std::size_t n) override {
        // One blocking read, not cut into pieces for the clock's idle(): a read that times out
        // aborts the bulk transfer and loses what it carried. Only cancelIo ends it early.
        const ssize_t r = ::read(fd, buf, n);
        return r < 0 ? failed() : static_cast<long>(r);
    }

    int lastReadEnded(int fd, bool& eom) override {
        uint8_t attr = 0;
        if (::ioctl(fd, USBTMC_IOCTL_MSG_IN_ATTR, &attr) != 0) return failed();
        eom = (attr & 1) != 0;
        return 0;
    }

    int cancelIo(int fd) override {
#ifdef USBTMC_IOCTL_CANCEL_IO
        return ::ioctl(fd, USBTMC_IOCTL_CANCEL_IO) != 0 ? -errno : 0;
#else
        (void)fd;
        return -ENOTTY; // an older kernel: the read ends at its timeout
#endif
    }
    int clear(int fd) override {
        return ::ioctl(fd, USBTMC_IOCTL_CLEAR) != 0 ? failed() : 0;
    }

    int readStatusByte(int fd, unsigned char& stb) override {
        return ::ioctl(fd, USBTMC488_IOCTL_READ_STB, &stb) != 0 ? failed() : 0;
    }

    int setTimeout(int fd, uint32_t ms) override {
        return ::ioctl(fd, USBTMC_IOCTL_SET_TIMEOUT, &ms) != 0 ? failed() : 0;
    }

private:
    std::string dir_;
};

} // namespace

std::unique_ptr<UsbtmcPipe> createDevicePipe(std::string deviceDir) {
    return std::make_unique<DevicePipe>(std::move(deviceDir));
}

} // namespace vellumix::gpib::usbtmc

#include "gpib/backends/prologix/pipes.h"

#include "gpib/backends/port.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace vellumix::gpib::prologix {

namespace {

class FdPipe final : public BytePipe {
public:
    FdPipe(int fd, Clock& clock) : fd_(fd), clock_(clock) {}
    ~FdPipe() override { ::close(fd_); }
    FdPipe(const FdPipe&) = delete;
    FdPipe& operator=(const FdPipe&) = delete;

    bool send(std::string_view bytes) override {
        if (closed_) return false;
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // The adapter holds us off (full USB buffer): wait, but not for ever.
                pollfd p{fd_, POLLOUT, 0};
                if (::poll(&p, 1, 5000) <= 0 || (p.revents & (POLLERR | POLLHUP))) break;
                continue;
            }
            break;
        }
        if (!bytes.empty()) closed_ = true;
        return !closed_;
    }

    Received receive(std::string& out, Clock::duration deadline) override {
        if (closed_) return Received::Closed;
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_.now()).count();
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 0, 60'000)));
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) break;
            if (ready == 0) {
                if (clock_.now() >= deadline) return Received::Timeout;
                continue;
            }
            char buffer[16384];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) {
                out.append(buffer, static_cast<std::size_t>(n));
                return Received::Data;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            break; // 0 = the peer closed; EIO = the serial device went away
        }
        closed_ = true;
        return Received::Closed;
    }

private:
    int fd_;
    Clock& clock_;
    bool closed_ = false;
};

std::string groupOf(const std::string& device) {
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) return {};
    if (const group* g = ::getgrgid(st.st_gid)) return g->gr_name;
    return std::to_string(st.st_gid);
}

DeviceOpenHints serialOpenHints(const std::string& device) {
    DeviceOpenHints hints{
        "serial device",
        "Is the GPIB controller plugged in, and is this its name? (ls /dev/ttyUSB* /dev/ttyACM* lists "
        "the serial devices.)",
        {},
        "A USB GPIB controller appears as a serial device such as /dev/ttyUSB0 or /dev/ttyACM0.",
    };
    // Serial devices belong to a group (dialout on Debian, uucp on Arch) whose members may open them.
    if (const std::string group = groupOf(device); !group.empty())
        hints.whenDenied = "Members of the group \"" + group +
                           "\" may: add yourself with  sudo usermod -aG " + group +
                           " $USER  and log in again.";
    return hints;
}

} // namespace

std::unique_ptr<BytePipe> openSerialPipe(const std::string& device, Clock& clock, OpenFailure& failure) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        failure.message = deviceOpenFailure(device, errno, serialOpenHints(device));
        return nullptr;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
        ::cfsetispeed(&tio, B115200);
        ::cfsetospeed(&tio, B115200);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        ::tcsetattr(fd, TCSANOW, &tio);
    } else if (errno == ENOTTY) {
        ::close(fd);
        failure.message = deviceOpenFailure(device, ENOTTY, serialOpenHints(device));
        return nullptr;
    }
    return std::make_unique<FdPipe>(fd, clock);
}

std::unique_ptr<BytePipe> openTcpPipe(const std::string& host, int port, Clock::duration connectTimeout,
                                      Clock& clock, OpenFailure& failure) {
    const std::string where = host + " port " + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        failure.message =
            "The GPIB controller's host name " + host + " is unknown: " + ::gai_strerror(rc) + ".";
        return nullptr;
    }
    std::string why = "no address to try";
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            why = errno == ECONNREFUSED ? "connection refused (is the controller's port right?)"
                                        : std::strerror(errno);
            ::close(fd);
            fd = -1;
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(connectTimeout).count();
        int ready;
        do {
            ready = ::poll(&p, 1, static_cast<int>(ms));
        } while (ready < 0 && errno == EINTR);
        int soError = 0;
        socklen_t len = sizeof soError;
        if (ready == 0) {
            why = "no answer within " + std::to_string(ms / 1000) + " s (is the host on and reachable?)";
        } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError != 0) {
            why = soError == ECONNREFUSED ? "connection refused (is the controller's port right?)"
                                          : std::strerror(soError);
        } else {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one); // commands are short
            break;
        }
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        failure.message = "Could not connect to the GPIB controller at " + where + ": " + why + ".";
        return nullptr;
    }
    return std::make_unique<FdPipe>(fd, clock);
}

} // namespace vellumix::gpib::prologix

// Every socket call of the VXI-11 client, POSIX flavour: name resolution, a connect that ends at
// its deadline, sends and receives with poll(), and a pipe that wakes a waiting receive.
#include "gpib/backends/vxi11/net.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vellumix::gpib::vxi11 {

namespace {

// Milliseconds until the deadline for poll(), at least 0, at most a second at a time so a clock
// that is not the system's still gets looked at.
int waitMs(Clock& clock, Clock::duration deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock.now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1000));
}

NetError fromErrno(int e) {
    NetError error;
    switch (e) {
    case ECONNREFUSED:
        error.kind = NetError::Kind::Refused;
        break;
    case ETIMEDOUT:
        error.kind = NetError::Kind::Timeout;
        break;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
        error.kind = NetError::Kind::Unreachable;
        break;
    default:
        error.kind = NetError::Kind::Other;
        break;
    }
    error.text = std::strerror(e);
    return error;
}

struct AddrList {
    addrinfo* list = nullptr;
    ~AddrList() {
        if (list) ::freeaddrinfo(list);
    }
};

bool resolve(const std::string& host, int port, int type, AddrList& out, NetError& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    const std::string service = std::to_string(port);
    const int r = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &out.list);
    if (r == 0) return true;
    error.kind = r == EAI_SYSTEM ? fromErrno(errno).kind : NetError::Kind::Unresolved;
    error.text = r == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(r);
    return false;
}

class SocketStream final : public Stream {
public:
    SocketStream(int fd, Clock& clock) : fd_(fd), clock_(clock) {
        if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
    }
    ~SocketStream() override {
        ::close(fd_);
        if (wake_[0] >= 0) ::close(wake_[0]);
        if (wake_[1] >= 0) ::close(wake_[1]);
    }

    bool send(std::string_view bytes) override {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p{fd_, POLLOUT, 0};
                if (::poll(&p, 1, 1000) < 0 && errno != EINTR) return false;
            } else {
                return false;
            }
        }
        return true;
    }

    Received receive(std::string& out, Clock::duration deadline) override {
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            const int r = ::poll(p, wake_[0] >= 0 ? 2 : 1, waitMs(clock_, deadline));
            if (r < 0 && errno != EINTR) return Received::Closed;
            if (r > 0 && (p[1].revents & POLLIN)) return Received::Interrupted;
            if (r > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buffer[65536];
                const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
                if (n > 0) {
                    out.append(buffer, static_cast<std::size_t>(n));
                    return Received::Data;
                }
                if (n == 0 || (errno != EINTR && errno != EAGAIN)) return Received::Closed;
            }
            if (clock_.now() >= deadline) return Received::Timeout;
        }
    }

    void interrupt() override {
        const char b = 1;
        if (wake_[1] >= 0) (void)!::write(wake_[1], &b, 1);
    }

    void clearInterrupt() override {
        char b[64];
        while (wake_[0] >= 0 && ::read(wake_[0], b, sizeof b) > 0) {
        }
    }

private:
    int fd_;
    int wake_[2] = {-1, -1};
    Clock& clock_;
};

// A non-blocking connect to one address, ended at the deadline; the connected socket or -1.
int connectOne(const addrinfo& a, Clock& clock, Clock::duration deadline, NetError& error) {
    const int fd = ::socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a.ai_protocol);
    if (fd < 0) {
        error = fromErrno(errno);
        return -1;
    }
    int e = ::connect(fd, a.ai_addr, a.ai_addrlen) == 0 ? 0 : errno;
    while (e == EINPROGRESS || e == EINTR) {
        pollfd p{fd, POLLOUT, 0};
        const int r = ::poll(&p, 1, waitMs(clock, deadline));
        if (r > 0) {
            socklen_t len = sizeof e;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len);
        } else if (r == 0 && clock.now() >= deadline) {
            e = ETIMEDOUT;
        } else if (r < 0 && errno != EINTR) {
            e = errno;
        }
    }
    if (e != 0) {
        error = fromErrno(e);
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    return fd;
}

class SocketNetwork final : public Network {
public:
    explicit SocketNetwork(Clock& clock) : clock_(clock) {}
    Clock& clock() override { return clock_; }

    std::unique_ptr<Stream> connect(const std::string& host, int port, Clock::duration deadline,
                                    NetError& error) override {
        AddrList addresses;
        if (!resolve(host, port, SOCK_STREAM, addresses, error)) return nullptr;
        for (const addrinfo* a = addresses.list; a; a = a->ai_next)
            if (const int fd = connectOne(*a, clock_, deadline, error); fd >= 0)
                return std::make_unique<SocketStream>(fd, clock_);
        return nullptr;
    }

    bool datagram(const std::string& host, int port, std::string_view request, std::string& answer,
                  Clock::duration deadline, NetError& error) override {
        AddrList addresses;
        if (!resolve(host, port, SOCK_DGRAM, addresses, error)) return false;
        const addrinfo& a = *addresses.list;
        const int fd = ::socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC, a.ai_protocol);
        if (fd < 0 || ::connect(fd, a.ai_addr, a.ai_addrlen) != 0 ||
            ::send(fd, request.data(), request.size(), 0) < 0) {
            error = fromErrno(errno);
            if (fd >= 0) ::close(fd);
            return false;
        }
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            const int r = ::poll(&p, 1, waitMs(clock_, deadline));
            if (r > 0) {
                char buffer[9000];
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n >= 0) {
                    answer.assign(buffer, static_cast<std::size_t>(n));
                    ::close(fd);
                    return true;
                }
                // A port that nobody listens on answers with ICMP, which shows here.
                if (errno != EINTR) {
                    error = fromErrno(errno);
                    ::close(fd);
                    return false;
                }
            }
            if (clock_.now() >= deadline) {
                error.kind = NetError::Kind::Timeout;
                ::close(fd);
                return false;
            }
        }
    }

private:
    Clock& clock_;
};

} // namespace

std::unique_ptr<Network> createSocketNetwork(Clock& clock) {
    return std::make_unique<SocketNetwork>(clock);
}

} // namespace vellumix::gpib::vxi11

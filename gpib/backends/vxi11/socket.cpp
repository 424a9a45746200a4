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
#include <vector>

namespace vellumix::gpib::vxi11 {

namespace {

// Milliseconds until the deadline for poll(), at least 0, at most a piece (Clock::WaitPiece) at a
// time: a clock that is not the system's still gets looked at, and after a poll that saw nothing
// the clock's idle() runs (the window's events, while a capture waits on the network).
int waitMs(Clock& clock, Clock::duration deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock.now()).count();
    const auto piece = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::WaitPiece).count();
    return static_cast<int>(std::clamp<long long>(left, 0, piece));
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

// One resolved address; the port is set for each use.
struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = AF_UNSPEC;

    const sockaddr* at(int port) {
        if (family == AF_INET)
            reinterpret_cast<sockaddr_in*>(&storage)->sin_port = htons(static_cast<uint16_t>(port));
        else if (family == AF_INET6)
            reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = htons(static_cast<uint16_t>(port));
        return reinterpret_cast<const sockaddr*>(&storage);
    }
};

bool resolve(const std::string& host, std::vector<Address>& out, NetError& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM; // one entry per address; the socket type is chosen per use
    addrinfo* list = nullptr;
    const int r = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (r != 0) {
        error.kind = r == EAI_SYSTEM ? fromErrno(errno).kind : NetError::Kind::Unresolved;
        error.text = r == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(r);
        return false;
    }
    for (const addrinfo* a = list; a; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Address address;
        std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
        address.length = static_cast<socklen_t>(a->ai_addrlen);
        address.family = a->ai_family;
        out.push_back(address);
    }
    ::freeaddrinfo(list);
    if (!out.empty()) return true;
    error.kind = NetError::Kind::Unresolved;
    error.text = "no IPv4 or IPv6 address";
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

    Sent send(std::string_view bytes, Clock::duration deadline) override {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return Sent::Closed;
            // The device's receive window is full: wait for room, a wake-up or the deadline. The
            // wake byte stays for the receive that follows.
            if (clock_.now() >= deadline) return Sent::Timeout;
            pollfd p[2] = {{fd_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
            const int r = ::poll(p, wake_[0] >= 0 ? 2 : 1, waitMs(clock_, deadline));
            if (r < 0 && errno != EINTR) return Sent::Closed;
            if (r > 0 && (p[1].revents & POLLIN)) return Sent::Interrupted;
            if (r == 0) clock_.idle();
        }
        return Sent::Done;
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
            if (r == 0) clock_.idle();
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
int connectOne(Address& a, int port, Clock& clock, Clock::duration deadline, NetError& error) {
    const int fd = ::socket(a.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = fromErrno(errno);
        return -1;
    }
    int e = ::connect(fd, a.at(port), a.length) == 0 ? 0 : errno;
    while (e == EINPROGRESS || e == EINTR) {
        pollfd p{fd, POLLOUT, 0};
        const int r = ::poll(&p, 1, waitMs(clock, deadline));
        if (r > 0) {
            socklen_t len = sizeof e;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len);
        } else if (r == 0 && clock.now() >= deadline) {
            e = ETIMEDOUT;
        } else if (r == 0) {
            clock.idle();
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
        std::vector<Address>* addresses = lookUp(host, error);
        if (!addresses) return nullptr;
        for (Address& a : *addresses)
            if (const int fd = connectOne(a, port, clock_, deadline, error); fd >= 0)
                return std::make_unique<SocketStream>(fd, clock_);
        return nullptr;
    }

    // The request goes to every address of the host at once (IPv4 and IPv6 alike): the first answer
    // counts, and an address that does not answer costs no time of its own.
    bool datagram(const std::string& host, int port, std::string_view request, std::string& answer,
                  Clock::duration deadline, NetError& error) override {
        std::vector<Address>* addresses = lookUp(host, error);
        if (!addresses) return false;
        std::vector<pollfd> sockets;
        for (Address& a : *addresses) {
            const int fd = ::socket(a.family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (fd < 0 || ::connect(fd, a.at(port), a.length) != 0 ||
                ::send(fd, request.data(), request.size(), 0) < 0) {
                error = fromErrno(errno);
                if (fd >= 0) ::close(fd);
                continue;
            }
            sockets.push_back({fd, POLLIN, 0});
        }
        bool answered = false;
        while (!sockets.empty() && !answered) {
            const int r = ::poll(sockets.data(), sockets.size(), waitMs(clock_, deadline));
            for (std::size_t i = 0; r > 0 && i < sockets.size() && !answered;) {
                if (!(sockets[i].revents & (POLLIN | POLLERR))) {
                    ++i;
                    continue;
                }
                char buffer[9000];
                const ssize_t n = ::recv(sockets[i].fd, buffer, sizeof buffer, 0);
                if (n >= 0) {
                    answer.assign(buffer, static_cast<std::size_t>(n));
                    answered = true;
                } else if (errno != EINTR) {
                    // A port that nobody listens on answers with ICMP, which shows here.
                    error = fromErrno(errno);
                    ::close(sockets[i].fd);
                    sockets.erase(sockets.begin() + static_cast<std::ptrdiff_t>(i));
                    continue;
                }
                ++i;
            }
            if (!answered && !sockets.empty() && clock_.now() >= deadline) {
                error = {};
                error.kind = NetError::Kind::Timeout;
                break;
            }
            if (r == 0) clock_.idle();
        }
        for (const pollfd& p : sockets)
            ::close(p.fd);
        return answered;
    }

private:
    // Resolved once for the host and kept: a slow or absent name server is then waited for once,
    // not for each portmapper try, connection and abort channel.
    std::vector<Address>* lookUp(const std::string& host, NetError& error) {
        if (host != resolvedHost_ || addresses_.empty()) {
            addresses_.clear();
            if (!resolve(host, addresses_, error)) return nullptr;
            resolvedHost_ = host;
        }
        return &addresses_;
    }

    Clock& clock_;
    std::string resolvedHost_;
    std::vector<Address> addresses_;
};

} // namespace

std::unique_ptr<Network> createSocketNetwork(Clock& clock) {
    return std::make_unique<SocketNetwork>(clock);
}

} // namespace vellumix::gpib::vxi11

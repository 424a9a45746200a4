// Every socket call of the VXI-11 client, Winsock flavour: name resolution, a connect that ends at
// its deadline, sends and receives with WSAPoll(), and a flag that wakes a waiting receive (looked
// at every few milliseconds: Windows has no pipe to poll beside a socket).
#include "gpib/backends/vxi11/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

namespace vellumix::gpib::vxi11 {

namespace {

// Milliseconds until the deadline, at least 0, at most `slice` at a time (Clock::WaitPiece unless
// less) so that an interrupt and a clock that is not the system's get looked at; after a poll that
// saw nothing the clock's idle() runs (the window's events, while a capture waits on the network).
int waitMs(
    Clock& clock, Clock::duration deadline,
    long long slice = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::WaitPiece).count()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock.now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, slice));
}

NetError fromWinsock(int e) {
    NetError error;
    switch (e) {
    case WSAECONNREFUSED:
    case WSAECONNRESET: // a UDP port nobody listens on answers with ICMP, which shows as this
        error.kind = NetError::Kind::Refused;
        break;
    case WSAETIMEDOUT:
        error.kind = NetError::Kind::Timeout;
        break;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAEHOSTDOWN:
    case WSAENETDOWN:
        error.kind = NetError::Kind::Unreachable;
        break;
    default:
        error.kind = NetError::Kind::Other;
        break;
    }
    error.text = "Winsock error " + std::to_string(e);
    return error;
}

// Winsock is started once for the process and left running: sockets may live until exit.
bool startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// One resolved address; the port is set for each use.
struct Address {
    sockaddr_storage storage{};
    int length = 0;
    int family = AF_UNSPEC;

    const sockaddr* at(int port) {
        if (family == AF_INET)
            reinterpret_cast<sockaddr_in*>(&storage)->sin_port = htons(static_cast<u_short>(port));
        else if (family == AF_INET6)
            reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = htons(static_cast<u_short>(port));
        return reinterpret_cast<const sockaddr*>(&storage);
    }
};

bool resolve(const std::string& host, std::vector<Address>& out, NetError& error) {
    if (!startWinsock()) {
        error.kind = NetError::Kind::Other;
        error.text = "Winsock did not start";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM; // one entry per address; the socket type is chosen per use
    addrinfo* list = nullptr;
    const int r = getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (r != 0) {
        error.kind = NetError::Kind::Unresolved;
        error.text = "Winsock error " + std::to_string(r);
        return false;
    }
    for (const addrinfo* a = list; a; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Address address;
        std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
        address.length = static_cast<int>(a->ai_addrlen);
        address.family = a->ai_family;
        out.push_back(address);
    }
    freeaddrinfo(list);
    if (!out.empty()) return true;
    error.kind = NetError::Kind::Unresolved;
    error.text = "no IPv4 or IPv6 address";
    return false;
}

class SocketStream final : public Stream {
public:
    SocketStream(SOCKET s, Clock& clock) : s_(s), clock_(clock) {}
    ~SocketStream() override { closesocket(s_); }

    Sent send(std::string_view bytes, Clock::duration deadline) override {
        while (!bytes.empty()) {
            const int n =
                ::send(s_, bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20)), 0);
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) return Sent::Closed;
            // The device's receive window is full: wait for room, an interrupt or the deadline. The
            // interrupt stays for the receive that follows.
            if (interrupted_.load()) return Sent::Interrupted;
            if (clock_.now() >= deadline) return Sent::Timeout;
            WSAPOLLFD p{s_, POLLWRNORM, 0};
            const int r = WSAPoll(&p, 1, waitMs(clock_, deadline, 20));
            if (r < 0) return Sent::Closed;
            if (r == 0) clock_.idle();
        }
        return Sent::Done;
    }

    Received receive(std::string& out, Clock::duration deadline) override {
        for (;;) {
            if (interrupted_.load()) return Received::Interrupted;
            WSAPOLLFD p{s_, POLLRDNORM, 0};
            const int r = WSAPoll(&p, 1, waitMs(clock_, deadline, 20));
            if (r < 0) return Received::Closed;
            if (r > 0 && (p.revents & (POLLRDNORM | POLLHUP | POLLERR))) {
                char buffer[65536];
                const int n = recv(s_, buffer, sizeof buffer, 0);
                if (n > 0) {
                    out.append(buffer, static_cast<std::size_t>(n));
                    return Received::Data;
                }
                if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) return Received::Closed;
            }
            if (clock_.now() >= deadline) return Received::Timeout;
            if (r == 0) clock_.idle();
        }
    }

    void interrupt() override { interrupted_.store(true); }
    void clearInterrupt() override { interrupted_.store(false); }

private:
    SOCKET s_;
    Clock& clock_;
    std::atomic<bool> interrupted_{false};
};

// A non-blocking connect to one address, ended at the deadline; the connected socket or
// INVALID_SOCKET.
SOCKET connectOne(Address& a, int port, Clock& clock, Clock::duration deadline, NetError& error) {
    const SOCKET s = socket(a.family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        error = fromWinsock(WSAGetLastError());
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    int e = connect(s, a.at(port), a.length) == 0 ? 0 : WSAGetLastError();
    while (e == WSAEWOULDBLOCK) {
        WSAPOLLFD p{s, POLLWRNORM, 0};
        const int r = WSAPoll(&p, 1, waitMs(clock, deadline));
        if (r > 0) {
            int len = sizeof e;
            e = 0;
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&e), &len);
            if (e == 0 && (p.revents & (POLLERR | POLLHUP))) e = WSAECONNREFUSED;
        } else if (r == 0 && clock.now() >= deadline) {
            e = WSAETIMEDOUT;
        } else if (r == 0) {
            clock.idle();
        } else if (r < 0) {
            e = WSAGetLastError();
        }
    }
    if (e != 0) {
        error = fromWinsock(e);
        closesocket(s);
        return INVALID_SOCKET;
    }
    const BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
    return s;
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
            if (const SOCKET s = connectOne(a, port, clock_, deadline, error); s != INVALID_SOCKET)
                return std::make_unique<SocketStream>(s, clock_);
        return nullptr;
    }

    // The request goes to every address of the host at once (IPv4 and IPv6 alike): the first answer
    // counts, and an address that does not answer costs no time of its own.
    bool datagram(const std::string& host, int port, std::string_view request, std::string& answer,
                  Clock::duration deadline, NetError& error) override {
        std::vector<Address>* addresses = lookUp(host, error);
        if (!addresses) return false;
        std::vector<WSAPOLLFD> sockets;
        for (Address& a : *addresses) {
            const SOCKET s = socket(a.family, SOCK_DGRAM, IPPROTO_UDP);
            if (s == INVALID_SOCKET || ::connect(s, a.at(port), a.length) != 0 ||
                ::send(s, request.data(), static_cast<int>(request.size()), 0) < 0) {
                error = fromWinsock(WSAGetLastError());
                if (s != INVALID_SOCKET) closesocket(s);
                continue;
            }
            sockets.push_back({s, POLLRDNORM, 0});
        }
        bool answered = false;
        while (!sockets.empty() && !answered) {
            const int r =
                WSAPoll(sockets.data(), static_cast<ULONG>(sockets.size()), waitMs(clock_, deadline));
            for (std::size_t i = 0; r > 0 && i < sockets.size() && !answered;) {
                if (!(sockets[i].revents & (POLLRDNORM | POLLERR))) {
                    ++i;
                    continue;
                }
                char buffer[9000];
                const int n = recv(sockets[i].fd, buffer, sizeof buffer, 0);
                if (n >= 0) {
                    answer.assign(buffer, static_cast<std::size_t>(n));
                    answered = true;
                } else {
                    // A port that nobody listens on answers with ICMP, which shows here.
                    error = fromWinsock(WSAGetLastError());
                    closesocket(sockets[i].fd);
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
        for (const WSAPOLLFD& p : sockets)
            closesocket(p.fd);
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

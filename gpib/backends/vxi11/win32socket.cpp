// Every socket call of the VXI-11 client, Winsock flavour: name resolution, a connect that ends at
// its deadline, sends and receives with WSAPoll(), and a flag that wakes a waiting receive (looked
// at every few milliseconds: Windows has no pipe to poll beside a socket).
#include "gpib/backends/vxi11/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>

namespace vellumix::gpib::vxi11 {

namespace {

// Milliseconds until the deadline, at least 0, at most `slice` at a time so that an interrupt and a
// clock that is not the system's get looked at.
int waitMs(Clock& clock, Clock::duration deadline, long long slice = 1000) {
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

struct AddrList {
    addrinfo* list = nullptr;
    ~AddrList() {
        if (list) freeaddrinfo(list);
    }
};

bool resolve(const std::string& host, int port, int type, AddrList& out, NetError& error) {
    if (!startWinsock()) {
        error.kind = NetError::Kind::Other;
        error.text = "Winsock did not start";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    const std::string service = std::to_string(port);
    const int r = getaddrinfo(host.c_str(), service.c_str(), &hints, &out.list);
    if (r == 0) return true;
    error.kind = NetError::Kind::Unresolved;
    error.text = "Winsock error " + std::to_string(r);
    return false;
}

class SocketStream final : public Stream {
public:
    SocketStream(SOCKET s, Clock& clock) : s_(s), clock_(clock) {}
    ~SocketStream() override { closesocket(s_); }

    bool send(std::string_view bytes) override {
        while (!bytes.empty()) {
            const int n =
                ::send(s_, bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20)), 0);
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
            } else if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
                WSAPOLLFD p{s_, POLLWRNORM, 0};
                if (WSAPoll(&p, 1, 1000) < 0) return false;
            } else {
                return false;
            }
        }
        return true;
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
SOCKET connectOne(const addrinfo& a, Clock& clock, Clock::duration deadline, NetError& error) {
    const SOCKET s = socket(a.ai_family, a.ai_socktype, a.ai_protocol);
    if (s == INVALID_SOCKET) {
        error = fromWinsock(WSAGetLastError());
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    int e = connect(s, a.ai_addr, static_cast<int>(a.ai_addrlen)) == 0 ? 0 : WSAGetLastError();
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
        AddrList addresses;
        if (!resolve(host, port, SOCK_STREAM, addresses, error)) return nullptr;
        for (const addrinfo* a = addresses.list; a; a = a->ai_next)
            if (const SOCKET s = connectOne(*a, clock_, deadline, error); s != INVALID_SOCKET)
                return std::make_unique<SocketStream>(s, clock_);
        return nullptr;
    }

    bool datagram(const std::string& host, int port, std::string_view request, std::string& answer,
                  Clock::duration deadline, NetError& error) override {
        AddrList addresses;
        if (!resolve(host, port, SOCK_DGRAM, addresses, error)) return false;
        const addrinfo& a = *addresses.list;
        const SOCKET s = socket(a.ai_family, a.ai_socktype, a.ai_protocol);
        if (s == INVALID_SOCKET || ::connect(s, a.ai_addr, static_cast<int>(a.ai_addrlen)) != 0 ||
            ::send(s, request.data(), static_cast<int>(request.size()), 0) < 0) {
            error = fromWinsock(WSAGetLastError());
            if (s != INVALID_SOCKET) closesocket(s);
            return false;
        }
        for (;;) {
            WSAPOLLFD p{s, POLLRDNORM, 0};
            const int r = WSAPoll(&p, 1, waitMs(clock_, deadline));
            if (r > 0) {
                char buffer[9000];
                const int n = recv(s, buffer, sizeof buffer, 0);
                if (n >= 0) {
                    answer.assign(buffer, static_cast<std::size_t>(n));
                    closesocket(s);
                    return true;
                }
                error = fromWinsock(WSAGetLastError());
                closesocket(s);
                return false;
            }
            if (clock_.now() >= deadline) {
                error.kind = NetError::Kind::Timeout;
                closesocket(s);
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

// Windows pipes: a COM port (USB serial adapters appear as one) and a TCP connection over
// Winsock. Both wait with the driver's clock deadline like the POSIX ones.
#include "gpib/backends/prologix/pipes.h"
#include "gpib/backends/prologix/prologixbus.h"

// winsock2.h must come before windows.h, which would otherwise bring in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <chrono>

namespace vellumix::gpib::prologix {

namespace {

long long millisecondsLeft(Clock& clock, Clock::duration deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock.now()).count();
    return std::clamp<long long>(left, 0, 60'000);
}

class ComPipe final : public BytePipe {
public:
    ComPipe(HANDLE port, Clock& clock) : port_(port), clock_(clock) {}
    ~ComPipe() override { CloseHandle(port_); }
    ComPipe(const ComPipe&) = delete;
    ComPipe& operator=(const ComPipe&) = delete;

    bool send(std::string_view bytes) override {
        if (closed_) return false;
        // The adapter may hold us off (full USB buffer): wait, but not for ever.
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = MAXDWORD;
        t.WriteTotalTimeoutConstant = 5000;
        SetCommTimeouts(port_, &t);
        while (!bytes.empty()) {
            DWORD n = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1 << 16));
            if (!WriteFile(port_, bytes.data(), chunk, &n, nullptr) || n == 0) break;
            bytes.remove_prefix(n);
        }
        if (!bytes.empty()) closed_ = true;
        return !closed_;
    }

    Received receive(std::string& out, Clock::duration deadline) override {
        if (closed_) return Received::Closed;
        for (;;) {
            // Returns as soon as a byte is there, or after the constant when none comes.
            COMMTIMEOUTS t{};
            t.ReadIntervalTimeout = MAXDWORD;
            t.ReadTotalTimeoutMultiplier = MAXDWORD;
            t.ReadTotalTimeoutConstant =
                static_cast<DWORD>(std::max<long long>(1, millisecondsLeft(clock_, deadline)));
            if (!SetCommTimeouts(port_, &t)) break;
            char buffer[16384];
            DWORD n = 0;
            if (!ReadFile(port_, buffer, sizeof buffer, &n, nullptr)) break; // the adapter was unplugged
            if (n > 0) {
                out.append(buffer, n);
                return Received::Data;
            }
            if (clock_.now() >= deadline) return Received::Timeout;
        }
        closed_ = true;
        return Received::Closed;
    }

private:
    HANDLE port_;
    Clock& clock_;
    bool closed_ = false;
};

// Winsock is started once for the process and left running: sockets may live until exit.
bool startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

class SocketPipe final : public BytePipe {
public:
    SocketPipe(SOCKET s, Clock& clock) : s_(s), clock_(clock) {}
    ~SocketPipe() override { closesocket(s_); }
    SocketPipe(const SocketPipe&) = delete;
    SocketPipe& operator=(const SocketPipe&) = delete;

    bool send(std::string_view bytes) override {
        if (closed_) return false;
        while (!bytes.empty()) {
            const int n =
                ::send(s_, bytes.data(), static_cast<int>(std::min<size_t>(bytes.size(), 1 << 20)), 0);
            if (n > 0) {
                bytes.remove_prefix(static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
                WSAPOLLFD p{s_, POLLWRNORM, 0};
                if (WSAPoll(&p, 1, 5000) <= 0 || (p.revents & (POLLERR | POLLHUP))) break;
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
            WSAPOLLFD p{s_, POLLRDNORM, 0};
            const int ready = WSAPoll(&p, 1, static_cast<int>(millisecondsLeft(clock_, deadline)));
            if (ready < 0) break;
            if (ready == 0) {
                if (clock_.now() >= deadline) return Received::Timeout;
                continue;
            }
            char buffer[16384];
            const int n = ::recv(s_, buffer, sizeof buffer, 0);
            if (n > 0) {
                out.append(buffer, static_cast<size_t>(n));
                return Received::Data;
            }
            if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) continue;
            break; // 0 = the peer closed
        }
        closed_ = true;
        return Received::Closed;
    }

private:
    SOCKET s_;
    Clock& clock_;
    bool closed_ = false;
};

std::string socketError(int code) {
    switch (code) {
    case WSAECONNREFUSED:
        return "connection refused (is the controller's port right?)";
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
        return "the host cannot be reached";
    case WSAETIMEDOUT:
        return "no answer (is the host on and reachable?)";
    default:
        return "Winsock error " + std::to_string(code);
    }
}

} // namespace

std::unique_ptr<BytePipe> openSerialPipe(const std::string& device, Clock& clock, OpenFailure& failure) {
    std::string path = windowsSerialPath(device);
    if (path.empty()) path = device;
    const std::wstring wide(path.begin(), path.end()); // COM port paths are ASCII
    const HANDLE port =
        CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        std::string why;
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            why = "there is no such port. Is the GPIB controller plugged in, and is this its port? (The "
                  "Device Manager lists the COM ports under \"Ports (COM & LPT)\".)";
        else if (code == ERROR_ACCESS_DENIED)
            why = "another program has it open. Close that program (a terminal, another instrument "
                  "program) and try again.";
        else
            why = "Windows error " + std::to_string(code) + ".";
        failure.message = "Vellumix cannot open " + device + ": " + why;
        return nullptr;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        CloseHandle(port);
        failure.message = "Vellumix cannot open " + device + ": it is not a serial port.";
        return nullptr;
    }
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    SetCommState(port, &dcb);
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return std::make_unique<ComPipe>(port, clock);
}

std::unique_ptr<BytePipe> openTcpPipe(const std::string& host, int port, Clock::duration connectTimeout,
                                      Clock& clock, OpenFailure& failure) {
    const std::string where = host + " port " + std::to_string(port);
    if (!startWinsock()) {
        failure.message = "Could not connect to the GPIB controller at " + where + ": Winsock did not start.";
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        failure.message = "The GPIB controller's host name " + host + " is unknown (Winsock error " +
                          std::to_string(rc) + ").";
        return nullptr;
    }
    std::string why = "no address to try";
    SOCKET s = INVALID_SOCKET;
    for (addrinfo* a = found; a && s == INVALID_SOCKET; a = a->ai_next) {
        s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 &&
            WSAGetLastError() != WSAEWOULDBLOCK) {
            why = socketError(WSAGetLastError());
            closesocket(s);
            s = INVALID_SOCKET;
            continue;
        }
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(connectTimeout).count();
        WSAPOLLFD p{s, POLLWRNORM, 0};
        const int ready = WSAPoll(&p, 1, static_cast<int>(ms));
        int soError = 0;
        int len = sizeof soError;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
        if (ready == 0) {
            why = "no answer within " + std::to_string(ms / 1000) + " s (is the host on and reachable?)";
        } else if (ready < 0 || soError != 0 || (p.revents & (POLLERR | POLLHUP))) {
            why = socketError(soError != 0 ? soError : WSAECONNREFUSED);
        } else {
            const BOOL one = TRUE;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
            break;
        }
        closesocket(s);
        s = INVALID_SOCKET;
    }
    freeaddrinfo(found);
    if (s == INVALID_SOCKET) {
        failure.message = "Could not connect to the GPIB controller at " + where + ": " + why + ".";
        return nullptr;
    }
    return std::make_unique<SocketPipe>(s, clock);
}

} // namespace vellumix::gpib::prologix

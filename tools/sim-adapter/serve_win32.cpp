// The virtual adapter served on 127.0.0.1 with Winsock. Windows has no pseudo-terminals: a virtual
// COM port pair (com0com and the like) is the way to try the serial flavour there.
#include "tools/sim-adapter/serve.h"

#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

namespace vellumix::simadapter {

namespace {

bool sendAll(SOCKET s, const std::string& data) {
    std::size_t at = 0;
    while (at < data.size()) {
        const int n = ::send(s, data.data() + at,
                             static_cast<int>(std::min<std::size_t>(data.size() - at, 1 << 20)), 0);
        if (n > 0) {
            at += static_cast<std::size_t>(n);
        } else if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
            WSAPOLLFD p{s, POLLWRNORM, 0};
            WSAPoll(&p, 1, 1000);
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int serve(AdapterEmulator& adapter, bool pty, int port) {
    if (pty) fail("--pty needs a POSIX system; on Windows serve with --tcp PORT");
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) fail("Winsock did not start");

    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    // Exclusive, so that no other program can take the port over while we serve on it.
    const BOOL one = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 4) != 0)
        fail("cannot listen on 127.0.0.1:" + std::to_string(port) + ": Winsock error " +
             std::to_string(WSAGetLastError()));
    int len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::printf("tcp 127.0.0.1:%d\n", ntohs(addr.sin_port));
    std::fflush(stdout);

    const auto start = std::chrono::steady_clock::now();
    const auto now = [&] {
        return std::chrono::duration_cast<gpib::Clock::duration>(std::chrono::steady_clock::now() - start);
    };

    SOCKET peer = INVALID_SOCKET;
    const auto hangUp = [&] {
        closesocket(peer); // the client went away; what was on its way is lost with it
        peer = INVALID_SOCKET;
        adapter.discardOutput();
    };
    for (;;) {
        WSAPOLLFD fd{peer == INVALID_SOCKET ? listener : peer, POLLRDNORM, 0};
        int wait = -1;
        if (peer != INVALID_SOCKET) {
            // Wake for the next byte to the host or the firmware's next event, whichever is first.
            std::optional<gpib::Clock::duration> next = adapter.nextOutputAt();
            if (const auto event = adapter.nextEventAt(); event && (!next || *event < *next)) next = event;
            if (next)
                wait = static_cast<int>(std::max<long long>(
                    0, std::chrono::ceil<std::chrono::milliseconds>(*next - now()).count()));
        }
        if (WSAPoll(&fd, 1, wait) < 0) fail("Winsock error " + std::to_string(WSAGetLastError()));
        if (fd.revents & (POLLRDNORM | POLLHUP | POLLERR)) {
            if (peer == INVALID_SOCKET) {
                peer = accept(listener, nullptr, nullptr);
                continue;
            }
            char buffer[4096];
            const int n = recv(peer, buffer, sizeof buffer, 0);
            if (n > 0)
                adapter.input(std::string_view(buffer, static_cast<std::size_t>(n)), now());
            else if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK)
                hangUp();
        }
        if (peer != INVALID_SOCKET) {
            adapter.advanceTo(now());
            std::string out;
            adapter.takeOutput(now(), out);
            if (!out.empty() && !sendAll(peer, out)) {
                hangUp();
                continue;
            }
            if (adapter.dropped()) {
                // The connection breaks: the client sees its end.
                closesocket(peer);
                peer = INVALID_SOCKET;
            }
        }
    }
}

} // namespace vellumix::simadapter

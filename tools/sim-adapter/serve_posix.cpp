// The virtual adapter served on a pseudo-terminal or on 127.0.0.1, with poll().
#include "tools/sim-adapter/serve.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace vellumix::simadapter {

namespace {

bool writeAll(int fd, const std::string& data) {
    std::size_t at = 0;
    while (at < data.size()) {
        const ssize_t n = ::write(fd, data.data() + at, data.size() - at);
        if (n > 0) {
            at += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int serve(AdapterEmulator& adapter, bool pty, int port) {
    std::signal(SIGPIPE, SIG_IGN);

    int listenFd = -1;
    int peer = -1;
    if (pty) {
        peer = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (peer < 0 || ::grantpt(peer) != 0 || ::unlockpt(peer) != 0) fail("no pseudo-terminal");
        const std::string name = ::ptsname(peer);
        // Raw, and held open by us too, so the settings stay and the line lives between clients.
        const int slave = ::open(name.c_str(), O_RDWR | O_NOCTTY);
        termios tio{};
        if (slave < 0 || ::tcgetattr(slave, &tio) != 0) fail("cannot set up " + name);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
        std::printf("pty %s\n", name.c_str());
    } else {
        listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listenFd, 4) != 0)
            fail("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
        socklen_t len = sizeof addr;
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
        std::printf("tcp 127.0.0.1:%d\n", ntohs(addr.sin_port));
    }
    std::fflush(stdout);

    const auto start = std::chrono::steady_clock::now();
    const auto now = [&] {
        return std::chrono::duration_cast<gpib::Clock::duration>(std::chrono::steady_clock::now() - start);
    };

    for (;;) {
        pollfd fds[2];
        nfds_t count = 0;
        if (listenFd >= 0 && peer < 0) fds[count++] = {listenFd, POLLIN, 0};
        if (peer >= 0) fds[count++] = {peer, POLLIN, 0};
        int wait = -1;
        if (peer >= 0) {
            // Wake for the next byte to the host or the firmware's next event, whichever is first.
            std::optional<gpib::Clock::duration> next = adapter.nextOutputAt();
            if (const auto event = adapter.nextEventAt(); event && (!next || *event < *next)) next = event;
            if (next)
                wait = static_cast<int>(std::max<long long>(
                    0, std::chrono::ceil<std::chrono::milliseconds>(*next - now()).count()));
        }
        if (::poll(fds, count, wait) < 0 && errno != EINTR) fail(std::strerror(errno));
        for (nfds_t i = 0; i < count; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            if (fds[i].fd == listenFd) {
                peer = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(peer, buffer, sizeof buffer);
            if (n > 0) {
                adapter.input(std::string_view(buffer, static_cast<std::size_t>(n)), now());
            } else if (!pty && (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))) {
                ::close(peer); // the client went away; what was on its way is lost with it
                peer = -1;
                adapter.discardOutput();
            } else if (pty && n < 0 && errno == EIO) {
                ::usleep(10000); // no client has the line open at the moment
            }
        }
        if (peer >= 0) {
            adapter.advanceTo(now());
            std::string out;
            adapter.takeOutput(now(), out);
            if (!out.empty() && !writeAll(peer, out) && !pty) {
                ::close(peer);
                peer = -1;
            }
            if (adapter.dropped()) {
                // The connection breaks: the client sees its end (TCP) or a hang-up (pty).
                ::close(peer);
                peer = -1;
                if (pty) return 0;
            }
        }
    }
}

} // namespace vellumix::simadapter

#pragma once
// A TCP socket bound to a free port on 127.0.0.1 (POSIX), for tests that need a listener, or a port
// nobody listens on once it is closed. Tests never reach beyond the loopback address.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vellumix::test {

// The socket, listening when `listen` is set; -1 on failure. port receives the port it got.
inline int bindLoopback(int& port, bool listen = true) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || (listen && ::listen(fd, 4) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

} // namespace vellumix::test

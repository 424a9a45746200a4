// vellumix-vxi11-sim: a virtual VXI-11 instrument (a TDS 3000B's LAN server, or a GPIB gateway)
// with simulated TDS scopes behind it, on 127.0.0.1 only. The first line on stdout says where:
// "portmapper 127.0.0.1:P core 127.0.0.1:C abort 127.0.0.1:A".
#include "tools/vxi11-sim/server.h"

#include "gpib/backends/vxi11/rpc.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace vellumix;

namespace {

const char* const kUsage =
    "usage: vellumix-vxi11-sim [options]\n"
    "  --scenario FILE     simulated scopes (default: one TDS 3054B at address 1)\n"
    "  --gateway           serve gpib0,N for each address N (default: inst0, inst1, ... by address)\n"
    "  --portmapper PORT   the portmapper's port on 127.0.0.1 (default 0: any free port)\n"
    "  --core PORT         the core channel's port (default 0: any free port)\n"
    "  --max-recv N        the maxRecvSize create_link reports (default 65536; 0 and 4294967295 allowed)\n"
    "  --accept N          write pieces above N bytes are refused (default: maxRecvSize when sensible)\n"
    "  --chunk N           each device_read returns at most N bytes, END only on the last\n"
    "  --delay S           seconds before the first byte of every reply\n"
    "  --rate B            bytes per second of every reply (default: the scenario's; 0 = no limit)\n"
    "  --locked            another client holds the device's lock (error 11)\n"
    "  --device-error N    every device_write and device_read ends with error N (1, 4, 5, 8, 17, ...)\n"
    "  --abort-after N     a hard copy transfer ends as aborted (error 23) after N bytes\n"
    "  --overlong N        each device_read reply carries N bytes more than asked\n"
    "  --padding N         N bytes after each core reply's end, inside its record\n"
    "  --fragment N        record fragments of at most N bytes\n"
    "  --udp-only          the portmapper answers only over UDP\n"
    "  --tcp-only          the portmapper answers only over TCP\n";

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "vellumix-vxi11-sim: %s\n", why.c_str());
    std::exit(2);
}

double number(const char* text, const char* option) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (!end || *end || v < 0) fail(std::string(option) + " needs a number of 0 or more");
    return v;
}

int listenOn(int type, int port, int& bound) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 8) != 0))
        fail("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    bound = ntohs(addr.sin_port);
    return fd;
}

bool sendAll(int fd, const std::string& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

std::mutex coreMutex; // core calls one at a time; abort calls beside them

void serveConnection(int fd, vxi11sim::Server& server, vxi11sim::Server::Channel channel) {
    gpib::vxi11::RecordReader reader;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        reader.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
        std::string record;
        gpib::vxi11::RecordReader::Result r;
        while ((r = reader.next(record)) == gpib::vxi11::RecordReader::Result::Record) {
            std::optional<std::string> reply;
            if (channel == vxi11sim::Server::Channel::Abort) {
                reply = server.handleRecord(channel, record);
            } else {
                std::lock_guard<std::mutex> lock(coreMutex);
                reply = server.handleRecord(channel, record);
            }
            if (reply && !sendAll(fd, *reply)) break;
        }
        if (r == gpib::vxi11::RecordReader::Result::TooLarge) break;
    }
    ::close(fd);
}

} // namespace

int main(int argc, char** argv) {
    vxi11sim::ServerOptions options;
    std::string scenarioPath;
    int portmapperPort = 0, corePort = 0;
    double rate = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&]() -> const char* {
            if (i + 1 >= argc) fail(a + " needs a value");
            return argv[++i];
        };
        const auto count = [&] { return static_cast<std::size_t>(number(value(), a.c_str())); };
        if (a == "--scenario")
            scenarioPath = value();
        else if (a == "--gateway")
            options.gateway = true;
        else if (a == "--portmapper")
            portmapperPort = static_cast<int>(count());
        else if (a == "--core")
            corePort = static_cast<int>(count());
        else if (a == "--max-recv")
            options.maxRecvSize = static_cast<uint32_t>(number(value(), "--max-recv"));
        else if (a == "--accept")
            options.acceptSize = count();
        else if (a == "--chunk")
            options.chunk = count();
        else if (a == "--delay")
            options.delay = number(value(), "--delay");
        else if (a == "--rate")
            rate = number(value(), "--rate");
        else if (a == "--locked")
            options.lockedByOther = true;
        else if (a == "--device-error")
            options.deviceError = static_cast<uint32_t>(count());
        else if (a == "--abort-after")
            options.abortAfter = count();
        else if (a == "--overlong")
            options.overlong = count();
        else if (a == "--padding")
            options.padding = count();
        else if (a == "--fragment")
            options.fragment = count();
        else if (a == "--udp-only")
            options.portmapperTcp = false;
        else if (a == "--tcp-only")
            options.portmapperUdp = false;
        else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fputs(kUsage, stderr);
            fail("unknown option " + a);
        }
    }
    gpib::sim::Scenario scenario = gpib::sim::Scenario::defaultScenario();
    if (!scenarioPath.empty()) {
        std::string why;
        if (!gpib::sim::loadScenarioFile(scenarioPath, scenario, why)) fail(why);
    }
    if (rate >= 0) scenario.rate = rate;
    std::signal(SIGPIPE, SIG_IGN);

    int pmPort = 0, coreBound = 0, abortPort = 0;
    const int pmUdp = listenOn(SOCK_DGRAM, portmapperPort, pmPort);
    int pmTcpPort = 0;
    const int pmTcp = listenOn(SOCK_STREAM, pmPort, pmTcpPort);
    const int core = listenOn(SOCK_STREAM, corePort, coreBound);
    const int abortFd = listenOn(SOCK_STREAM, 0, abortPort);

    gpib::MonotonicClock clock;
    vxi11sim::Server server(std::move(scenario), options, clock);
    server.setPorts(coreBound, abortPort);
    std::printf("portmapper 127.0.0.1:%d core 127.0.0.1:%d abort 127.0.0.1:%d\n", pmPort, coreBound,
                abortPort);
    std::fflush(stdout);

    using Channel = vxi11sim::Server::Channel;
    for (;;) {
        pollfd fds[4] = {{pmUdp, POLLIN, 0}, {pmTcp, POLLIN, 0}, {core, POLLIN, 0}, {abortFd, POLLIN, 0}};
        if (::poll(fds, 4, -1) < 0 && errno != EINTR) fail(std::strerror(errno));
        if (fds[0].revents & POLLIN) {
            char buffer[9000];
            sockaddr_storage from{};
            socklen_t len = sizeof from;
            const ssize_t n =
                ::recvfrom(pmUdp, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n > 0 && options.portmapperUdp)
                if (auto reply =
                        server.handle(Channel::Portmapper, std::string_view(buffer, static_cast<size_t>(n))))
                    ::sendto(pmUdp, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
        const Channel channels[3] = {Channel::Portmapper, Channel::Core, Channel::Abort};
        for (int i = 1; i < 4; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            const int peer = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (peer < 0) continue;
            if (i == 1 && !options.portmapperTcp) {
                ::close(peer); // the portmapper does not take TCP here
                continue;
            }
            std::thread(serveConnection, peer, std::ref(server), channels[i - 1]).detach();
        }
    }
}

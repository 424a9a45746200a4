// vellumix-sim-adapter: a virtual Prologix or AR488 GPIB controller with simulated TDS scopes
// behind it, on 127.0.0.1 (like a GPIB-ETHERNET) or on a pseudo-terminal (like a GPIB-USB).
// The first line on stdout says where: "tcp 127.0.0.1:PORT" or "pty /dev/pts/N".
#include "tools/sim-adapter/emulator.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

using namespace vellumix;

namespace {

const char* const kUsage =
    "usage: vellumix-sim-adapter [--tcp PORT | --pty] [options]\n"
    "  --tcp PORT          listen on 127.0.0.1:PORT (0: any free port; default 1234)\n"
    "  --pty               serve on a pseudo-terminal instead\n"
    "  --firmware F        ar488-0.47, ar488-0.49, ar488-0.50, ar488-0.53, prologix (default) or\n"
    "                      immediate (a host line stops a running read at once)\n"
    "  --flavour F         prologix or ar488 (= ar488-0.53)\n"
    "  --scenario FILE     simulated bus scenario (default: one TDS 3054B at address 1)\n"
    "  --rate B            bytes per second to the host (default 11520 on a pty, as 115200 baud;\n"
    "                      100000 on TCP); 0 = no limit\n"
    "  --pause-at N        the scope pauses after N bytes of a reply ...\n"
    "  --pause-after K     ... or right after the byte at offset K (the rig's -N K)\n"
    "  --pause S           ... for S seconds\n"
    "  --auto              start with ++auto 1, as a previous program may have left it\n"
    "  --pending TEXT      start with TEXT waiting for the host (a reply nobody read)\n"
    "  --drop-after N      break the connection after N bytes to the host\n";

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "vellumix-sim-adapter: %s\n", why.c_str());
    std::exit(2);
}

double numberArg(const char* text, const char* option) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (!end || *end || v < 0) fail(std::string(option) + " needs a number of 0 or more");
    return v;
}

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

int main(int argc, char** argv) {
    simadapter::AdapterOptions options;
    int port = 1234;
    bool pty = false;
    bool rateGiven = false;
    std::string scenarioPath;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&]() -> const char* {
            if (i + 1 >= argc) fail(a + " needs a value");
            return argv[++i];
        };
        if (a == "--tcp") {
            port = static_cast<int>(numberArg(value(), "--tcp"));
        } else if (a == "--pty") {
            pty = true;
        } else if (a == "--flavour" || a == "--firmware") {
            const std::string f = value();
            const auto fw = simadapter::firmwareNamed(f);
            if (!fw || (a == "--flavour" && f != "prologix" && f != "ar488"))
                fail(a == "--flavour" ? "--flavour is prologix or ar488"
                                      : "--firmware is ar488-0.47, ar488-0.49, ar488-0.50, ar488-0.53, "
                                        "prologix or immediate");
            options.firmware = *fw;
            options.flavour = simadapter::profile(*fw).flavour;
        } else if (a == "--scenario") {
            scenarioPath = value();
        } else if (a == "--rate") {
            options.rate = numberArg(value(), "--rate");
            rateGiven = true;
        } else if (a == "--pause-at") {
            options.pauseAt = static_cast<std::size_t>(numberArg(value(), "--pause-at"));
        } else if (a == "--pause-after") {
            options.pauseAt = static_cast<std::size_t>(numberArg(value(), "--pause-after")) + 1;
        } else if (a == "--pause") {
            options.pauseSeconds = numberArg(value(), "--pause");
        } else if (a == "--auto") {
            options.autoRead = true;
        } else if (a == "--pending") {
            options.pendingOutput = value();
        } else if (a == "--drop-after") {
            options.dropAfter = static_cast<std::size_t>(numberArg(value(), "--drop-after"));
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fputs(kUsage, stderr);
            fail("unknown option " + a);
        }
    }
    if (!rateGiven) options.rate = pty ? 11520 : 100000;
    options.ethernet = !pty;

    gpib::sim::Scenario scenario = gpib::sim::Scenario::defaultScenario();
    if (!scenarioPath.empty()) {
        std::string why;
        if (!gpib::sim::loadScenarioFile(scenarioPath, scenario, why)) fail(why);
    }
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

    simadapter::AdapterEmulator adapter(std::move(scenario), options);
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

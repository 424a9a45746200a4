// The update download against a hostile server on 127.0.0.1 that floods or trickles: the process must
// stay small and the download must end within its time limit, leaving the earlier copy as it was.
// A program of its own, so that its memory high-water mark starts low.
#include "about/download.h"
#include "about/updatecheck.h"
#include "tests/support/fakes.h"
#include "tests/support/files.h"
#include "tests/support/loopback.h"
#include "tests/support/qtenv.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vellumix {
namespace {

// Kilobytes of this process's peak resident memory.
long peakKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmHWM:") {
            status >> value;
            return value;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

// Serves every connection on its own thread with a head and then a body that never ends: a fixed
// block sent as fast as the socket takes it, or one byte at a time.
class HostileServer {
public:
    HostileServer(std::string head, std::string block, std::chrono::milliseconds pause)
        : head_(std::move(head)), block_(std::move(block)), pause_(pause) {
        fd_ = test::bindLoopback(port_);
        if (fd_ < 0) return;
        thread_ = std::thread([this] { serve(); });
    }
    ~HostileServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        close(fd_);
    }
    int port() const { return port_; }

private:
    void serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const int c = accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            char request[4096];
            (void)recv(c, request, sizeof request, 0);
            bool open = send(c, head_.data(), head_.size(), MSG_NOSIGNAL) > 0;
            while (open && !stop_) {
                open = send(c, block_.data(), block_.size(), MSG_NOSIGNAL) > 0;
                if (pause_.count() > 0) std::this_thread::sleep_for(pause_);
            }
            close(c);
        }
    }

    std::string head_, block_;
    std::chrono::milliseconds pause_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The download waits in an event loop, which needs an application object for the whole run.
[[maybe_unused]] ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::QtEnvironment<QCoreApplication>);

const std::string Chunk16K = "4000\r\n" + std::string(0x4000, 'v') + "\r\n";

TEST(HostileUpdateServer, DownloadStaysSmallAndEndsInTime) {
    const struct {
        const char* name;
        std::string head;
        std::string block;
        int pauseMs;
        int expected;
    } cases[] = {
        {"endless chunked body", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", Chunk16K, 0,
         DownloadTooLarge},
        {"one giant chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffff\r\n",
         std::string(65536, 'g'), 0, DownloadTooLarge},
        {"endless body until close", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", std::string(65536, 'c'),
         0, DownloadTooLarge},
        {"declared huge length", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n",
         std::string(65536, 'l'), 0, DownloadTooLarge},
        {"endless headers", "HTTP/1.1 200 OK\r\n", "X-Filler: " + std::string(8000, 'h') + "\r\n", 0,
         DownloadNetworkError},
        {"trickle", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "1\r\nt\r\n", 20,
         DownloadTimedOut},
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.path().toStdString() + "/versions.txt";
    constexpr int TimeLimitMs = 1500;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostileServer server(c.head, c.block, std::chrono::milliseconds(c.pauseMs));
        ASSERT_NE(server.port(), 0);
        test::writeFile(path, "Vellumix: 1.0");
        const long before = peakKiB();
        QElapsedTimer took;
        took.start();
        const int result = downloadToFile("http://127.0.0.1:" + std::to_string(server.port()) + "/dl/swv.txt",
                                          path, TimeLimitMs);
        const qint64 ms = took.elapsed();
        if (c.expected == DownloadNetworkError) {
            EXPECT_NE(result, DownloadOk); // how libcurl names a header flood is its own
        } else {
            EXPECT_EQ(result, c.expected);
        }
        EXPECT_LT(ms, TimeLimitMs + 500) << "the download outlived its time limit";
        EXPECT_LT(peakKiB() - before, 100 * 1024) << "the download grew the process by that much";
        EXPECT_EQ(test::readFile(path), "Vellumix: 1.0");
    }
}

// The whole check against a flooding host: box A, and the earlier copy is not read.
TEST(HostileUpdateServer, CheckGivesBoxA) {
    HostileServer server("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", Chunk16K,
                         std::chrono::milliseconds(0));
    ASSERT_NE(server.port(), 0);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    test::ScriptedDesktop desktop;
    desktop.env["AppData"] = dir.path().toStdString();
    desktop.env["VELLUMIX_UPDATE_URL"] = "http://127.0.0.1:" + std::to_string(server.port());
    desktop.downloader = [](const std::string& url, const std::string& path) {
        return downloadToFile(url, path);
    };
    desktop.answers = {MsgAnswer::No};
    EXPECT_EQ(CheckForUpdate(desktop, "1.25"), UpdateOutcome::DownloadFailed);
    ASSERT_EQ(desktop.boxes.size(), 1u);
    EXPECT_EQ(desktop.boxes[0].prompt, "Web Datafile not foud.\n\nGoto the Program Homepage for info ?");
}

} // namespace
} // namespace vellumix

// The update check end to end: a real HTTP server on 127.0.0.1, the real download, a scripted desktop.
#include "about/download.h"
#include "about/updatecheck.h"
#include "tests/support/fakes.h"
#include "tests/support/files.h"
#include "tests/support/qtenv.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace vellumix {
namespace {

namespace fs = std::filesystem;

// Answers GET requests from a table of routes; unknown paths get 404. A hanging route never answers.
class TinyHttpServer {
public:
    struct Route {
        int status = 200;
        QByteArray body;
        bool hang = false;
    };

    TinyHttpServer() {
        QObject::connect(&server_, &QTcpServer::newConnection, [this] { accept(); });
        listening_ = server_.listen(QHostAddress::LocalHost, 0);
    }
    bool listening() const { return listening_; }
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(server_.serverPort()); }
    void set(const QByteArray& path, Route route) { routes_[path] = std::move(route); }
    const std::vector<QByteArray>& requests() const { return requests_; }

private:
    void accept() {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                buffer->append(socket->readAll());
                if (!buffer->contains("\r\n\r\n")) return;
                const QList<QByteArray> words = buffer->left(buffer->indexOf("\r\n")).split(' ');
                const QByteArray path = words.size() > 1 ? words[1] : QByteArray();
                requests_.push_back(path);
                buffer->clear();
                auto it = routes_.find(path);
                const Route route = it == routes_.end() ? Route{404, "not here", false} : it->second;
                if (route.hang) return;
                QByteArray response = "HTTP/1.1 " + QByteArray::number(route.status) + " X\r\n" +
                                      "Content-Length: " + QByteArray::number(route.body.size()) +
                                      "\r\nConnection: close\r\n\r\n" + route.body;
                socket->write(response);
                socket->disconnectFromHost();
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    QTcpServer server_;
    bool listening_ = false;
    std::map<QByteArray, Route> routes_;
    std::vector<QByteArray> requests_;
};

// True when this process holds an open descriptor on a file whose path ends with name.
bool fileIsOpen(const std::string& name) {
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd", ec)) {
        const fs::path target = fs::read_symlink(fd.path(), ec);
        if (!ec && target.filename() == name) return true;
    }
    return false;
}

// The download waits in an event loop, which needs an application object for the whole run.
[[maybe_unused]] ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::QtEnvironment<QCoreApplication>);

class UpdateCheckTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); }

    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        ASSERT_TRUE(server_.listening());
        appData_ = dir_.path().toStdString();
        desktop_.env["AppData"] = appData_;
        desktop_.env["VELLUMIX_UPDATE_URL"] = server_.baseUrl();
        desktop_.downloader = [](const std::string& url, const std::string& path) {
            return downloadToFile(url, path, 5000);
        };
        desktop_.onMessageBox = [this] { openAtBox_ = openAtBox_ || fileIsOpen("versions.txt"); };
    }

    void publish(const std::string& body, int status = 200) {
        server_.set("/dl/swv.txt", {status, QByteArray::fromStdString(body), false});
    }
    std::string localCopy() const { return appData_ + "/vbTemp/versions.txt"; }
    std::string homepage() const { return server_.baseUrl() + "/dl/Vellumix.htm"; }

    QTemporaryDir dir_;
    TinyHttpServer server_;
    std::string appData_;
    test::ScriptedDesktop desktop_;
    bool openAtBox_ = false;
};

const std::string HomepageInfo = "\n\nGoto the Program Homepage for info ?";

TEST_F(UpdateCheckTest, OutcomesOfPublishedFiles) {
    struct Case {
        const char* name;
        std::string file;
        UpdateOutcome outcome;
        std::string text;
    };
    const std::string latest = "This is the latest version.";
    const Case cases[] = {
        {"empty file", "", UpdateOutcome::NoEntry, "No data for this program found." + HomepageInfo},
        {"no entry", "Other: 9.0, Another: 2.0\r\n", UpdateOutcome::NoEntry,
         "No data for this program found." + HomepageInfo},
        {"newer, blank after colon", "Tool: 3.0, Vellumix: 1.3\r\n", UpdateOutcome::Newer,
         "A newer version  (  1.3 )  is available.\n\nGoto the Program Homepage to download ?"},
        {"newer, upper case, first match wins", "VELLUMIX:1.30\nVellumix: 0.1\n", UpdateOutcome::Newer,
         "A newer version  ( 1.30 )  is available.\n\nGoto the Program Homepage to download ?"},
        {"newer, quoted with comma", "  \"vellumix: 1.5,final\"", UpdateOutcome::Newer,
         "A newer version  (  1.5,final )  is available.\n\nGoto the Program Homepage to download ?"},
        {"equal", "Vellumix: 1.25", UpdateOutcome::Latest, latest},
        {"equal, spaced digits", "Vellumix: 1 . 2 5", UpdateOutcome::Latest, latest},
        {"older", "Vellumix: 1.2", UpdateOutcome::Latest, latest},
        {"1.10 is older than 1.25", "Vellumix: 1.10", UpdateOutcome::Latest, latest},
        {"comma cuts the version", "Vellumix: 1,3", UpdateOutcome::Latest, latest},
        {"no colon", "Vellumix 2.0", UpdateOutcome::Latest, latest},
        {"no number", "Vellumix: soon", UpdateOutcome::Latest, latest},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        publish(c.file);
        desktop_.boxes.clear();
        desktop_.opened.clear();
        desktop_.answers = {MsgAnswer::Cancel}; // anything but No opens the homepage
        EXPECT_EQ(CheckForUpdate(desktop_, "1.25"), c.outcome);
        ASSERT_EQ(desktop_.boxes.size(), 1u);
        EXPECT_EQ(desktop_.boxes[0].prompt, c.text);
        EXPECT_EQ(desktop_.boxes[0].title, "Current version: 1.25");
        const bool latestBox = c.outcome == UpdateOutcome::Latest;
        EXPECT_EQ(desktop_.boxes[0].flags, latestBox ? MbOk : MbYesNo);
        if (latestBox) {
            EXPECT_TRUE(desktop_.opened.empty());
        } else {
            ASSERT_EQ(desktop_.opened.size(), 1u);
            EXPECT_EQ(desktop_.opened[0].target, homepage());
            EXPECT_EQ(desktop_.opened[0].mode, ShowMode::Normal);
        }
        EXPECT_EQ(test::readFile(localCopy()), c.file);
    }
    EXPECT_FALSE(openAtBox_) << "the local copy was still open when a box appeared";
}

TEST_F(UpdateCheckTest, FailedDownloadsGiveBoxA) {
    // 404, a server error, and a port where nobody listens.
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const std::string refused = "http://127.0.0.1:" + std::to_string(closed.serverPort());
    closed.close();

    const struct {
        const char* name;
        int status;
        std::string base;
    } cases[] = {{"404", 404, ""}, {"500", 500, ""}, {"refused", 200, refused}};
    // An older copy from an earlier check must not be read after a failure.
    fs::create_directory(appData_ + "/vbTemp");
    test::writeFile(localCopy(), "Vellumix: 9.9");
    const auto realDownload = desktop_.downloader;
    bool busyDuringDownload = false;
    desktop_.downloader = [&](const std::string& url, const std::string& path) {
        busyDuringDownload = !desktop_.busyTrace.empty() && desktop_.busyTrace.back() == "on";
        return realDownload(url, path);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        publish("Vellumix: 9.9", c.status);
        if (!c.base.empty()) desktop_.env["VELLUMIX_UPDATE_URL"] = c.base;
        desktop_.busyTrace.clear();
        busyDuringDownload = false;
        desktop_.boxes.clear();
        desktop_.opened.clear();
        desktop_.answers = {MsgAnswer::Yes};
        EXPECT_EQ(CheckForUpdate(desktop_, "1.25"), UpdateOutcome::DownloadFailed);
        ASSERT_EQ(desktop_.boxes.size(), 1u);
        EXPECT_EQ(desktop_.boxes[0].prompt, "Web Datafile not foud." + HomepageInfo);
        EXPECT_EQ(desktop_.boxes[0].flags, MbYesNo);
        ASSERT_EQ(desktop_.opened.size(), 1u);
        EXPECT_EQ(desktop_.opened[0].target,
                  (c.base.empty() ? server_.baseUrl() : c.base) + "/dl/Vellumix.htm");
        EXPECT_EQ(test::readFile(localCopy()), "Vellumix: 9.9");
        // A sign of life while the download runs, and the normal pointer back for the box.
        EXPECT_TRUE(busyDuringDownload);
        EXPECT_EQ(desktop_.busyTrace, (std::vector<std::string>{"on", "off"}));
    }
}

TEST_F(UpdateCheckTest, SuccessWithoutFileGivesBoxB) {
    desktop_.downloader = [](const std::string&, const std::string&) { return 0; };
    desktop_.answers = {MsgAnswer::No};
    EXPECT_EQ(CheckForUpdate(desktop_, "1.25"), UpdateOutcome::CopyMissing);
    ASSERT_EQ(desktop_.boxes.size(), 1u);
    EXPECT_EQ(desktop_.boxes[0].prompt, "Downloaded Datafile not foud." + HomepageInfo);
    EXPECT_TRUE(desktop_.opened.empty());
}

TEST_F(UpdateCheckTest, FolderThatCannotBeMadeGivesBoxAWithoutDownload) {
    const struct {
        const char* name;
        std::map<std::string, std::string> env;
    } cases[] = {
        {"parent missing", {{"AppData", appData_ + "/missing/deeper"}}},
        {"no base known", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        desktop_.env = c.env;
        desktop_.boxes.clear();
        desktop_.downloads.clear();
        desktop_.answers = {MsgAnswer::No};
        EXPECT_EQ(CheckForUpdate(desktop_, "1.25"), UpdateOutcome::DownloadFailed);
        EXPECT_TRUE(desktop_.downloads.empty());
        ASSERT_EQ(desktop_.boxes.size(), 1u);
        EXPECT_EQ(desktop_.boxes[0].prompt, "Web Datafile not foud." + HomepageInfo);
    }
    EXPECT_FALSE(fs::exists(appData_ + "/missing"));
}

TEST_F(UpdateCheckTest, TwoChecksInARowAndUrls) {
    desktop_.env["VELLUMIX_UPDATE_URL"] = server_.baseUrl() + "/"; // no "//dl" from a trailing slash
    publish("Vellumix: 1.3");
    EXPECT_EQ(CheckForUpdate(desktop_, "1.25"), UpdateOutcome::Newer);
    publish("Vellumix: 1.25");
    EXPECT_EQ(CheckForUpdate(desktop_, "1.25"), UpdateOutcome::Latest);
    EXPECT_EQ(test::readFile(localCopy()), "Vellumix: 1.25");
    ASSERT_EQ(desktop_.downloads.size(), 2u);
    EXPECT_EQ(desktop_.downloads[1], server_.baseUrl() + "/dl/swv.txt");
    EXPECT_EQ(server_.requests(), (std::vector<QByteArray>{"/dl/swv.txt", "/dl/swv.txt"}));
}

TEST_F(UpdateCheckTest, ReadsOnlyTheBoundOfAHugeFile) {
    const std::string filler(UpdateFileReadLimit, 'x');
    publish(filler + ",Vellumix: 2.0");
    EXPECT_EQ(CheckForUpdate(desktop_, "1.25"), UpdateOutcome::NoEntry);
    publish("Vellumix: 2.0," + filler);
    EXPECT_EQ(CheckForUpdate(desktop_, "1.25"), UpdateOutcome::Newer);
}

// downloadToFile on its own.
TEST_F(UpdateCheckTest, DownloadToFileResults) {
    const QByteArray binary("\x00\x01\r\n\xff tail", 10);
    server_.set("/bin", {200, binary, false});
    server_.set("/gone", {410, "gone", false});
    server_.set("/hang", {200, "", true});
    server_.set("/big", {200, QByteArray(2000, 'b'), false});
    const std::string base = server_.baseUrl();
    const std::string target = appData_ + "/out.bin";

    const struct {
        const char* name;
        std::string url;
        std::string path;
        int timeoutMs;
        std::int64_t maxBytes;
        int expected;
    } cases[] = {
        {"http error", base + "/gone", target, 5000, 1000, DownloadHttpError},
        {"timeout", base + "/hang", target, 200, 1000, DownloadTimedOut},
        {"too large", base + "/big", target, 5000, 1000, DownloadTooLarge},
        {"not http", "ftp://127.0.0.1/x", target, 5000, 1000, DownloadBadUrl},
        {"file url", "file:///etc/hostname", target, 5000, 1000, DownloadBadUrl},
        {"folder missing", base + "/bin", appData_ + "/none/out.bin", 5000, 1000, DownloadWriteFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeFile(target, "previous");
        EXPECT_EQ(downloadToFile(c.url, c.path, c.timeoutMs, c.maxBytes), c.expected);
        EXPECT_EQ(test::readFile(target), "previous") << "a failed download touched the old file";
    }
    EXPECT_EQ(downloadToFile(base + "/bin", target), DownloadOk);
    EXPECT_EQ(test::readFile(target), binary.toStdString());
    EXPECT_EQ(downloadToFile(base + "/big", target, 5000, 2000), DownloadOk);
    EXPECT_EQ(test::readFile(target).size(), 2000u);
}

} // namespace
} // namespace vellumix

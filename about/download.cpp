#include "about/download.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSaveFile>
#include <QUrl>

#include <curl/curl.h>

#include <memory>

namespace vellumix {

namespace {

// libcurl hands each piece of the body to the file as it arrives and reads no further ahead than one
// such piece, so a server that floods cannot make the process hold more than that. (Qt's HTTP client
// keeps reading a chunked body into memory for as long as the socket has data.)
struct Transfer {
    QSaveFile* file = nullptr;
    std::int64_t maxBytes = 0;
    std::int64_t received = 0;
    bool tooLarge = false;
    bool writeFailed = false;
};

size_t writeBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const auto n = static_cast<std::int64_t>(size * count);
    t->received += n;
    if (t->received > t->maxBytes) {
        t->tooLarge = true;
        return 0; // a short count ends the transfer
    }
    if (t->file->write(data, n) != n) {
        t->writeFailed = true;
        return 0;
    }
    return size * count;
}

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct MultiDeleter {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};

// Each slice of waiting ends after this long at the latest, so that windows repaint (and a test's
// server in the same thread answers) while the download runs.
constexpr int PollSliceMs = 10;

} // namespace

int downloadToFile(const std::string& url, const std::string& path, int timeoutMs, std::int64_t maxBytes) {
    if (!QCoreApplication::instance()) return DownloadNoApplication;

    const QUrl target(QString::fromStdString(url), QUrl::StrictMode);
    const QString scheme = target.scheme().toLower();
    if (!target.isValid() || target.host().isEmpty() ||
        (scheme != QStringLiteral("http") && scheme != QStringLiteral("https")))
        return DownloadBadUrl;

    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!initialised) return DownloadNetworkError;

    QSaveFile file(QString::fromStdString(path));
    // Unbuffered: a write that fails fails in the callback, not later at commit.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return DownloadWriteFailed;

    Transfer transfer;
    transfer.file = &file;
    transfer.maxBytes = maxBytes;
    const std::string address = target.toString(QUrl::FullyEncoded).toStdString();

    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!easy || !multi) return DownloadNetworkError;
    CURL* e = easy.get();
    curl_easy_setopt(e, CURLOPT_URL, address.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 5L);
    // The point of the check is the file as published now, never a cached copy.
    const char* const noCache = "Cache-Control: no-cache";
    curl_slist* headers = curl_slist_append(nullptr, noCache);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
    // No proxy from the environment: the program never used one.
    curl_easy_setopt(e, CURLOPT_PROXY, "");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &transfer);
    // A declared length above the bound is refused before its body is read.
    curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
    if (timeoutMs > 0) curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    curl_multi_add_handle(multi.get(), e);

    // Waits without taking user input, so the windows cannot start a second check meanwhile.
    QElapsedTimer clock;
    clock.start();
    bool timedOut = false;
    int running = 1;
    while (running > 0) {
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) break;
        if (running == 0) break;
        if (timeoutMs > 0 && clock.elapsed() > timeoutMs) {
            timedOut = true; // libcurl's own limit should have ended it; this one always does
            break;
        }
        curl_multi_poll(multi.get(), nullptr, 0, PollSliceMs, nullptr);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }

    CURLcode result = CURLE_OK;
    int left = 0;
    while (CURLMsg* m = curl_multi_info_read(multi.get(), &left)) {
        if (m->msg == CURLMSG_DONE) result = m->data.result;
    }
    long status = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    curl_multi_remove_handle(multi.get(), e);
    curl_slist_free_all(headers);

    if (timedOut || result == CURLE_OPERATION_TIMEDOUT) return DownloadTimedOut;
    if (transfer.tooLarge || result == CURLE_FILESIZE_EXCEEDED) return DownloadTooLarge;
    if (transfer.writeFailed) return DownloadWriteFailed;
    if (status >= 400) return DownloadHttpError;
    if (result != CURLE_OK || status == 0) return DownloadNetworkError;
    if (!file.commit()) return DownloadWriteFailed;
    return DownloadOk;
}

} // namespace vellumix

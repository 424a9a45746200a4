#include "about/download.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QTimer>
#include <QUrl>

namespace vellumix {

int downloadToFile(const std::string& url, const std::string& path, int timeoutMs, std::int64_t maxBytes) {
    if (!QCoreApplication::instance()) return DownloadNoApplication;

    const QUrl target(QString::fromStdString(url), QUrl::StrictMode);
    const QString scheme = target.scheme().toLower();
    if (!target.isValid() || target.host().isEmpty() ||
        (scheme != QStringLiteral("http") && scheme != QStringLiteral("https")))
        return DownloadBadUrl;

    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly)) return DownloadWriteFailed;

    QNetworkAccessManager manager;
    QNetworkRequest request(target);
    // The point of the check is the file as published now, never a cached copy.
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setMaximumRedirectsAllowed(5);
    QNetworkReply* reply = manager.get(request);

    bool timedOut = false;
    bool writeFailed = false;
    bool tooLarge = false;
    qint64 received = 0;
    auto drain = [&] {
        // An aborted reply is closed: reading it would only make Qt complain.
        if (writeFailed || tooLarge || timedOut || !reply->isOpen()) return;
        const QByteArray chunk = reply->readAll();
        received += chunk.size();
        if (received > maxBytes) {
            tooLarge = true;
            reply->abort();
        } else if (file.write(chunk) != chunk.size()) {
            writeFailed = true;
            reply->abort();
        }
    };

    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, drain);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        reply->abort();
    });
    if (timeoutMs > 0) timer.start(timeoutMs);
    if (!reply->isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);
    timer.stop();
    drain();

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = reply->error();

    if (timedOut) return DownloadTimedOut;
    if (tooLarge) return DownloadTooLarge;
    if (writeFailed) return DownloadWriteFailed;
    if (status.isValid() && status.toInt() >= 400) return DownloadHttpError;
    if (error != QNetworkReply::NoError || !status.isValid()) return DownloadNetworkError;
    if (!file.commit()) return DownloadWriteFailed;
    return DownloadOk;
}

} // namespace vellumix

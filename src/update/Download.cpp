#include "update/Download.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

QString DownloadUrlText(const QString &address, int idleTimeoutMs, qint64 maximumBytes)
{
    const QUrl url(address);
    if (!url.isValid() || url.scheme().isEmpty())
        return QString();

    // The system's proxy settings, as the rest of the machine uses them.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    QNetworkAccessManager network;
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("HTTP Generic"));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply *reply = network.get(request);

    QByteArray body;
    QEventLoop loop;
    QTimer idle;
    idle.setSingleShot(true);
    idle.setInterval(idleTimeoutMs);
    QObject::connect(&idle, &QTimer::timeout, reply, &QNetworkReply::abort);
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        idle.start();
        body += reply->read(maximumBytes - body.size());
        if (body.size() >= maximumBytes)
            reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, &idle, [&] { idle.start(); });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    idle.start();
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (body.size() < maximumBytes && reply->error() != QNetworkReply::OperationCanceledError)
        body += reply->read(maximumBytes - body.size());
    delete reply;
    return QString::fromLatin1(body);
}

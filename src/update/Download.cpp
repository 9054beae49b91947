#include "update/Download.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

Download::Download(const QString &address, Finished finished, int idleTimeoutMs,
                   qint64 maximumBytes)
    : m_finished(std::move(finished))
    , m_maximumBytes(maximumBytes)
    , m_network(new QNetworkAccessManager)
    , m_idle(new QTimer(m_network))
{
    m_idle->setSingleShot(true);
    m_idle->setInterval(idleTimeoutMs);
    const QUrl url(address);
    if (!url.isValid() || url.scheme().isEmpty()) {
        // Told from the event loop, like every other answer.
        QObject::connect(m_idle, &QTimer::timeout, m_network, [this] { finish(); });
        m_idle->start(0);
        return;
    }

    // The system's proxy settings, as the rest of the machine uses them.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("HTTP Generic"));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    m_reply = m_network->get(request);
    QObject::connect(m_idle, &QTimer::timeout, m_reply, &QNetworkReply::abort);
    QObject::connect(m_reply, &QNetworkReply::readyRead, m_network, [this] {
        m_idle->start();
        m_body += m_reply->read(m_maximumBytes - m_body.size());
        if (m_body.size() >= m_maximumBytes)
            m_reply->abort();
    });
    QObject::connect(m_reply, &QNetworkReply::downloadProgress, m_idle,
                     [this] { m_idle->start(); });
    QObject::connect(m_reply, &QNetworkReply::finished, m_network, [this] { finish(); });
    m_idle->start();
}

Download::~Download()
{
    // May run inside one of the reply's own signals: the parts go once that is over.
    m_network->disconnect();
    m_idle->disconnect();
    m_idle->stop();
    if (m_reply) {
        m_reply->disconnect();
        m_reply->abort();
    }
    m_network->deleteLater();
}

void Download::finish()
{
    m_idle->stop();
    if (m_reply && m_body.size() < m_maximumBytes &&
        m_reply->error() != QNetworkReply::OperationCanceledError)
        m_body += m_reply->read(m_maximumBytes - m_body.size());
    // The receiver may destroy this download: nothing of it is touched afterwards.
    const Finished finished = std::move(m_finished);
    m_finished = nullptr;
    if (finished)
        finished(QString::fromLatin1(m_body));
}

QString DownloadUrlText(const QString &address, int idleTimeoutMs, qint64 maximumBytes)
{
    QString body;
    bool done = false;
    QEventLoop loop;
    Download download(
        address,
        [&](const QString &text) {
            body = text;
            done = true;
            loop.quit();
        },
        idleTimeoutMs, maximumBytes);
    if (!done)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return body;
}

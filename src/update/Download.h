#pragma once

#include <QString>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Fetches an address over HTTP while the caller's event loop runs, and hands over the body as
// single-byte text (one character per byte), or "" when nothing could be fetched. Gives up once
// nothing has arrived for `idleTimeoutMs`, and reads at most `maximumBytes`: an endless or
// hostile answer must neither hang nor exhaust the program. Destroyed before it is done, it
// stops at once and hands over nothing.
class Download {
public:
    using Finished = std::function<void(const QString &body)>;
    Download(const QString &address, Finished finished, int idleTimeoutMs = 30000,
             qint64 maximumBytes = 16 * 1024 * 1024);
    ~Download();
    Download(const Download &) = delete;
    Download &operator=(const Download &) = delete;

private:
    void finish();

    Finished m_finished;
    qint64 m_maximumBytes;
    QNetworkAccessManager *m_network;
    QNetworkReply *m_reply = nullptr;
    QTimer *m_idle;
    QByteArray m_body;
};

// The same, waiting for the body; the window is kept drawn but takes no input meanwhile.
QString DownloadUrlText(const QString &address, int idleTimeoutMs = 30000,
                        qint64 maximumBytes = 16 * 1024 * 1024);

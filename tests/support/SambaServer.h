#pragma once

#include "support/TestEnvironment.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

class QProcess;

// A real Samba server (smbd) for the test program, on 127.0.0.1 and a free high port, with a
// configuration, folders and one tdbsam account of its own under the test root; nothing of the
// machine's Samba is read or changed. Started once per test program on first use, stopped by its
// process group at the end, and dying with the test program when that is killed.
//
// Shares: "logs" (writable, with a folder "nightly"), "nobody" (logs as the account nobody, for
// a server that runs as root), "readonly", "guest" (open to guests) and
// "full" (4 MiB of tmpfs, mounted in a mount namespace of the server's own).
class SambaServer {
public:
    static constexpr QLatin1StringView password{"Pa55-word"};

    // The server of this test program, started when first asked for; null when it cannot run
    // here, with the reason in whyNot().
    static SambaServer *shared();
    static QString whyNot();

    quint16 port() const { return m_port; }
    QString user() const { return m_user; }
    // smb://127.0.0.1:PORT/share/path
    QString url(const QString &share, const QString &path = QString()) const;
    // The local folder the server serves for a share ("full" has none the test can see).
    QString folder(const QString &share) const;
    bool hasFullShare() const { return m_fullShare; }

    // Stops the server at once, with every connection it serves (SIGKILL to its group), and
    // starts it again on the same port.
    void kill();
    bool start();
    bool running() const;
    // Stops every process of the server where it stands (SIGSTOP to its group), or lets it go
    // on: a server that stops answering mid-call, connections kept.
    void freeze(bool frozen) const;

    // Through smbclient, a client that is not ours: the names in a share folder (without "." and
    // ".."), a file's content ("" when it cannot be read), a file put there.
    QStringList list(const QString &share, const QString &folder = QString()) const;
    QByteArray get(const QString &share, const QString &path) const;
    bool put(const QString &share, const QString &path, const QByteArray &content) const;
    // Gives a file the read-only attribute, as a Windows client would.
    bool markReadOnly(const QString &share, const QString &path) const;

    // The credentials file of this server's account in $XDG_CONFIG_HOME/Sorvik/.
    void writeCredentials(const QString &configHome, const QByteArray &passwordText) const;
    // For one test: the server (re)started, every share emptied, the credentials written and a
    // client configuration of its own in HOME ($HOME/.smb/smb.conf, read once per process), so
    // that the machine's /etc/samba/smb.conf is not read.
    bool prepareTest(const QString &home, const QString &configHome);

    ~SambaServer();

private:
    SambaServer() = default;
    bool setUp();
    QString smbclient(const QString &share, const QString &commands, QByteArray *output) const;

    QString m_root;
    QString m_user;
    quint16 m_port = 0;
    bool m_fullShare = false;
    qint64 m_pid = 0;
    std::unique_ptr<QProcess> m_process;
};

// A test that works with the server: skipped, with the reason, where the server cannot run. HOME
// holds the client configuration, the settings folder the account's credentials,
// SORVIK_SMB_PORT points paths without a port (\\server\share) at the server, and the shares
// start empty (but for "nightly" in "logs") with the server running.
template <typename Base> class WithShares : public Base {
protected:
    void SetUp() override
    {
        Base::SetUp();
        server = SambaServer::shared();
        if (!server) {
            // Only a machine without root or Samba skips; one that has both and no server is
            // broken.
            const QString why = SambaServer::whyNot();
            ASSERT_TRUE(why.contains(u"needs root"_s) || why.contains(u"not installed"_s))
                << why.toStdString();
            GTEST_SKIP() << "no Samba server: " << why.toStdString();
        }
        qputenv("SORVIK_SMB_PORT", QByteArray::number(server->port()));
        ASSERT_TRUE(server->prepareTest(this->path("home"), this->path("config")));
    }
    SambaServer *server = nullptr;
};

using ShareEnvironment = WithShares<TempEnvironment>;

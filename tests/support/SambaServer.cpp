#include "support/SambaServer.h"

#include "support/OwnedFile.h"
#include "support/TestEnvironment.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <csignal>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString &reason()
{
    static QString text;
    return text;
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

} // namespace

SambaServer *SambaServer::shared()
{
    static std::unique_ptr<SambaServer> server = [] {
        std::unique_ptr<SambaServer> made(new SambaServer);
        if (!made->setUp())
            made.reset();
        return made;
    }();
    return server.get();
}

QString SambaServer::whyNot()
{
    return reason();
}

bool SambaServer::setUp()
{
    if (::geteuid() != 0) {
        reason() = u"smbd serves files as their owners and needs root here"_s;
        return false;
    }
    for (const char *tool : {"smbd", "smbpasswd", "smbclient", "unshare"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool), {u"/usr/sbin"_s, u"/usr/bin"_s})
                .isEmpty()) {
            reason() = u"%1 is not installed (scripts/setup installs it)"_s.arg(tool);
            return false;
        }
    }
    m_root = testRoot() + u"/samba"_s;
    // The account "nobody" of the share of that name passes through to its folder.
    ::chmod(QFile::encodeName(testRoot()).constData(), 0711);
    m_user = QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name);
    m_port = freePort();
    for (const char *folder :
         {"private", "state", "lock", "cache", "pid", "ncalrpc", "log", "shares/logs/nightly",
          "shares/readonly", "shares/guest", "shares/full"})
        QDir().mkpath(m_root + u"/"_s + QLatin1String(folder));
    const QByteArray root = QFile::encodeName(m_root);
    QByteArray conf = "[global]\n"
                      "  server role = standalone server\n"
                      "  passdb backend = tdbsam:" +
                      root + "/private/passdb.tdb\n";
    for (const char *setting :
         {"private dir = private", "state directory = state", "lock directory = lock",
          "cache directory = cache", "pid directory = pid", "ncalrpc dir = ncalrpc"}) {
        const QList<QByteArray> parts = QByteArray(setting).split('=');
        conf += "  " + parts[0] + "= " + root + "/" + parts[1].trimmed() + "\n";
    }
    conf += "  log file = " + root +
            "/log/smbd.log\n"
            "  interfaces = 127.0.0.1\n  bind interfaces only = yes\n"
            "  smb ports = " +
            QByteArray::number(m_port) +
            "\n  disable netbios = yes\n  load printers = no\n  printing = bsd\n"
            "  printcap name = /dev/null\n  disable spoolss = yes\n"
            "  map to guest = Bad User\n  usershare path =\n"
            "[logs]\n  path = " +
            root +
            "/shares/logs\n  read only = no\n"
            "[readonly]\n  path = " +
            root +
            "/shares/readonly\n  read only = yes\n"
            "[guest]\n  path = " +
            root + "/shares/guest\n  read only = no\n  guest ok = yes\n  force user = " +
            m_user.toLocal8Bit() + "\n[nobody]\n  path = " + root +
            "/shares/logs\n  read only = no\n  force user = nobody\n[full]\n  path = " + root +
            "/shares/full\n  read only = no\n";
    const QByteArray auth = "username = " + m_user.toLocal8Bit() +
                            "\npassword = " + QByteArray(password.data(), password.size()) + "\n";
    if (!writeOwnedFile(m_root + u"/smb.conf"_s, conf, 0644) ||
        !writeOwnedFile(m_root + u"/client.conf"_s, "[global]\n", 0644) ||
        !writeOwnedFile(m_root + u"/auth"_s, auth, 0600)) {
        reason() = u"cannot write the server's configuration under %1"_s.arg(m_root);
        return false;
    }

    const QByteArray twice = QByteArray(password.data(), password.size()) + "\n";
    const Ran add = runTool(u"smbpasswd"_s,
                            {u"-L"_s, u"-c"_s, m_root + u"/smb.conf"_s, u"-a"_s, u"-s"_s, m_user},
                            twice + twice);
    if (add.status != 0) {
        reason() = u"smbpasswd could not add the account: "_s + QString::fromLocal8Bit(add.errors);
        return false;
    }
    m_fullShare = true;
    if (start())
        return true;
    // No mount namespace here: the full share is left out, and its tests say so.
    m_fullShare = false;
    if (start())
        return true;
    reason() = u"smbd did not start; see %1/log/smbd.log"_s.arg(m_root);
    return false;
}

bool SambaServer::start()
{
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->setStandardOutputFile(QProcess::nullDevice());
    ownedByTest(*m_process);
    const QString conf = m_root + u"/smb.conf"_s;
    const QStringList smbd{u"smbd"_s, u"--foreground"_s, u"--no-process-group"_s,
                           u"--configfile="_s + conf};
    if (m_fullShare) {
        // The full share on a small tmpfs, in a mount namespace that ends with the server.
        m_process->start(u"unshare"_s,
                         QStringList{u"-m"_s, u"--propagation"_s, u"private"_s, u"/bin/sh"_s,
                                     u"-c"_s,
                                     u"mount -t tmpfs -o size=4m tmpfs \"$0\" && exec \"$@\""_s,
                                     m_root + u"/shares/full"_s} +
                             smbd);
    } else {
        m_process->start(u"/usr/sbin/smbd"_s, smbd.mid(1));
    }
    if (!m_process->waitForStarted(10000))
        return false;
    m_pid = m_process->processId();
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        if (m_process->state() != QProcess::Running)
            return false;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        if (socket.waitForConnected(200))
            return true;
        QThread::msleep(50);
    }
    return false;
}

bool SambaServer::running() const
{
    return m_process && m_process->state() == QProcess::Running;
}

void SambaServer::kill()
{
    if (m_pid > 0)
        ::kill(-pid_t(m_pid), SIGKILL);
    if (m_process)
        m_process->waitForFinished(10000);
    m_pid = 0;
}

void SambaServer::freeze(bool frozen) const
{
    if (m_pid > 0)
        ::kill(-pid_t(m_pid), frozen ? SIGSTOP : SIGCONT);
}

SambaServer::~SambaServer()
{
    kill();
}

QString SambaServer::url(const QString &share, const QString &path) const
{
    return u"smb://127.0.0.1:%1/%2/%3"_s.arg(m_port).arg(share, path);
}

QString SambaServer::folder(const QString &share) const
{
    return m_root + u"/shares/"_s + share;
}

QString SambaServer::smbclient(const QString &share, const QString &commands,
                               QByteArray *output) const
{
    const Ran client =
        runTool(u"smbclient"_s,
                {u"-s"_s, m_root + u"/client.conf"_s, u"-p"_s, QString::number(m_port), u"-A"_s,
                 m_root + u"/auth"_s, u"//127.0.0.1/"_s + share, u"-c"_s, commands});
    if (output)
        *output = client.output;
    return client.status == 0
               ? QString()
               : u"smbclient: "_s + QString::fromLocal8Bit(client.output + client.errors);
}

QStringList SambaServer::list(const QString &share, const QString &folder) const
{
    QByteArray output;
    const QString failed =
        smbclient(share, folder.isEmpty() ? u"ls"_s : u"cd \"%1\"; ls"_s.arg(folder), &output);
    EXPECT_TRUE(failed.isEmpty()) << failed.toStdString();
    QStringList names;
    for (const QByteArray &line : output.split('\n')) {
        // "  name      A     1234  Mon Dec  7 05:39:45 2026"
        if (!line.startsWith("  ") || line.trimmed().isEmpty())
            continue;
        const QString name = QString::fromUtf8(line.trimmed().split(' ').first());
        if (name != u"."_s && name != u".."_s)
            names << name;
    }
    names.sort();
    return names;
}

QByteArray SambaServer::get(const QString &share, const QString &path) const
{
    const QString local = testRoot() + u"/smbclient-get"_s;
    QFile::remove(local);
    if (!smbclient(share, u"get \"%1\" \"%2\""_s.arg(path, local), nullptr).isEmpty())
        return QByteArray();
    QFile file(local);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool SambaServer::put(const QString &share, const QString &path, const QByteArray &content) const
{
    const QString local = testRoot() + u"/smbclient-put"_s;
    if (!writeOwnedFile(local, content, 0600))
        return false;
    return smbclient(share, u"put \"%1\" \"%2\""_s.arg(local, path), nullptr).isEmpty();
}

bool SambaServer::markReadOnly(const QString &share, const QString &path) const
{
    return smbclient(share, u"setmode \"%1\" +r"_s.arg(path), nullptr).isEmpty();
}

void SambaServer::writeCredentials(const QString &configHome, const QByteArray &passwordText) const
{
    writeOwnedFile(configHome + u"/Sorvik/smb-credentials"_s,
                   "username=" + m_user.toLocal8Bit() + "\npassword=" + passwordText + "\n", 0600);
}

bool SambaServer::prepareTest(const QString &home, const QString &configHome)
{
    if (!running() && !start())
        return false;
    // Names by the hosts file and DNS only: no NetBIOS broadcasts from a test.
    writeOwnedFile(home + u"/.smb/smb.conf"_s,
                   "[global]\n  name resolve order = host\n  disable netbios = yes\n", 0644);
    writeCredentials(configHome, QByteArray(password.data(), password.size()));
    for (const QString &share : {u"logs"_s, u"readonly"_s, u"guest"_s}) {
        QDir(folder(share)).removeRecursively();
        QDir().mkpath(folder(share));
    }
    // The full share lies in the server's own mount namespace: only a client reaches it.
    for (const QString &name : m_fullShare ? list(u"full"_s) : QStringList())
        smbclient(u"full"_s, u"del \"%1\""_s.arg(name), nullptr);
    return QDir().mkpath(folder(u"logs/nightly"_s));
}

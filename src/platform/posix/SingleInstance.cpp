#include "platform/SingleInstance.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString lastError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Opens the lock file, making it when missing, and says why it cannot be used when it cannot.
// Never through a link, never waiting on a FIFO, and only a plain file of this account with no
// other name: whoever can open it could hold the lock against us.
int openLockFile(const QString &path, QString &problem)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        problem = lastError();
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        st.st_nlink != 1) {
        problem = QStringLiteral("it is not a plain file of this account");
        ::close(fd);
        return -1;
    }
    // Readable by others, it would let them take a read lock that keeps our write lock out.
    if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0) {
        problem = lastError();
        ::close(fd);
        return -1;
    }
    return fd;
}

// This account's runtime folder when it is private to it; empty otherwise.
QString privateRuntimeFolder()
{
    const QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    struct stat st {};
    if (!folder.startsWith(QLatin1Char('/')) ||
        ::stat(QFile::encodeName(folder).constData(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)
        return QString();
    return folder;
}

// The program's own name in the runtime folder, which every program of the account shares.
QString lockKey(const QString &canonicalExecutable)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(canonicalExecutable.toUtf8(), QCryptographicHash::Sha256)
            .toHex()
            .left(32));
}

} // namespace

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
    if (m_fd >= 0)
        ::close(m_fd);
}

QString SingleInstance::callPath() const
{
    const QString runtime = privateRuntimeFolder();
    if (runtime.isEmpty() || m_executable.isEmpty())
        return QString();
    return runtime + QStringLiteral("/Sorvik-") + lockKey(m_executable) + QStringLiteral(".call");
}

void SingleInstance::answerLaterStarts(std::function<void()> call)
{
    const QString path = callPath();
    if (m_fd < 0 || path.isEmpty() || m_server)
        return;
    // A socket left by an instance that died is ours to replace: we hold the lock.
    QLocalServer::removeServer(path);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(path)) {
        m_server.reset();
        return;
    }
    QObject::connect(m_server.get(), &QLocalServer::newConnection, m_server.get(),
                     [server = m_server.get(), call = std::move(call)] {
                         while (QLocalSocket *later = server->nextPendingConnection()) {
                             later->disconnectFromServer();
                             later->deleteLater();
                             call();
                         }
                     });
}

bool SingleInstance::tellRunningInstance() const
{
    const QString path = callPath();
    if (path.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(path);
    return socket.waitForConnected(1000);
}

SingleInstance::Claim SingleInstance::claim(const QString &executablePath)
{
    if (m_fd >= 0)
        return {};
    const QFileInfo info(executablePath);
    const QFileInfo canonical(info.canonicalFilePath().isEmpty() ? info.absoluteFilePath()
                                                                 : info.canonicalFilePath());
    m_executable = canonical.filePath();
    const QString home = canonical.absolutePath() + QStringLiteral("/.") + canonical.fileName() +
                         QStringLiteral(".lock");
    QStringList places{home};
    // Seen by this account's sessions only, so it is a second choice.
    const QString runtime = privateRuntimeFolder();
    if (!runtime.isEmpty()) {
        places << runtime + QStringLiteral("/Sorvik-") + lockKey(m_executable) +
                      QStringLiteral(".lock");
    }

    QString note;
    for (const QString &place : places) {
        QString problem;
        const int fd = openLockFile(place, problem);
        if (fd < 0) {
            note += QStringLiteral("The lock file %1 cannot be used (%2). ").arg(place, problem);
            continue;
        }
        // A write lock of the open file, not of the process: it needs write access to take, and
        // two opens within one process keep each other out like two processes do.
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) {
            m_fd = fd;
            if (place != home)
                note += QStringLiteral("The lock is kept in %1: a start in another account's "
                                       "session is not seen.")
                            .arg(place);
            return {false, note.trimmed()};
        }
        const int error = errno;
        ::close(fd);
        if (error == EAGAIN || error == EACCES)
            return {true, QStringLiteral("Another instance of %1 is running (it holds %2); this "
                                         "start ends.")
                              .arg(canonical.filePath(), place)};
        errno = error;
        note += QStringLiteral("The lock file %1 cannot be locked (%2). ").arg(place, lastError());
    }
    return {false, note + QStringLiteral("Sorvik runs without a guard against a second instance.")};
}

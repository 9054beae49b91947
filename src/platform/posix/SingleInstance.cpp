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

// Whether `st` is a lock file no other account can open or hold: a plain file of this account,
// private, with no second name.
bool privateFile(const struct stat &st)
{
    return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_nlink == 1 &&
           (st.st_mode & 077) == 0;
}

// Puts a new private file in the place of the one `seen` describes, unless the place changed
// meanwhile (then nothing is done: the caller looks again). False with the reason when it cannot.
bool replaceLockFile(const QString &path, const struct stat &seen, QString &problem)
{
    QByteArray fresh = QFile::encodeName(path) + ".XXXXXX";
    const int fd = ::mkostemp(fresh.data(), O_CLOEXEC);
    if (fd < 0) {
        problem = QStringLiteral("it is not a private file of this account and cannot be "
                                 "replaced: %1")
                      .arg(lastError());
        return false;
    }
    ::fchmod(fd, 0600);
    ::close(fd);
    struct stat now {};
    const QByteArray native = QFile::encodeName(path);
    if (::lstat(native.constData(), &now) == 0 && now.st_dev == seen.st_dev &&
        now.st_ino == seen.st_ino && ::rename(fresh.constData(), native.constData()) == 0)
        return true;
    ::unlink(fresh.constData());
    return true;
}

// Whether the file `seen` at `path` is write-locked now. Only a write lock can be a running
// instance's (it locks for writing, through a file it opened for writing); a read lock is anyone's
// who could read the file.
bool heldForWriting(const QByteArray &path, const struct stat &seen)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const bool held = ::fstat(fd, &st) == 0 && st.st_dev == seen.st_dev &&
                      st.st_ino == seen.st_ino && ::fcntl(fd, F_OFD_GETLK, &lock) == 0 &&
                      lock.l_type == F_WRLCK;
    ::close(fd);
    return held;
}

// Opens the lock file, making it when missing, and says why it cannot be used when it cannot.
// Never through a link, never waiting on a FIFO, and only a private file of this account with no
// other name: whoever can open it could hold the lock against us. A file of ours that others
// could open (mode 0640 or 0660, a second name) may already be open in their hands, so making it
// private is not enough: a new file takes its place, and `replaced` says so. But not while it is
// write-locked: that may be a running instance whose file was opened up after it took the lock,
// and a new file beside it would let this start run alongside it; `held` says so. Another
// account's file is refused.
int openLockFile(const QString &path, QString &problem, bool &replaced, bool &held)
{
    const QByteArray native = QFile::encodeName(path);
    for (int round = 0; round < 4; ++round) {
        struct stat there {};
        if (::lstat(native.constData(), &there) == 0) {
            if (S_ISLNK(there.st_mode) || !S_ISREG(there.st_mode)) {
                problem = S_ISLNK(there.st_mode) ? QStringLiteral("it is a symbolic link")
                                                 : QStringLiteral("it is not a regular file");
                return -1;
            }
            if (!privateFile(there)) {
                // Write-locked, it may be a running instance's whose file was opened up or given
                // away after it took the lock. Another account's may be that account's own
                // instance's. Neither is ours to replace.
                held = heldForWriting(native, there);
                if (held || there.st_uid != ::geteuid()) {
                    problem = there.st_uid != ::geteuid()
                                  ? QStringLiteral("it belongs to another account")
                              : there.st_nlink > 1
                                  ? QStringLiteral("it has %1 names").arg(there.st_nlink)
                                  : QStringLiteral("its mode is 0%1")
                                        .arg(there.st_mode & 07777, 3, 8, QLatin1Char('0'));
                    return -1;
                }
                if (!replaceLockFile(path, there, problem))
                    return -1;
                replaced = true;
                continue;
            }
        }
        const int fd = ::open(native.constData(),
                              O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0) {
            problem = lastError();
            return -1;
        }
        struct stat st {};
        if (::fstat(fd, &st) == 0 && privateFile(st))
            return fd;
        // Changed between the look and the open: look again.
        ::close(fd);
    }
    problem = QStringLiteral("it keeps changing");
    return -1;
}

// Whether the lock file at `path` is still the one open as `fd`: a lock on a file that lost its
// name guards nothing.
bool stillNamed(int fd, const QString &path)
{
    struct stat open {};
    struct stat named {};
    return ::fstat(fd, &open) == 0 && ::lstat(QFile::encodeName(path).constData(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

// Whether a socket at `path` is one this account made and no other account can reach: only then
// is it the running instance's.
bool ownSocket(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISSOCK(st.st_mode) &&
           st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
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

// The program folder's own name in the runtime folder, which every program of the account shares.
QString lockKey(const QString &canonicalFolder)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(canonicalFolder.toUtf8(), QCryptographicHash::Sha256)
            .toHex()
            .left(32));
}

} // namespace

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance()
{
    release();
}

void SingleInstance::release()
{
    // Closing the server removes its socket: nothing of this instance is left to connect to.
    if (m_server) {
        m_server->close();
        m_server.reset();
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

QString SingleInstance::callPath() const
{
    if (m_lockPath.isEmpty())
        return QString();
    // Beside the lock it answers for: there for a start through su or sudo, which has no runtime
    // folder of its own, and as private as the lock's folder.
    QString path = m_lockPath;
    path.chop(int(qstrlen(".lock")));
    return path + QStringLiteral(".call");
}

void SingleInstance::answerLaterStarts(std::function<void()> call)
{
    const QString path = callPath();
    if (m_fd < 0 || path.isEmpty() || m_server)
        return;
    // A socket left by an instance that died is ours to replace: we hold the lock. Anything else
    // there is not ours, and stays.
    struct stat st {};
    const QByteArray native = QFile::encodeName(path);
    if (::lstat(native.constData(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) && !S_ISLNK(st.st_mode))
            return;
        ::unlink(native.constData());
    }
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
    if (path.isEmpty() || !ownSocket(path))
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
    // One per program folder, whatever the program file is called there (a second name, a copy):
    // its working folders beside it are one run's at a time.
    const QString home = canonical.absolutePath() + QStringLiteral("/.Sorvik.lock");
    QStringList places{home};
    // Seen by this account's sessions only, so it is a second choice.
    const QString runtime = privateRuntimeFolder();
    if (!runtime.isEmpty()) {
        places << runtime + QStringLiteral("/Sorvik-") + lockKey(canonical.absolutePath()) +
                      QStringLiteral(".lock");
    }

    QString note;
    for (const QString &place : places) {
        for (int round = 0; round < 4; ++round) {
            QString problem;
            bool replaced = false;
            bool held = false;
            const int fd = openLockFile(place, problem, replaced, held);
            if (held) {
                // Most likely the running instance; but others can open this file, so its holder
                // is not named as one.
                m_lockPath = place;
                return {true, QStringLiteral("The lock file %1 is held by a running process, and "
                                             "others than this account could open it (%2); this "
                                             "start ends. Once no instance of %3 runs, make it "
                                             "private (mode 0600, one name) or remove it.")
                                  .arg(place, problem, canonical.filePath())};
            }
            if (replaced && round == 0)
                note += QStringLiteral("The lock file %1 was open to other accounts; a new private "
                                       "one took its place. ")
                            .arg(place);
            if (fd < 0) {
                note +=
                    QStringLiteral("The lock file %1 cannot be used (%2). ").arg(place, problem);
                break;
            }
            // A write lock of the open file, not of the process: it needs write access to take,
            // and two opens within one process keep each other out like two processes do.
            struct flock lock {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) {
                if (!stillNamed(fd, place)) {
                    ::close(fd);
                    continue;
                }
                m_fd = fd;
                m_lockPath = place;
                if (place != home)
                    note += QStringLiteral("The lock is kept in %1: a start in another account's "
                                           "session is not seen.")
                                .arg(place);
                return {false, note.trimmed()};
            }
            const int error = errno;
            ::close(fd);
            if (error == EAGAIN || error == EACCES) {
                m_lockPath = place;
                return {true, QStringLiteral("Another instance of %1 is running (it holds %2); "
                                             "this start ends.")
                                  .arg(canonical.filePath(), place)};
            }
            errno = error;
            note +=
                QStringLiteral("The lock file %1 cannot be locked (%2). ").arg(place, lastError());
            break;
        }
    }
    return {false, note + QStringLiteral("Sorvik runs without a guard against a second instance.")};
}

#include "platform/PrivateFile.h"

#include "common/ControlText.h"
#include "common/Failure.h"
#include "platform/FileSystem.h"
#include "platform/SafeFiles.h"
#include "platform/WholeTransfer.h"

#include <QScopeGuard>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString accountName(uid_t uid)
{
    const passwd *account = ::getpwuid(uid);
    return account ? QString::fromLocal8Bit(account->pw_name) : QString::number(uid);
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString notOurs(uid_t owner)
{
    return QStringLiteral("it belongs to the account %1, not to %2, which runs this program")
        .arg(accountName(owner), accountName(::geteuid()));
}

} // namespace

void refusePrivateFile(int number, const QString &what, const QString &path, const QString &why)
{
    throw Failure(number,
                  QStringLiteral("the %1 %2 cannot be used: %3").arg(what, shownPath(path), why));
}

void keepSecretsOutOfDumps()
{
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

int openPrivateFile(const QString &path, const QString &what, qint64 &size)
{
    // A relative path would mean whatever folder a scheduled run happens to start in. It is not
    // repeated: what was typed where a path belongs may be the secret itself.
    if (!path.startsWith(QLatin1Char('/')))
        throw Failure(EINVAL, QStringLiteral("the %1 cannot be used: the path set for it is not "
                                             "absolute (not repeated here, as it may be the "
                                             "secret itself)")
                                  .arg(what));
    const int fd = ::open(nativePath(path).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        refusePrivateFile(error, what, path,
                          error == ELOOP ? QStringLiteral("it is a symbolic link")
                                         : systemError(error));
    }
    auto closeFile = qScopeGuard([fd] { ::close(fd); });
    struct stat st;
    if (::fstat(fd, &st) != 0)
        refusePrivateFile(errno, what, path, systemError(errno));
    if (S_ISDIR(st.st_mode))
        refusePrivateFile(EISDIR, what, path, QStringLiteral("it is a folder"));
    if (!S_ISREG(st.st_mode))
        refusePrivateFile(EINVAL, what, path, QStringLiteral("it is not a regular file"));
    if (st.st_uid != ::geteuid())
        refusePrivateFile(EPERM, what, path, notOurs(st.st_uid));
    if (st.st_mode & (S_IRWXG | S_IRWXO))
        refusePrivateFile(EPERM, what, path,
                          QStringLiteral("other accounts than its owner have permissions on it "
                                         "(mode %1); it must be 0600 or 0400")
                              .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0')));
    // A second name elsewhere, say in the logging folder, would carry the secret into an archive.
    if (st.st_nlink != 1)
        refusePrivateFile(
            EPERM, what, path,
            QStringLiteral("it has %1 names (a hard link); it must have one").arg(st.st_nlink));
    keepSecretsOutOfDumps();
    closeFile.dismiss();
    size = qint64(st.st_size);
    return fd;
}

QByteArray readPrivateFile(const QString &path, const QString &what, qint64 limit)
{
    qint64 size = 0;
    const int fd = openPrivateFile(path, what, size);
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    if (size > limit)
        refusePrivateFile(EFBIG, what, path,
                          QStringLiteral("it is larger than %1 bytes").arg(limit));
    // One byte more than the limit tells a file that grew while it was read.
    QByteArray bytes(qsizetype(limit) + 1, Qt::Uninitialized);
    const Transferred read = transferWhole(size_t(bytes.size()), [&](size_t done) {
        return ::read(fd, bytes.data() + done, size_t(bytes.size()) - done);
    });
    if (read.error)
        refusePrivateFile(read.error, what, path, systemError(read.error));
    if (qint64(read.bytes) > limit)
        refusePrivateFile(EFBIG, what, path,
                          QStringLiteral("it is larger than %1 bytes").arg(limit));
    bytes.truncate(qsizetype(read.bytes));
    return bytes;
}

void checkPrivateFolder(const QString &folder, const QString &what)
{
    const int fd = openFolderNoLink(folder);
    if (fd < 0)
        refusePrivateFile(errno, what, folder,
                          errno == ELOOP || errno == ENOTDIR
                              ? QStringLiteral("it is not a folder, or a symbolic link")
                              : systemError(errno));
    const auto closeFolder = qScopeGuard([fd] { ::close(fd); });
    struct stat st;
    if (::fstat(fd, &st) != 0)
        refusePrivateFile(errno, what, folder, systemError(errno));
    if (st.st_uid != ::geteuid())
        refusePrivateFile(EPERM, what, folder, notOurs(st.st_uid));
    // The account's own group may write (a umask of 002 gives folders that mode, where every
    // account has a group of its own); any other group, or the world, may not.
    if ((st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && st.st_gid != ::getegid()))
        refusePrivateFile(EPERM, what, folder, QStringLiteral("others may write to it"));
}

#include "platform/SafeFiles.h"

#include "platform/FileSystem.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int readFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

// The descriptor when it is a regular file; closed and refused otherwise.
int regularOnly(int fd, const QString &path, struct stat *status)
{
    // Non-blocking, so that a FIFO or device answered at once and is refused here.
    if (fd < 0 && errno == ELOOP)
        throw FileSystemError(ELOOP, QStringLiteral("Cannot read a symbolic link"), path);
    if (fd < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot read"), path);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        throw FileSystemError(error, QStringLiteral("Cannot read what is not a regular file"),
                              path);
    }
    // O_NONBLOCK stays: it means nothing to a regular file's reads.
    if (status)
        *status = st;
    return fd;
}

} // namespace

int openRegularFile(const QString &path, struct stat *status)
{
    return regularOnly(::open(nativePath(path).constData(), readFlags), path, status);
}

int openRegularFile(const File &file, struct stat *status)
{
    if (!file.openFolder())
        return openRegularFile(file.Path(), status);
    return regularOnly(
        ::openat(file.openFolder()->fd(), nativePath(file.Name()).constData(), readFlags),
        file.Path(), status);
}

int openFolderNoLink(const QString &folder)
{
    return ::open(nativePath(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int openRegularFileIn(const QString &folder, const QString &name, struct stat *status)
{
    const QString path = folder + QLatin1Char('/') + name;
    const int in = openFolderNoLink(folder);
    if (in < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot read"), path);
    const int fd = ::openat(in, nativePath(name).constData(), readFlags);
    const int error = errno;
    ::close(in);
    errno = error;
    return regularOnly(fd, path, status);
}

bool removeFileIn(const QString &folder, const QString &name)
{
    const int in = openFolderNoLink(folder);
    if (in < 0)
        return false;
    const bool removed = ::unlinkat(in, nativePath(name).constData(), 0) == 0;
    ::close(in);
    return removed;
}

int createPrivateFile(const QString &path, bool overwrite)
{
    const QByteArray native = nativePath(path);
    // A few rounds at most: each one finds the path changed under it by someone else.
    for (int round = 0; round < 4; ++round) {
        int fd = ::open(native.constData(),
                        O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (fd >= 0) {
            // The umask may have taken from the mode; set it outright.
            if (::fchmod(fd, 0600) != 0) {
                const int error = errno;
                ::close(fd);
                throw FileSystemError(error, QStringLiteral("Cannot create file"), path);
            }
            return fd;
        }
        if (errno != EEXIST || !overwrite)
            throw FileSystemError(errno, QStringLiteral("Cannot create file"), path);
        struct stat there;
        if (::lstat(native.constData(), &there) != 0)
            continue; // gone meanwhile
        if (S_ISLNK(there.st_mode))
            throw FileSystemError(ELOOP, QStringLiteral("Cannot write through a symbolic link"),
                                  path);
        if (!S_ISREG(there.st_mode))
            throw FileSystemError(S_ISDIR(there.st_mode) ? EISDIR : EINVAL,
                                  QStringLiteral("Cannot overwrite what is not a regular file"),
                                  path);
        const bool ownPrivate =
            there.st_uid == ::geteuid() && there.st_nlink == 1 && (there.st_mode & 077) == 0;
        if (ownPrivate) {
            fd = ::open(native.constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
            struct stat st;
            if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_dev == there.st_dev &&
                st.st_ino == there.st_ino && S_ISREG(st.st_mode) && st.st_nlink == 1) {
                if (::ftruncate(fd, 0) != 0) {
                    const int error = errno;
                    ::close(fd);
                    throw FileSystemError(error, QStringLiteral("Cannot create file"), path);
                }
                return fd;
            }
            if (fd >= 0)
                ::close(fd);
            continue;
        }
        // Another account's file, a second name of some other file, or one others may have open:
        // nothing is written into it; a new file takes its name.
        if (::unlink(native.constData()) != 0 && errno != ENOENT)
            throw FileSystemError(errno, QStringLiteral("Cannot replace file"), path);
    }
    throw FileSystemError(EAGAIN, QStringLiteral("Cannot create file (it keeps changing)"), path);
}

namespace {

// The working folder at `path`, open, when it is there (else -1); refused as keepFolderPrivate
// refuses it. `st` is what it is.
int openWorkingFolder(const QString &path, struct stat &st)
{
    const int fd = ::open(nativePath(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return -1;
    if (fd < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot use the working folder"), path);
    auto closeFolder = qScopeGuard([fd] { ::close(fd); });
    if (::fstat(fd, &st) != 0)
        throw FileSystemError(errno, QStringLiteral("Cannot use the working folder"), path);
    if (st.st_uid != ::geteuid())
        throw FileSystemError(
            EPERM, QStringLiteral("Cannot use a working folder that another account owns"), path);
    closeFolder.dismiss();
    return fd;
}

} // namespace

void keepFolderPrivate(const QString &path)
{
    struct stat st;
    const int fd = openWorkingFolder(path, st);
    if (fd < 0)
        return;
    const auto closeFolder = qScopeGuard([fd] { ::close(fd); });
    if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0)
        throw FileSystemError(errno, QStringLiteral("Cannot make the working folder private"),
                              path);
}

bool workingFolderThere(const QString &path)
{
    struct stat st;
    const int fd = openWorkingFolder(path, st);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0;
}

void makePrivateFolderPath(const QString &path)
{
    QStringList missing;
    for (QString at = path; !QFileInfo::exists(at) && !missing.contains(at);
         at = QFileInfo(at).absolutePath())
        missing.prepend(at);
    for (const QString &level : missing)
        if (::mkdir(nativePath(level).constData(), level == path ? 0700 : 0777) != 0 &&
            errno != EEXIST)
            throw FileSystemError(errno, QStringLiteral("Cannot create folder"), level);
}

void moveFlushed(const QByteArray &from, const QByteArray &to, const QString &source,
                 const QString &destination)
{
    // The file, then its new name, on the disk before the move is done: once the run says it
    // delivered, it removes old archives, and a crash must neither leave a hollow file under the
    // name nor lose both.
    const int fd = ::open(from.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot move"), source);
    const auto closed = qScopeGuard([fd] { ::close(fd); });
    struct stat flushed;
    if (::fstat(fd, &flushed) != 0 || !S_ISREG(flushed.st_mode))
        throw FileSystemError(EINVAL, QStringLiteral("Cannot move what is not a regular file"),
                              source);
    if (const int error = flushFailure(fd))
        throw FileSystemError(error, QStringLiteral("Cannot write to disk the file"), source);
    moveNoReplace(from, to, destination);
    struct stat named;
    if (::lstat(to.constData(), &named) != 0 || named.st_dev != flushed.st_dev ||
        named.st_ino != flushed.st_ino)
        throw FileSystemError(EBUSY, QStringLiteral("Moved to"), destination,
                              QStringLiteral("not the file written: another hand put another in "
                                             "its place meanwhile, and the name holds that"));
    if (const int error = flushFolderOf(to))
        throw FileSystemError(
            error, QStringLiteral("Moved, but cannot write to disk the folder of"), destination);
}

void moveNoReplace(const QByteArray &from, const QByteArray &to, const QString &destination)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        throw FileSystemError(errno, QStringLiteral("Cannot move file to"), destination);
    // A file system without an atomic no-replace rename (some network shares): a hard link
    // cannot replace either.
    if (::link(from.constData(), to.constData()) == 0) {
        ::unlink(from.constData());
        return;
    }
    if (errno == EEXIST || (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS))
        throw FileSystemError(errno, QStringLiteral("Cannot move file to"), destination);
    // Neither is offered: the last look and the rename are as close together as they can be.
    struct stat st;
    if (::lstat(to.constData(), &st) == 0)
        throw FileSystemError(EEXIST, QStringLiteral("Cannot move file to"), destination);
    if (::rename(from.constData(), to.constData()) != 0)
        throw FileSystemError(errno, QStringLiteral("Cannot move file to"), destination);
}

int flushFailure(int fd)
{
    return ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
}

int flushFolderOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray folder =
        slash < 0 ? QByteArray(".") : path.left(std::max<qsizetype>(slash, 1));
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        const auto closed = qScopeGuard([dir] { ::close(dir); });
        return flushFailure(dir);
    }
    if (errno != EACCES)
        return errno;
    const int moved = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (moved < 0)
        return errno;
    const auto closed = qScopeGuard([moved] { ::close(moved); });
    return ::syncfs(moved) == 0 ? 0 : errno;
}

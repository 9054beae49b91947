#include "platform/WholeFile.h"

#include "platform/FileSystem.h"
#include "platform/SafeFiles.h"
#include "platform/WholeTransfer.h"

#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void writeFileWhole(const QString &folder, const QString &name, const QByteArray &content,
                    unsigned mode)
{
    const int dir = openFolderNoLink(folder);
    if (dir < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot open folder"), folder);
    const QString path = folder + QLatin1Char('/') + name;
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = '.' + nativePath(name) + '.' +
                    QByteArray::number(QRandomGenerator::system()->generate(), 36);
        fd = ::openat(dir, temporary.constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const int error = errno;
        ::close(dir);
        throw FileSystemError(error, QStringLiteral("Cannot create file"), path);
    }
    const Transferred written = transferWhole(size_t(content.size()), [&](size_t done) {
        return ::write(fd, content.constData() + done, size_t(content.size()) - done);
    });
    int error =
        written.bytes < size_t(content.size()) ? (written.error ? written.error : ENOSPC) : 0;
    if (!error && (::fchmod(fd, mode_t(mode)) != 0 || ::fsync(fd) != 0))
        error = errno;
    if (::close(fd) != 0 && !error)
        error = errno;
    if (!error && ::renameat(dir, temporary.constData(), dir, nativePath(name).constData()) != 0)
        error = errno;
    if (error)
        ::unlinkat(dir, temporary.constData(), 0);
    ::close(dir);
    if (error)
        throw FileSystemError(error, QStringLiteral("Cannot write file"), path);
}

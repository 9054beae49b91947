#include "platform/SingleInstance.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

SingleInstance::~SingleInstance()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool SingleInstance::claim(const QString &executablePath)
{
    if (m_fd >= 0)
        return true;
    const QFileInfo info(executablePath);
    const QString canonical =
        info.canonicalFilePath().isEmpty() ? info.absoluteFilePath() : info.canonicalFilePath();
    const QByteArray key =
        QCryptographicHash::hash(canonical.toUtf8(), QCryptographicHash::Sha256).toHex().left(32);
    // One folder for every account and session (a scheduled job has another TMPDIR than the
    // administrator's desktop); the key keeps programs in different folders apart.
    const QByteArray lockPath = QFile::encodeName(
        QStringLiteral("/tmp/Sorvik-") + QString::fromLatin1(key) + QStringLiteral(".lock"));

    // Another account may have made the file: open what is there before trying to create it (a
    // shared temporary folder refuses to create over another owner's file). Never through a link.
    int fd = ::open(lockPath.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        fd = ::open(lockPath.constData(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(fd);
        return !held;
    }
    m_fd = fd;
    return true;
}

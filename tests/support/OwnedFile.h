#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

// The account nobody logs in as: a file given to it is another account's.
constexpr uid_t nobodyAccount = 65534;

// Writes a file with `mode`, owned by `owner`; false when the test cannot make it so (only root
// gives a file away).
inline bool writeOwnedFile(const QString &path, const QByteArray &content, mode_t mode,
                           uid_t owner = ::geteuid())
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    const QByteArray native = QFile::encodeName(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size() && (file.close(), true) &&
           ::chmod(native.constData(), mode) == 0 &&
           (owner == ::geteuid() || ::chown(native.constData(), owner, ::getegid()) == 0);
}

// A file's permission bits, the file itself and not what a link points to; 0 when it is not there.
inline mode_t modeOf(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// What someone else made first where a file of ours is made: a file of `owner` (a read-only one
// too), a link to `target` or one that leads nowhere, a FIFO, a device, a folder, or a second name
// of `target`.
enum class Planted {
    Nothing,
    File,
    EmptyFile,
    ReadOnlyFile,
    Link,
    DanglingLink,
    Fifo,
    Device,
    Folder,
    SecondName
};
inline void plantAt(Planted kind, const QString &at, const QString &target,
                    uid_t owner = ::geteuid())
{
    const QByteArray native = QFile::encodeName(at);
    if (kind == Planted::File || kind == Planted::ReadOnlyFile || kind == Planted::EmptyFile)
        writeOwnedFile(at, kind == Planted::File ? "old" : "",
                       kind == Planted::ReadOnlyFile ? 0444 : 0644, owner);
    else if (kind == Planted::Link || kind == Planted::DanglingLink)
        QFile::link(kind == Planted::Link ? target : target + QStringLiteral("-gone"), at);
    else if (kind == Planted::Fifo)
        ::mkfifo(native.constData(), 0666);
    else if (kind == Planted::Device)
        ::mknod(native.constData(), S_IFCHR | 0666, makedev(1, 3));
    else if (kind == Planted::Folder)
        QDir().mkpath(at);
    else if (kind == Planted::SecondName)
        ::link(QFile::encodeName(target).constData(), native.constData());
}

#include "platform/FileSystem.h"

#include "platform/WholeTransfer.h"

#include <QScopeGuard>
#include <QStringBuilder>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

// The length of the valid UTF-8 sequence at `s` (with `left` bytes to go) and its code point, or
// 0 when the byte there starts none: overlong forms, encoded surrogates and code points beyond
// U+10FFFF are no valid UTF-8 either.
int utf8Sequence(const uchar *s, qsizetype left, char32_t &code)
{
    int length = 1;
    char32_t least = 0;
    if (s[0] < 0x80) {
        code = s[0];
        return 1;
    } else if ((s[0] & 0xE0) == 0xC0) {
        length = 2, least = 0x80, code = s[0] & 0x1F;
    } else if ((s[0] & 0xF0) == 0xE0) {
        length = 3, least = 0x800, code = s[0] & 0x0F;
    } else if ((s[0] & 0xF8) == 0xF0) {
        length = 4, least = 0x10000, code = s[0] & 0x07;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (s[i] & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

void appendUtf8(QByteArray &bytes, char32_t code)
{
    if (code < 0x80) {
        bytes.append(char(code));
    } else if (code < 0x800) {
        bytes.append(char(0xC0 | (code >> 6)));
        bytes.append(char(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        bytes.append(char(0xE0 | (code >> 12)));
        bytes.append(char(0x80 | ((code >> 6) & 0x3F)));
        bytes.append(char(0x80 | (code & 0x3F)));
    } else {
        bytes.append(char(0xF0 | (code >> 18)));
        bytes.append(char(0x80 | ((code >> 12) & 0x3F)));
        bytes.append(char(0x80 | ((code >> 6) & 0x3F)));
        bytes.append(char(0x80 | (code & 0x3F)));
    }
}

} // namespace

QByteArray nativePath(const QString &path)
{
    QByteArray bytes;
    bytes.reserve(path.size());
    for (qsizetype i = 0; i < path.size(); ++i) {
        char32_t code = path.at(i).unicode();
        if (QChar::isHighSurrogate(code) && i + 1 < path.size() &&
            path.at(i + 1).isLowSurrogate()) {
            code = QChar::surrogateToUcs4(char16_t(code), path.at(++i).unicode());
        } else if (code >= 0xDC80 && code <= 0xDCFF) {
            bytes.append(char(code - 0xDC00));
            continue;
        } else if (QChar::isSurrogate(code)) {
            code = 0xFFFD;
        }
        appendUtf8(bytes, code);
    }
    return bytes;
}

QString decodeNativePath(const QByteArray &native)
{
    QString text;
    text.reserve(native.size());
    const auto *s = reinterpret_cast<const uchar *>(native.constData());
    for (qsizetype i = 0; i < native.size();) {
        char32_t code = 0;
        const int length = utf8Sequence(s + i, native.size() - i, code);
        if (length == 0) {
            text.append(QChar(char16_t(0xDC00 + s[i])));
            ++i;
            continue;
        }
        if (QChar::requiresSurrogates(code)) {
            text.append(QChar(QChar::highSurrogate(code)));
            text.append(QChar(QChar::lowSurrogate(code)));
        } else {
            text.append(QChar(char16_t(code)));
        }
        i += length;
    }
    return text;
}

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

OpenFolder::~OpenFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

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

void keepFolderPrivate(const QString &path)
{
    const int fd = ::open(nativePath(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return;
    if (fd < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot use the working folder"), path);
    const auto closeFolder = qScopeGuard([fd] { ::close(fd); });
    struct stat st;
    if (::fstat(fd, &st) != 0)
        throw FileSystemError(errno, QStringLiteral("Cannot use the working folder"), path);
    if (st.st_uid != ::geteuid())
        throw FileSystemError(
            EPERM, QStringLiteral("Cannot use a working folder that another account owns"), path);
    if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0)
        throw FileSystemError(errno, QStringLiteral("Cannot make the working folder private"),
                              path);
}

namespace {

bool statPath(const QString &path, struct stat &st)
{
    const QByteArray native = nativePath(path);
    return !native.isEmpty() && ::stat(native.constData(), &st) == 0;
}

QDateTime fromTimespec(const timespec &ts)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

// Built in one allocation of the exact size: a folder of 70,000 logs holds as many paths.
QString joinPath(const QString &folder, const QString &name)
{
    if (folder.endsWith(QLatin1Char('/')))
        return QString(folder % name);
    return QString(folder % QLatin1Char('/') % name);
}

class Fd {
public:
    explicit Fd(int fd)
        : m_fd(fd)
    {
    }
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

// What a watched copy does between its blocks: tells how far it got, and stops when asked,
// taking with it what it wrote.
void betweenBlocks(const CopyWatch &watch, qint64 copied, qint64 total, const QString &destination)
{
    if (watch.progress)
        watch.progress(copied, total);
    if (watch.stop && watch.stop()) {
        ::unlink(nativePath(destination).constData());
        throw FileSystemError(ECANCELED, QStringLiteral("Cannot write file"), destination);
    }
}

void copyByReading(int in, int out, const QString &source, const QString &destination,
                   const CopyWatch &watch, qint64 copied, qint64 total)
{
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::read(in, block.data(), size_t(block.size()));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw FileSystemError(errno, QStringLiteral("Cannot read file"), source);
        }
        if (n == 0)
            return;
        const Transferred moved = transferWhole(size_t(n), [&](size_t done) {
            return ::write(out, block.constData() + done, size_t(n) - done);
        });
        if (moved.bytes < size_t(n))
            throw FileSystemError(moved.error ? moved.error : EIO,
                                  QStringLiteral("Cannot write file"), destination);
        copied += n;
        betweenBlocks(watch, copied, total, destination);
    }
}

} // namespace

QString File::Path() const
{
    return joinPath(m_folder, m_name);
}

File::File(FileSystem &fs, QString folder, QString name, QDateTime lastModified, qint64 size,
           std::shared_ptr<const OpenFolder> opened)
    : m_fs(&fs)
    , m_folder(std::move(folder))
    , m_name(std::move(name))
    , m_lastModified(std::move(lastModified))
    , m_size(size)
    , m_opened(std::move(opened))
{
}

void File::Delete(bool force)
{
    m_fs->DeleteFile(Path(), force);
}

bool FileSystem::FolderExists(const QString &path)
{
    struct stat st;
    return statPath(path, st) && S_ISDIR(st.st_mode);
}

bool FileSystem::FileExists(const QString &path)
{
    struct stat st;
    return statPath(path, st) && !S_ISDIR(st.st_mode);
}

void FileSystem::CreateFolder(const QString &path)
{
    const QByteArray native = nativePath(path);
    if (::mkdir(native.constData(), 0700) != 0)
        throw FileSystemError(errno, QStringLiteral("Cannot create folder"), path);
    // The umask can only take from 0700; set it outright so that the owner keeps full use.
    ::chmod(native.constData(), 0700);
}

Folder FileSystem::GetFolder(const QString &path, const std::function<void(qsizetype)> &listed)
{
    // Opened once, as the path names it; nothing is looked up through the path again.
    const int folderFd =
        ::open(nativePath(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (folderFd < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot open folder"), path);
    const auto opened = std::make_shared<const OpenFolder>(folderFd);
    const int listingFd = ::dup(folderFd);
    DIR *dir = listingFd < 0 ? nullptr : ::fdopendir(listingFd);
    if (!dir) {
        const int error = errno;
        if (listingFd >= 0)
            ::close(listingFd);
        throw FileSystemError(error, QStringLiteral("Cannot open folder"), path);
    }
    std::vector<File> files;
    std::vector<QString> skipped;
    qsizetype seen = 0;
    errno = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (listed && ++seen % 512 == 0)
            listed(seen);
        const QString name = decodeNativePath(QByteArray(entry->d_name));
        // Only regular files count, and a link is not followed: a FIFO or device among the logs
        // would block or never end, and a link would take in whatever it points at.
        struct stat st;
        if (::fstatat(folderFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISREG(st.st_mode))
                files.emplace_back(*this, path, name, fromTimespec(st.st_mtim), qint64(st.st_size),
                                   opened);
            else
                skipped.push_back(joinPath(path, name));
        }
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0)
        throw FileSystemError(readError, QStringLiteral("Cannot list folder"), path);
    return Folder{path, FileCollection(std::move(files)), std::move(skipped)};
}

QString FileSystem::GetFileName(const QString &path)
{
    qsizetype end = path.size();
    while (end > 0 && path.at(end - 1) == QLatin1Char('/'))
        --end;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'), end - 1);
    return path.mid(slash + 1, end - slash - 1);
}

void FileSystem::DeleteFile(const QString &path, bool force)
{
    // On this platform a file's own read-only bit never stops its removal, so `force` has nothing
    // left to override; without it a read-only file is refused, as the caller asked.
    const QByteArray native = nativePath(path);
    struct stat st;
    if (::lstat(native.constData(), &st) != 0)
        throw FileSystemError(errno, QStringLiteral("Cannot delete file"), path);
    if (S_ISDIR(st.st_mode))
        throw FileSystemError(EISDIR, QStringLiteral("Cannot delete file"), path);
    if (!force && (st.st_mode & S_IWUSR) == 0)
        throw FileSystemError(EACCES, QStringLiteral("Cannot delete file"), path);
    if (::unlink(native.constData()) != 0)
        throw FileSystemError(errno, QStringLiteral("Cannot delete file"), path);
}

void FileSystem::CopyFile(const QString &source, const QString &destination, bool overwrite,
                          const CopyWatch &watch)
{
    Fd in(openRegularFile(source));
    const int flags =
        O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (overwrite ? O_TRUNC : O_EXCL);
    Fd out(::open(nativePath(destination).constData(), flags, deliveredMode));
    if (out.get() < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot create file"), destination);
    struct stat st;
    if (::fstat(out.get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw FileSystemError(EINVAL, QStringLiteral("Cannot copy onto what is not a regular file"),
                              destination);
    // The mode is chosen, not left to the umask; a share that keeps no modes may refuse, and the
    // mode it was created with is never wider.
    ::fchmod(out.get(), deliveredMode);
    const qint64 total = ::fstat(in.get(), &st) == 0 ? qint64(st.st_size) : 0;
    // In the kernel where it can be (no copy through our memory), by reading and writing where not;
    // in pieces a watcher hears of.
    qint64 copied = 0;
    for (;;) {
        const ssize_t n = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, 64 << 20, 0);
        if (n > 0) {
            copied += n;
            betweenBlocks(watch, copied, total, destination);
            continue;
        }
        if (n == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            throw FileSystemError(errno, QStringLiteral("Cannot write file"), destination);
        copyByReading(in.get(), out.get(), source, destination, watch, copied, total);
        break;
    }
    if (::close(out.release()) != 0)
        throw FileSystemError(errno, QStringLiteral("Cannot write file"), destination);
}

void FileSystem::MoveFile(const QString &source, const QString &destination)
{
    const QByteArray from = nativePath(source);
    const QByteArray to = nativePath(destination);
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

qint64 FileSystem::FileSize(const QString &path)
{
    struct stat st;
    if (::stat(nativePath(path).constData(), &st) != 0)
        throw FileSystemError(errno, QStringLiteral("Cannot read the size of"), path);
    return qint64(st.st_size);
}

QByteArray FileSystem::FileChecksum(const QString &path)
{
    Fd in(::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot open file"), path);
    // CRC-32 tells a damaged or short copy from a good one, at the speed of reading.
    uLong crc = ::crc32(0L, Z_NULL, 0);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::read(in.get(), block.data(), size_t(block.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw FileSystemError(errno, QStringLiteral("Cannot read file"), path);
        if (n == 0)
            break;
        crc = ::crc32_z(crc, reinterpret_cast<const Bytef *>(block.constData()), size_t(n));
    }
    return QByteArray::number(quint32(crc), 16);
}

std::unique_ptr<TextStream> FileSystem::CreateTextFile(const QString &path, bool overwrite,
                                                       bool unicode)
{
    // Never through a symbolic link: the program writes into folders that others may write to,
    // and a link planted there must not redirect what it writes.
    const int fd = createPrivateFile(path, overwrite);
    auto stream = std::make_unique<TextStream>(
        fd, path, unicode ? TextStream::Encoding::Utf16LE : TextStream::Encoding::SingleByte);
    if (unicode)
        stream->writeByteOrderMark();
    return stream;
}

std::unique_ptr<TextStream> FileSystem::OpenTextFile(const QString &path)
{
    return std::make_unique<TextStream>(openRegularFile(path), path,
                                        TextStream::Encoding::SingleByte);
}

std::unique_ptr<TextStream> FileSystem::OpenListedTextFile(const File &file)
{
    return std::make_unique<TextStream>(openRegularFile(file), file.Path(),
                                        TextStream::Encoding::SingleByte);
}

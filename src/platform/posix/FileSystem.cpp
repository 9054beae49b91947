#include "platform/FileSystem.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(path);
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

QString joinPath(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
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

void copyByReading(int in, int out, const QString &source, const QString &destination)
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
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, block.constData() + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                throw FileSystemError(errno, QStringLiteral("Cannot write file"), destination);
            done += w;
        }
    }
}

} // namespace

File::File(FileSystem &fs, QString name, QString path, QDateTime lastModified)
    : m_fs(&fs)
    , m_name(std::move(name))
    , m_path(std::move(path))
    , m_lastModified(std::move(lastModified))
{
}

void File::Delete(bool force)
{
    m_fs->DeleteFile(m_path, force);
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
    if (::mkdir(nativePath(path).constData(), 0777) != 0)
        throw FileSystemError(errno, QStringLiteral("Cannot create folder"), path);
}

Folder FileSystem::GetFolder(const QString &path)
{
    DIR *dir = ::opendir(nativePath(path).constData());
    if (!dir)
        throw FileSystemError(errno, QStringLiteral("Cannot open folder"), path);
    std::vector<File> files;
    errno = 0;
    while (const dirent *entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        const QString full = joinPath(path, name);
        // Only regular files count: a FIFO or device among the logs would block or never end.
        struct stat st;
        if (::fstatat(dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode))
            files.emplace_back(*this, name, full, fromTimespec(st.st_mtim));
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0)
        throw FileSystemError(readError, QStringLiteral("Cannot list folder"), path);
    return Folder{path, FileCollection(std::move(files))};
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

void FileSystem::CopyFile(const QString &source, const QString &destination, bool overwrite)
{
    Fd in(::open(nativePath(source).constData(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot open file"), source);
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL);
    Fd out(::open(nativePath(destination).constData(), flags, 0666));
    if (out.get() < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot create file"), destination);
    // In the kernel where it can be (no copy through our memory), by reading and writing where not.
    for (;;) {
        const ssize_t n = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, 1 << 30, 0);
        if (n > 0)
            continue;
        if (n == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            throw FileSystemError(errno, QStringLiteral("Cannot write file"), destination);
        copyByReading(in.get(), out.get(), source, destination);
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
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (overwrite ? O_TRUNC : O_EXCL);
    const int fd = ::open(nativePath(path).constData(), flags, 0666);
    if (fd < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot create file"), path);
    auto stream = std::make_unique<TextStream>(
        fd, path, unicode ? TextStream::Encoding::Utf16LE : TextStream::Encoding::SingleByte);
    if (unicode)
        stream->writeByteOrderMark();
    return stream;
}

std::unique_ptr<TextStream> FileSystem::OpenTextFile(const QString &path)
{
    const int fd = ::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot open file"), path);
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw FileSystemError(EISDIR, QStringLiteral("Cannot open file"), path);
    }
    return std::make_unique<TextStream>(fd, path, TextStream::Encoding::SingleByte);
}

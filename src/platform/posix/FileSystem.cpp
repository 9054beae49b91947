#include "platform/FileSystem.h"

#include "platform/WholeTransfer.h"
#include "platform/posix/ListingLooks.h"

#include <QStringBuilder>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

OpenFolder::~OpenFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

namespace {

bool statPath(const QString &path, struct stat &st)
{
    const QByteArray native = nativePath(path);
    return !native.isEmpty() && ::stat(native.constData(), &st) == 0;
}

// A folder's names are read and looked at this many at a time.
constexpr size_t listingBlock = 4096;

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
           std::shared_ptr<const OpenFolder> opened, bool holeFree, bool ours)
    : m_fs(&fs)
    , m_folder(std::move(folder))
    , m_name(std::move(name))
    , m_lastModified(std::move(lastModified))
    , m_size(size)
    , m_holeFree(holeFree)
    , m_ours(ours)
    , m_opened(std::move(opened))
{
}

void File::Delete(bool force, bool ownOnly) const
{
    m_fs->DeleteListedFile(*this, force, ownOnly);
}

bool FileSystem::FolderExists(const QString &path)
{
    struct stat st;
    return statPath(path, st) && S_ISDIR(st.st_mode);
}

std::optional<FolderIdentity> FileSystem::IdentifyFolder(const QString &path)
{
    struct stat st;
    if (!statPath(path, st) || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return FolderIdentity{quint64(st.st_dev), quint64(st.st_ino)};
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
    // Closed on every way out: a file made from a name may run out of memory.
    std::unique_ptr<DIR, int (*)(DIR *)> listing(dir, &::closedir);
    // Only regular files count, and a link is not followed: a FIFO or device among the logs
    // would block or never end, and a link would take in whatever it points at.
    std::vector<File> files;
    std::vector<QString> skipped;
    qsizetype seen = 0;
    ListingLooks looks(folderFd);
    const auto takeOldest = [&] {
        const ListingLooks::Block block = looks.finish();
        for (size_t i = 0; i < block.names.size(); ++i) {
            const ListingFacts &facts = block.facts[i];
            if (!facts.seen)
                continue;
            const QString name = decodeNativePath(block.names[i]);
            if (facts.regular)
                files.emplace_back(*this, path, name, fromTimespec(facts.modified), facts.size,
                                   opened, facts.holeFree, facts.ours);
            else
                skipped.push_back(joinPath(path, name));
        }
        seen += qsizetype(block.names.size());
        if (listed)
            listed(seen);
    };
    // A block is looked at while the next is read; the one before it is then made into files.
    std::vector<QByteArray> names;
    const auto queueNames = [&](bool full) {
        looks.start(std::exchange(names, {}), full);
        names.reserve(listingBlock);
        while (looks.queued() > 1)
            takeOldest();
    };
    names.reserve(listingBlock);
    errno = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
            if (names.size() == listingBlock)
                queueNames(true);
        }
        errno = 0;
    }
    const int readError = errno;
    listing.reset();
    if (readError != 0)
        throw FileSystemError(readError, QStringLiteral("Cannot list folder"), path);
    if (!names.empty())
        queueNames(false);
    while (looks.queued() > 0)
        takeOldest();
    struct stat st;
    std::optional<FolderIdentity> identity;
    if (::fstat(folderFd, &st) == 0)
        identity = FolderIdentity{quint64(st.st_dev), quint64(st.st_ino)};
    return Folder{path, FileCollection(std::move(files)), std::move(skipped), identity};
}

QString FileSystem::GetFileName(const QString &path)
{
    qsizetype end = path.size();
    while (end > 0 && path.at(end - 1) == QLatin1Char('/'))
        --end;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'), end - 1);
    return path.mid(slash + 1, end - slash - 1);
}

namespace {
// The program's own rule, not the system's refusal: root could remove it.
QString readOnly()
{
    return QStringLiteral("it is read-only (kept as somebody's choice)");
}
} // namespace

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
        throw FileSystemError(EACCES, QStringLiteral("Cannot delete file"), path, readOnly());
    if (::unlink(native.constData()) != 0)
        throw FileSystemError(errno, QStringLiteral("Cannot delete file"), path);
}

void FileSystem::DeleteListedFile(const File &file, bool force, bool ownOnly)
{
    if (!file.openFolder())
        return DeleteFile(file.Path(), force);
    const int folder = file.openFolder()->fd();
    const QByteArray name = nativePath(file.Name());
    const QString action = QStringLiteral("Cannot delete file");
    struct stat st;
    if (::fstatat(folder, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        throw FileSystemError(errno, action, file.Path());
    if (S_ISDIR(st.st_mode))
        throw FileSystemError(EISDIR, action, file.Path());
    if (!force && (st.st_mode & S_IWUSR) == 0)
        throw FileSystemError(EACCES, action, file.Path(), readOnly());
    if (ownOnly && (st.st_uid != ::geteuid() || st.st_nlink != 1))
        throw FileSystemError(EPERM, action, file.Path(),
                              st.st_uid != ::geteuid()
                                  ? QStringLiteral("it belongs to another account")
                                  : QStringLiteral("it has %1 names").arg(st.st_nlink));
    if (::unlinkat(folder, name.constData(), 0) != 0)
        throw FileSystemError(errno, action, file.Path());
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
    // On its way to the disk while the caller reads it back; MoveFile waits for it to be there
    // before it names it.
    ::sync_file_range(out.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    if (::close(out.release()) != 0)
        throw FileSystemError(errno, QStringLiteral("Cannot write file"), destination);
}

void FileSystem::MoveFile(const QString &source, const QString &destination)
{
    moveFlushed(nativePath(source), nativePath(destination), source, destination);
}

qint64 FileSystem::FileSize(const QString &path)
{
    struct stat st;
    if (::stat(nativePath(path).constData(), &st) != 0)
        throw FileSystemError(errno, QStringLiteral("Cannot read the size of"), path);
    return qint64(st.st_size);
}

std::optional<qint64> FileSystem::ListedFileSize(const File &file)
{
    if (!file.openFolder()) {
        const QString path = file.Path();
        if (!FileExists(path))
            return std::nullopt;
        return FileSize(path);
    }
    struct stat st;
    if (::fstatat(file.openFolder()->fd(), nativePath(file.Name()).constData(), &st, 0) != 0 ||
        S_ISDIR(st.st_mode))
        return std::nullopt;
    return qint64(st.st_size);
}

QByteArray FileSystem::FileChecksum(const QString &path)
{
    Fd in(::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot open file"), path);
    // CRC-32 tells a damaged or short copy from a good one, at the speed of reading.
    quint32 crc = 0;
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::read(in.get(), block.data(), size_t(block.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw FileSystemError(errno, QStringLiteral("Cannot read file"), path);
        if (n == 0)
            break;
        crc = quint32(libdeflate_crc32(crc, block.constData(), size_t(n)));
    }
    return checksumText(crc);
}

#include "platform/posix/SmbFileSystem.h"

#include "platform/posix/SmbContext.h"
#include "platform/posix/SmbPath.h"

#include <QDateTime>

#include <cerrno>
#include <condition_variable>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace {

// Large enough that the round trips do not count against the network's speed.
constexpr qsizetype blockSize = 8 << 20;

// Why the last query on this thread said no, for lastProblem().
thread_local QString t_problem;

// One call into the library, under the context's lock, its failure told in words.
class Call {
public:
    Call(SmbContext &smb, const QString &path)
        : m_smb(smb)
        , m_guard(smb.lock())
        , m_path((t_problem.clear(), path))
        , m_place(SmbPath::parse(path))
        , m_url(m_place.url())
    {
        m_context = smb.ready(path);
    }

    SMBCCTX *context() const { return m_context; }
    const char *url() const { return m_url.constData(); }
    const QByteArray &urlBytes() const { return m_url; }
    const SmbPath &place() const { return m_place; }
    SmbContext &smb() const { return m_smb; }

    [[noreturn]] void fail(const QString &action, int error) const
    {
        t_problem = m_smb.reason(error, m_place);
        throw FileSystemError(error, action, m_path, t_problem);
    }

    // Stat that tells "not there" (false) from a failure (thrown).
    bool stat(struct stat &st, const QString &action) const
    {
        if (smbc_getFunctionStat(m_context)(m_context, url(), &st) == 0)
            return true;
        if (errno == ENOENT || errno == ENOTDIR) {
            t_problem = m_smb.reason(errno, m_place);
            return false;
        }
        fail(action, errno);
    }

private:
    SmbContext &m_smb;
    std::unique_lock<std::mutex> m_guard;
    QString m_path;
    SmbPath m_place;
    QByteArray m_url;
    SMBCCTX *m_context = nullptr;
};

// Whether a path is a share's; what the last query of this thread said is forgotten either way.
bool onShare(const QString &path)
{
    t_problem.clear();
    return SmbPath::isShare(path);
}

// A failure of a query that answers no instead of throwing: its reason is kept.
template <typename Query> bool answer(Query query)
{
    try {
        return query();
    } catch (const FileSystemError &failure) {
        if (t_problem.isEmpty())
            t_problem = failure.description();
        return false;
    }
}

// A file open on a share, closed when it goes; one open for writing is known to the context so
// that a delete from another thread can close it first.
class ShareFile {
public:
    ShareFile(SmbContext &smb, const QString &path, int flags)
        : m_smb(smb)
        , m_path(path)
        , m_writing((flags & (O_WRONLY | O_RDWR)) != 0)
    {
        Call call(smb, path);
        m_url = call.urlBytes();
        m_place = call.place();
        m_context = call.context();
        m_file = smbc_getFunctionOpen(m_context)(m_context, call.url(), flags | O_CLOEXEC, 0600);
        if (!m_file)
            call.fail((flags & O_CREAT) ? QStringLiteral("Cannot create file")
                                        : QStringLiteral("Cannot open file"),
                      errno);
        if (m_writing)
            smb.opened(m_file, m_url);
    }
    ~ShareFile()
    {
        if (m_file) {
            const auto guard = m_smb.lock();
            if (open())
                smbc_getFunctionClose(m_context)(m_context, m_file);
            m_smb.closed(m_file);
        }
    }
    ShareFile(const ShareFile &) = delete;
    ShareFile &operator=(const ShareFile &) = delete;

    qint64 read(char *data, qsizetype size)
    {
        const auto guard = m_smb.lock();
        const ssize_t n = smbc_getFunctionRead(m_context)(m_context, m_file, data, size_t(size));
        if (n < 0)
            fail(QStringLiteral("Cannot read file"), errno);
        return n;
    }

    void write(const char *data, qsizetype size)
    {
        const auto guard = m_smb.lock();
        // Closed meanwhile by a delete (a stop request): what was written is gone with it.
        if (!open())
            fail(QStringLiteral("Cannot write file"), ECANCELED);
        qsizetype done = 0;
        while (done < size) {
            const ssize_t n = smbc_getFunctionWrite(m_context)(m_context, m_file, data + done,
                                                               size_t(size - done));
            if (n <= 0)
                fail(QStringLiteral("Cannot write file"), n < 0 ? errno : EIO);
            done += n;
        }
    }

    // Closes, and says so when the server reports the close failed (data not stored).
    void close()
    {
        const auto guard = m_smb.lock();
        const bool wasOpen = open();
        SMBCFILE *file = std::exchange(m_file, nullptr);
        m_smb.closed(file);
        if (!wasOpen)
            fail(QStringLiteral("Cannot write file"), ECANCELED);
        if (smbc_getFunctionClose(m_context)(m_context, file) != 0)
            fail(QStringLiteral("Cannot write file"), errno);
    }

    // Closes and removes what was written; failures pass unsaid, the caller has its own.
    void discard()
    {
        const auto guard = m_smb.lock();
        if (m_file && open())
            smbc_getFunctionClose(m_context)(m_context, m_file);
        m_smb.closed(m_file);
        m_file = nullptr;
        smbc_getFunctionUnlink(m_context)(m_context, m_url.constData());
    }

private:
    // A file open for writing may have been closed by a delete meanwhile.
    bool open() const { return !m_writing || m_smb.stillOpen(m_file); }
    [[noreturn]] void fail(const QString &action, int error)
    {
        const QString reason = m_smb.reason(error, m_place);
        t_problem = reason;
        throw FileSystemError(error, action, m_path, reason);
    }

    SmbContext &m_smb;
    QString m_path;
    bool m_writing;
    QByteArray m_url;
    SmbPath m_place;
    SMBCCTX *m_context = nullptr;
    SMBCFILE *m_file = nullptr;
};

// What makes a file the same file as when its checksum was taken.
SmbFileSystem::Identity identityOf(const struct stat &st)
{
    return {qint64(st.st_dev),         qint64(st.st_ino),          qint64(st.st_size),
            qint64(st.st_mtim.tv_sec), qint64(st.st_mtim.tv_nsec), qint64(st.st_ctim.tv_sec),
            qint64(st.st_ctim.tv_nsec)};
}

QDateTime fromTimespec(const timespec &ts)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

} // namespace

std::unique_ptr<FileSystem> makeFileSystem()
{
    return std::make_unique<SmbFileSystem>();
}

QString slashedPath(const QString &path)
{
    if (!path.startsWith(QLatin1StringView("\\\\")))
        return path;
    QString slashed = path;
    return slashed.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

SmbFileSystem::SmbFileSystem() = default;
SmbFileSystem::~SmbFileSystem() = default;

SmbContext &SmbFileSystem::context()
{
    // Made on first use: a run that never touches a share never starts the library.
    std::call_once(m_made, [this] { m_context = std::make_unique<SmbContext>(); });
    return *m_context;
}

QString SmbFileSystem::lastProblem()
{
    return t_problem;
}

bool SmbFileSystem::FolderExists(const QString &path)
{
    if (!onShare(path))
        return FileSystem::FolderExists(path);
    return answer([&] {
        Call call(context(), path);
        struct stat st;
        if (!call.stat(st, QStringLiteral("Cannot reach folder")))
            return false;
        if (!S_ISDIR(st.st_mode)) {
            t_problem = call.place().where() + QStringLiteral(": it is a file, not a folder");
            return false;
        }
        return true;
    });
}

bool SmbFileSystem::FileExists(const QString &path)
{
    if (!onShare(path))
        return FileSystem::FileExists(path);
    return answer([&] {
        Call call(context(), path);
        struct stat st;
        return call.stat(st, QStringLiteral("Cannot reach file")) && !S_ISDIR(st.st_mode);
    });
}

void SmbFileSystem::CreateFolder(const QString &path)
{
    if (!onShare(path))
        return FileSystem::CreateFolder(path);
    Call call(context(), path);
    if (smbc_getFunctionMkdir(call.context())(call.context(), call.url(), 0755) != 0)
        call.fail(QStringLiteral("Cannot create folder"), errno);
}

Folder SmbFileSystem::GetFolder(const QString &path, const std::function<void(qsizetype)> &listed)
{
    if (!onShare(path))
        return FileSystem::GetFolder(path, listed);
    Call call(context(), path);
    SMBCCTX *ctx = call.context();
    SMBCFILE *dir = smbc_getFunctionOpendir(ctx)(ctx, call.url());
    if (!dir)
        call.fail(QStringLiteral("Cannot open folder"), errno);
    std::vector<File> files;
    std::vector<QString> skipped;
    const QString folder = slashedPath(path);
    const QString separator = folder.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/");
    struct stat st;
    errno = 0;
    while (const libsmb_file_info *entry = smbc_getFunctionReaddirPlus2(ctx)(ctx, dir, &st)) {
        const QString name = QString::fromUtf8(entry->name);
        if (name == QLatin1StringView(".") || name == QLatin1StringView(".."))
            continue;
        if (S_ISREG(st.st_mode))
            files.emplace_back(*this, path, name, fromTimespec(entry->mtime_ts),
                               qint64(entry->size));
        else
            skipped.push_back(folder + separator + name);
    }
    smbc_getFunctionClosedir(ctx)(ctx, dir);
    return Folder{path, FileCollection(std::move(files)), std::move(skipped)};
}

QString SmbFileSystem::GetFileName(const QString &path)
{
    if (!onShare(path))
        return FileSystem::GetFileName(path);
    return SmbPath::parse(path).fileName();
}

void SmbFileSystem::DeleteFile(const QString &path, bool force)
{
    if (!onShare(path))
        return FileSystem::DeleteFile(path, force);
    Call call(context(), path);
    SMBCCTX *ctx = call.context();
    // A copy of ours still writing it (a run stopped midway): the server deletes no open file.
    call.smb().closeWriting(call.urlBytes());
    if (smbc_getFunctionUnlink(ctx)(ctx, call.url()) == 0)
        return;
    int error = errno;
    // A read-only file: force clears the attribute first, as a local delete would not need to.
    if (force && (error == EACCES || error == EPERM) &&
        smbc_getFunctionChmod(ctx)(ctx, call.url(), 0644) == 0) {
        if (smbc_getFunctionUnlink(ctx)(ctx, call.url()) == 0)
            return;
        error = errno;
    }
    call.fail(QStringLiteral("Cannot delete file"), error);
}

void SmbFileSystem::CopyFile(const QString &source, const QString &destination, bool overwrite,
                             const CopyWatch &watch)
{
    const bool fromShare = SmbPath::isShare(source);
    const bool toShare = SmbPath::isShare(destination);
    if (!fromShare && !toShare)
        return FileSystem::CopyFile(source, destination, overwrite, watch);
    if (!toShare) {
        // Down from a share: through a private local copy of what is read.
        const qint64 total = FileSize(source);
        ShareFile in(context(), source, O_RDONLY);
        const int out = createPrivateFile(destination, overwrite);
        struct Closer {
            int fd;
            ~Closer() { ::close(fd); }
        } closer{out};
        QByteArray block(blockSize, Qt::Uninitialized);
        qint64 copied = 0;
        while (const qint64 n = in.read(block.data(), block.size())) {
            if (::write(out, block.constData(), size_t(n)) != n)
                throw FileSystemError(errno, QStringLiteral("Cannot write file"), destination);
            copied += n;
            if (watch.progress)
                watch.progress(copied, total);
        }
        return;
    }

    // Up to a share, from a local file (or another share).
    std::unique_ptr<ShareFile> shareIn;
    int localIn = -1;
    qint64 total = 0;
    if (fromShare) {
        total = FileSize(source);
        shareIn = std::make_unique<ShareFile>(context(), source, O_RDONLY);
    } else {
        struct stat st;
        localIn = openRegularFile(source, &st);
        total = qint64(st.st_size);
    }
    struct Closer {
        int fd;
        ~Closer()
        {
            if (fd >= 0)
                ::close(fd);
        }
    } closer{localIn};
    const auto readSome = [&](char *data, qsizetype size) -> qint64 {
        if (shareIn)
            return shareIn->read(data, size);
        for (;;) {
            const ssize_t n = ::read(localIn, data, size_t(size));
            if (n >= 0)
                return n;
            if (errno != EINTR)
                throw FileSystemError(errno, QStringLiteral("Cannot read file"), source);
        }
    };

    ShareFile out(context(), destination, O_WRONLY | O_CREAT | (overwrite ? O_TRUNC : O_EXCL));
    try {
        // The source's checksum comes with the copy, so that the check after it reads only what
        // the server holds.
        const std::optional<Identity> sourceBefore = identity(source);
        uLong sent = ::crc32(0L, Z_NULL, 0);
        QByteArray block(blockSize, Qt::Uninitialized);
        qint64 copied = 0;
        for (;;) {
            if (watch.stop && watch.stop())
                throw FileSystemError(ECANCELED, QStringLiteral("Cannot write file"), destination,
                                      SmbPath::parse(destination).where() +
                                          QStringLiteral(": the copy was stopped on request"));
            // Filled whole where the source allows: every write is one full block on the wire.
            qsizetype filled = 0;
            while (filled < block.size()) {
                const qint64 n = readSome(block.data() + filled, block.size() - filled);
                if (n == 0)
                    break;
                filled += n;
            }
            if (filled == 0)
                break;
            sent =
                ::crc32_z(sent, reinterpret_cast<const Bytef *>(block.constData()), size_t(filled));
            out.write(block.constData(), filled);
            copied += filled;
            if (watch.progress)
                watch.progress(copied, total);
        }
        out.close();
        // Asked for again, while the source stays as it was, it is not read a second time.
        if (sourceBefore && identity(source) == sourceBefore)
            remember(source, sent);
    } catch (...) {
        out.discard();
        throw;
    }
}

void SmbFileSystem::MoveFile(const QString &source, const QString &destination)
{
    const bool fromShare = SmbPath::isShare(source);
    const bool toShare = SmbPath::isShare(destination);
    if (!fromShare && !toShare)
        return FileSystem::MoveFile(source, destination);
    Call call(context(), destination);
    SMBCCTX *ctx = call.context();
    const SmbPath from = fromShare ? SmbPath::parse(source) : SmbPath();
    if (!fromShare || !toShare || from.server.compare(call.place().server, Qt::CaseInsensitive) ||
        from.share.compare(call.place().share, Qt::CaseInsensitive))
        call.fail(QStringLiteral("Cannot move file to"), EXDEV);
    const QByteArray fromUrl = from.url();

    // SMB's rename, as libsmbclient offers it, replaces a file that is at the new name (it
    // deletes it and tries again). So the name is claimed first by creating it exclusively, which
    // the server does atomically: a file that got there before us makes this fail, and one that
    // comes later finds ours. The rename then replaces only our own empty claim.
    struct stat before;
    if (smbc_getFunctionStat(ctx)(ctx, fromUrl.constData(), &before) != 0)
        call.fail(QStringLiteral("Cannot move file to"), errno);
    SMBCFILE *claim =
        smbc_getFunctionOpen(ctx)(ctx, call.url(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (!claim)
        call.fail(QStringLiteral("Cannot move file to"), errno);
    struct stat claimed;
    const bool known = smbc_getFunctionStat(ctx)(ctx, call.url(), &claimed) == 0;
    smbc_getFunctionClose(ctx)(ctx, claim);
    if (smbc_getFunctionRename(ctx)(ctx, fromUrl.constData(), ctx, call.url()) != 0) {
        const int error = errno;
        // Our claim goes again, but only while it is still ours and empty.
        struct stat now;
        if (known && smbc_getFunctionStat(ctx)(ctx, call.url(), &now) == 0 &&
            now.st_ino == claimed.st_ino && now.st_size == 0)
            smbc_getFunctionUnlink(ctx)(ctx, call.url());
        call.fail(QStringLiteral("Cannot move file to"), error);
    }
    // What now has the name must be the file that was moved, not one that replaced our claim.
    struct stat after;
    if (smbc_getFunctionStat(ctx)(ctx, call.url(), &after) != 0)
        call.fail(QStringLiteral("Cannot move file to"), errno);
    if (after.st_ino != before.st_ino || after.st_size != before.st_size)
        call.fail(QStringLiteral("Cannot move file to"), EEXIST);
}

qint64 SmbFileSystem::FileSize(const QString &path)
{
    if (!onShare(path))
        return FileSystem::FileSize(path);
    Call call(context(), path);
    struct stat st;
    if (smbc_getFunctionStat(call.context())(call.context(), call.url(), &st) != 0)
        call.fail(QStringLiteral("Cannot read the size of"), errno);
    return qint64(st.st_size);
}

std::optional<SmbFileSystem::Identity> SmbFileSystem::identity(const QString &path)
{
    struct stat st;
    if (!SmbPath::isShare(path))
        return ::stat(nativePath(path).constData(), &st) == 0 ? std::optional(identityOf(st))
                                                              : std::nullopt;
    Call call(context(), path);
    return smbc_getFunctionStat(call.context())(call.context(), call.url(), &st) == 0
               ? std::optional(identityOf(st))
               : std::nullopt;
}

void SmbFileSystem::remember(const QString &path, uLong crc)
{
    const std::optional<Identity> now = identity(path);
    const std::lock_guard guard(m_checksumsLock);
    if (now)
        m_checksums[path] = {*now, QByteArray::number(quint32(crc), 16)};
}

QByteArray SmbFileSystem::FileChecksum(const QString &path)
{
    {
        const std::optional<Identity> now = identity(path);
        const std::lock_guard guard(m_checksumsLock);
        const auto known = m_checksums.find(path);
        if (known != m_checksums.end() && now && known->second.first == *now)
            return known->second.second;
    }
    if (!onShare(path))
        return FileSystem::FileChecksum(path);
    // Read back from the server: what it holds, not what we sent.
    ShareFile in(context(), path, O_RDONLY);
    uLong crc = ::crc32(0L, Z_NULL, 0);
    QByteArray block(blockSize, Qt::Uninitialized);
    while (const qint64 n = in.read(block.data(), block.size()))
        crc = ::crc32_z(crc, reinterpret_cast<const Bytef *>(block.constData()), size_t(n));
    return QByteArray::number(quint32(crc), 16);
}

std::unique_ptr<TextStream> SmbFileSystem::CreateTextFile(const QString &path, bool overwrite,
                                                          bool unicode)
{
    if (!onShare(path))
        return FileSystem::CreateTextFile(path, overwrite, unicode);
    ShareFile file(context(), path, O_WRONLY | O_CREAT | (overwrite ? O_TRUNC : O_EXCL));
    if (unicode)
        file.write("\xFF\xFE", 2);
    file.close();
    return std::make_unique<TextStream>(
        -1, path, unicode ? TextStream::Encoding::Utf16LE : TextStream::Encoding::SingleByte);
}

std::unique_ptr<TextStream> SmbFileSystem::OpenTextFile(const QString &path)
{
    if (!onShare(path))
        return FileSystem::OpenTextFile(path);
    // A file without a name in the private temporary folder: gone with the stream.
    const QByteArray temporary = nativePath(qEnvironmentVariable("TMPDIR", QStringLiteral("/tmp")));
    const int fd = ::open(temporary.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot read"), path);
    try {
        ShareFile in(context(), path, O_RDONLY);
        QByteArray block(blockSize, Qt::Uninitialized);
        while (const qint64 n = in.read(block.data(), block.size()))
            if (::write(fd, block.constData(), size_t(n)) != n)
                throw FileSystemError(errno, QStringLiteral("Cannot read"), path);
        ::lseek(fd, 0, SEEK_SET);
    } catch (...) {
        ::close(fd);
        throw;
    }
    return std::make_unique<TextStream>(fd, path, TextStream::Encoding::SingleByte);
}

// The share layer's transfers: copies up and down, checksums, text read through a local copy.
#include "platform/WholeTransfer.h"
#include "platform/posix/SmbFileSystem.h"
#include "platform/posix/SmbReadBack.h"
#include "platform/posix/SmbShareFile.h"

#include <cerrno>
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Large enough that the round trips do not count against the network's speed.
constexpr qsizetype blockSize = 8 << 20;

// A local descriptor that a job on the share thread owns: the job may outlive its caller.
struct OwnedFd {
    explicit OwnedFd(int fd)
        : fd(fd)
    {
    }
    ~OwnedFd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    OwnedFd(const OwnedFd &) = delete;
    OwnedFd &operator=(const OwnedFd &) = delete;
    const int fd;
};

quint32 crcOf(quint32 crc, const char *data, qint64 size)
{
    return quint32(libdeflate_crc32(crc, data, size_t(size)));
}

// What makes a file the same file as when its checksum was taken.
SmbFileSystem::Identity identityOf(const struct stat &st)
{
    return {qint64(st.st_dev),         qint64(st.st_ino),          qint64(st.st_size),
            qint64(st.st_mtim.tv_sec), qint64(st.st_mtim.tv_nsec), qint64(st.st_ctim.tv_sec),
            qint64(st.st_ctim.tv_nsec)};
}

std::optional<SmbFileSystem::Identity> identityOn(SmbContext &smb, const SmbPath &place)
{
    SMBCCTX *ctx = smb.ready(place);
    struct stat st;
    if (smbc_getFunctionStat(ctx)(ctx, place.url().constData(), &st) != 0)
        return std::nullopt;
    return identityOf(st);
}

// Fills `data` from a local file as far as it goes.
qint64 readLocal(int fd, char *data, qsizetype size, const QString &path)
{
    const Transferred read = transferWhole(
        size_t(size), [&](size_t done) { return ::read(fd, data + done, size_t(size) - done); });
    if (read.error != 0)
        throw FileSystemError(read.error, QStringLiteral("Cannot read file"), path);
    return qint64(read.bytes);
}

void writeLocal(int fd, const char *data, qint64 size, const QString &path)
{
    const Transferred written = transferWhole(
        size_t(size), [&](size_t done) { return ::write(fd, data + done, size_t(size) - done); });
    if (written.bytes != size_t(size))
        throw FileSystemError(written.error != 0 ? written.error : EIO,
                              QStringLiteral("Cannot write file"), path);
}

// The helper that reads back the copy at `path`, just created: the one started ahead where it is
// still there, else one started now. The one given back is its only owner: a copy that fails ends
// it before it takes its file away, which the share refuses while another client has it open.
std::unique_ptr<SmbReadBack> readBackOf(std::unique_ptr<SmbReadBack> ready, const QString &path)
{
    if (ready && ready->open(path))
        return ready;
    auto started = std::make_unique<SmbReadBack>();
    started->open(path);
    return started;
}

SmbWorker::Watch watching(const CopyWatch &watch)
{
    return {watch.progress, watch.stop};
}

// What a copy up to a share did: the checksum of what it sent, and of what was read back from
// the copy, with what the copy was when it was read back.
struct Upload {
    quint32 sent = 0;
    std::optional<quint32> readBack;
    std::optional<SmbFileSystem::Identity> copy;
};

} // namespace

std::optional<SmbFileSystem::Identity> SmbFileSystem::identity(const QString &path)
{
    if (!SmbPath::isShare(path)) {
        struct stat st;
        return ::stat(nativePath(path).constData(), &st) == 0 ? std::optional(identityOf(st))
                                                              : std::nullopt;
    }
    const SmbPath place = SmbPath::parse(path);
    return onShare(place, path, QStringLiteral("Cannot reach file"),
                   [place](SmbContext &smb, SmbBeat &) { return identityOn(smb, place); });
}

void SmbFileSystem::remember(const QString &path, const std::optional<Identity> &now, quint32 crc)
{
    const std::lock_guard guard(m_lock);
    if (now)
        m_checksums[path] = {*now, checksumText(crc)};
}

QByteArray SmbFileSystem::FileChecksum(const QString &path)
{
    {
        const std::optional<Identity> now = identity(path);
        const std::lock_guard guard(m_lock);
        const auto known = m_checksums.find(path);
        if (known != m_checksums.end() && now && known->second.first == *now)
            return known->second.second;
    }
    if (!SmbPath::isShare(path))
        return FileSystem::FileChecksum(path);
    // Read back from the server: what it holds, not what we sent.
    const SmbPath place = SmbPath::parse(path);
    return checksumText(onShare(place, path, QStringLiteral("Cannot read file"),
                                [place](SmbContext &smb, SmbBeat &beat) {
                                    SmbShareFile in(smb, place, O_RDONLY);
                                    QByteArray block(blockSize, Qt::Uninitialized);
                                    quint32 crc = 0;
                                    while (const qint64 n = in.read(block.data(), block.size())) {
                                        crc = crcOf(crc, block.constData(), n);
                                        beat.heard();
                                    }
                                    return crc;
                                }));
}

void SmbFileSystem::CopyFile(const QString &source, const QString &destination, bool overwrite,
                             const CopyWatch &watch)
{
    const bool fromShare = SmbPath::isShare(source);
    const bool toShare = SmbPath::isShare(destination);
    if (!fromShare && !toShare)
        return FileSystem::CopyFile(source, destination, overwrite, watch);
    if (toShare)
        copyUp(source, destination, overwrite, watch);
    else
        copyDown(source, destination, overwrite, watch);
}

void SmbFileSystem::copyDown(const QString &source, const QString &destination, bool overwrite,
                             const CopyWatch &watch)
{
    const SmbPath place = SmbPath::parse(source);
    const qint64 total = FileSize(source);
    const auto out = std::make_shared<OwnedFd>(createPrivateFile(destination, overwrite));
    onShare(
        place, source, QStringLiteral("Cannot read file"),
        [place, out, total, destination](SmbContext &smb, SmbBeat &beat) {
            SmbShareFile in(smb, place, O_RDONLY);
            QByteArray block(blockSize, Qt::Uninitialized);
            qint64 copied = 0;
            while (const qint64 n = in.read(block.data(), block.size())) {
                writeLocal(out->fd, block.constData(), n, destination);
                copied += n;
                beat.moved(copied, total);
            }
        },
        watching(watch));
}

void SmbFileSystem::copyUp(const QString &source, const QString &destination, bool overwrite,
                           const CopyWatch &watch)
{
    const bool fromShare = SmbPath::isShare(source);
    const SmbPath to = SmbPath::parse(destination);
    const SmbPath from = fromShare ? SmbPath::parse(source) : SmbPath();
    std::shared_ptr<OwnedFd> localIn;
    qint64 total = 0;
    if (fromShare) {
        total = FileSize(source);
    } else {
        struct stat st;
        localIn = std::make_shared<OwnedFd>(openRegularFile(source, &st));
        total = qint64(st.st_size);
    }
    const std::optional<Identity> sourceBefore = identity(source);

    // Known while it runs, so that a delete of the copy from another thread can stop it.
    const auto discard = std::make_shared<std::atomic<bool>>(false);
    const QByteArray url = to.url();
    // The share thread first: the helper this copy takes starts with it (see worker()).
    worker();
    auto ready = std::make_shared<std::unique_ptr<SmbReadBack>>();
    {
        const std::lock_guard guard(m_lock);
        m_writing[url] = discard;
        *ready = std::move(m_reader);
    }
    struct Forget {
        SmbFileSystem &fs;
        const QByteArray &url;
        ~Forget()
        {
            const std::lock_guard guard(fs.m_lock);
            fs.m_writing.erase(url);
        }
    } forget{*this, url};

    const int flags = O_WRONLY | O_CREAT | (overwrite ? O_TRUNC : O_EXCL);
    const Upload done = onShare(
        to, destination, QStringLiteral("Cannot write file"),
        [from, to, flags, localIn, total, discard, ready = std::move(ready), source,
         destination](SmbContext &smb, SmbBeat &beat) {
            std::optional<SmbShareFile> shareIn;
            if (!localIn)
                shareIn.emplace(smb, from, O_RDONLY);
            SmbShareFile out(smb, to, flags);
            Upload upload;
            try {
                const std::unique_ptr<SmbReadBack> proof =
                    readBackOf(std::move(*ready), destination);
                QByteArray block(blockSize, Qt::Uninitialized);
                qint64 copied = 0;
                for (;;) {
                    if (beat.stopAsked() || discard->load())
                        throw SmbFailure{ECANCELED, QString(),
                                         to.where() +
                                             QStringLiteral(": the copy was stopped on request")};
                    // Filled whole where the source allows: every write is one full block on the
                    // wire.
                    const qint64 filled =
                        shareIn ? shareIn->readFull(block.data(), block.size())
                                : readLocal(localIn->fd, block.data(), block.size(), source);
                    if (filled == 0)
                        break;
                    upload.sent = crcOf(upload.sent, block.constData(), filled);
                    out.write(block.constData(), filled);
                    copied += filled;
                    proof->written(copied);
                    beat.moved(copied, total, [&] { return discard->load(); });
                }
                out.close();
                upload.readBack = proof->finish(copied, beat);
                if (upload.readBack)
                    upload.copy = identityOn(smb, to);
            } catch (...) {
                out.discard();
                throw;
            }
            return upload;
        },
        watching(watch));
    // Asked for again, while the source stays as it was, it is not read a second time; nor is
    // the copy, while it stays as it was read back.
    if (sourceBefore && identity(source) == sourceBefore)
        remember(source, sourceBefore, done.sent);
    if (done.readBack)
        remember(destination, done.copy, *done.readBack);
}

std::unique_ptr<TextStream> SmbFileSystem::OpenTextFile(const QString &path)
{
    if (!SmbPath::isShare(path))
        return FileSystem::OpenTextFile(path);
    // A file without a name in the private temporary folder: gone with the stream.
    const QByteArray temporary = nativePath(qEnvironmentVariable("TMPDIR", QStringLiteral("/tmp")));
    const int fd = ::open(temporary.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot read"), path);
    try {
        const auto copy = std::make_shared<OwnedFd>(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (copy->fd < 0)
            throw FileSystemError(errno, QStringLiteral("Cannot read"), path);
        const SmbPath place = SmbPath::parse(path);
        onShare(place, path, QStringLiteral("Cannot read"),
                [place, copy, path](SmbContext &smb, SmbBeat &beat) {
                    SmbShareFile in(smb, place, O_RDONLY);
                    QByteArray block(blockSize, Qt::Uninitialized);
                    while (const qint64 n = in.read(block.data(), block.size())) {
                        writeLocal(copy->fd, block.constData(), n, path);
                        beat.heard();
                    }
                });
        ::lseek(fd, 0, SEEK_SET);
    } catch (...) {
        ::close(fd);
        throw;
    }
    return std::make_unique<TextStream>(fd, path, TextStream::Encoding::SingleByte);
}

#include "archive/ZipArchive.h"

#include "common/Failure.h"
#include "platform/FileHoles.h"
#include "platform/FileSystem.h"

#include <QFileInfo>
#include <QScopeGuard>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

using namespace ZipWork;

namespace {

// An entry is named by the file's name as the file system gave it: UTF-8 marked as such where it
// is, otherwise the bytes as they are, unmarked (readers take them as code page 437).
ZipWriter::Entry headerFor(const QString &name, QByteArray native, const struct stat &st)
{
    ZipWriter::Entry header;
    header.name = std::move(native);
    header.name.squeeze();
    const bool ascii = std::all_of(header.name.cbegin(), header.name.cend(),
                                   [](char c) { return uchar(c) < 0x80; });
    header.utf8 = !ascii && QString::fromUtf8(header.name) == name;
    header.modified = qint64(st.st_mtime);
    header.size = quint64(st.st_size);
    // Nothing to deflate: stored, as every archiver stores an empty file.
    header.method = st.st_size == 0 ? 0 : 8;
    return header;
}

} // namespace

ZipArchive::ZipArchive(int compressionLevel, int threads)
    : m_level(compressionLevel)
    , m_threads(threads > 0 ? threads : int(std::max(1u, std::thread::hardware_concurrency())))
    // A whole file and a piece a worker keep every worker busy while the one next in line is
    // finished; the cap keeps a machine of many cores within the memory of a few.
    , m_budget(std::min<size_t>(size_t(m_threads) * (wholeLimit + pieceSize), 48 << 20))
    , m_handOverFiles(std::clamp<size_t>(m_openLimit / 8, 1, batchFiles))
{
    m_staged.reserve(m_handOverFiles);
}

ZipArchive::~ZipArchive()
{
    abandon();
}

void ZipArchive::abandon()
{
    stopWorkers();
    {
        std::lock_guard lock(m_mutex);
        m_abandoned = true;
    }
    m_writer.discard();
}

int ZipArchive::fail(const QString &text)
{
    m_errorText = text;
    return 0;
}

int ZipArchive::NewZip(const QString &zipFilePath)
{
    abandon();
    m_path.clear();
    m_entries.clear();
    m_failed.clear();
    m_added = 0;
    m_queued = 0;
    m_names.clear();
    m_lastFolder.clear();
    m_lost.clear();
    m_errorText.clear();
    m_sealed = false;
    m_abandoned = false;
    m_brokenBecause.clear();
    m_nextToWrite = {0, 0};
    m_reserved = 0;
    m_bytesDone = m_bytesTotal = 0;
    const QFileInfo target(zipFilePath);
    if (zipFilePath.isEmpty() || target.fileName().isEmpty())
        return fail(QStringLiteral("No archive path was given"));
    // The folder must take new files: the archive is written beside its final name.
    QByteArray probe = nativePath(target.absolutePath() + QStringLiteral("/.sorvik-zip-XXXXXX"));
    const int fd = ::mkstemp(probe.data());
    if (fd < 0)
        return fail(QStringLiteral("Cannot create the archive %1: %2")
                        .arg(zipFilePath, systemError(errno)));
    ::close(fd);
    ::unlink(probe.constData());
    m_path = zipFilePath;
    return 1;
}

QString ZipArchive::entryNameOf(QString name)
{
    return name.replace(QLatin1Char('\\'), QLatin1String("%5C"));
}

QString ZipArchive::refusal(const QString &name, const QByteArray &native) const
{
    if (m_path.isEmpty())
        return QStringLiteral("No archive has been started");
    if (QString abandoned = abandonedText(); !abandoned.isEmpty())
        return abandoned;
    if (m_sealed)
        return QStringLiteral("The archive %1 is complete; a new one is needed").arg(m_path);
    if (m_names.contains(native))
        return QStringLiteral("An entry named %1 is already in the archive").arg(name);
    return {};
}

int ZipArchive::AddFile(const QString &path, int flags, const EntryOptions &options)
{
    Q_UNUSED(flags);
    return addFile(
        path, [&](struct stat *st) { return openRegularFile(path, st); }, options);
}

int ZipArchive::AddFile(const File &file, int flags, const EntryOptions &options)
{
    Q_UNUSED(flags);
    return addFile(
        file.Path(), [&](struct stat *st) { return openRegularFile(file, st); }, options, &file);
}

int ZipArchive::addFile(const QString &path, const std::function<int(struct stat *)> &open,
                        const EntryOptions &options, const File *listed)
{
    const QString name =
        entryNameOf(options.name.isEmpty() ? QFileInfo(path).fileName() : options.name);
    QByteArray native = nativePath(name);
    if (const QString refused = refusal(name, native); !refused.isEmpty())
        return fail(refused);
    int fd = -1;
    struct stat st;
    try {
        fd = open(&st);
        // The reader goes front to back through a large file: the system can read ahead.
        if (quint64(st.st_size) > pieceSize)
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    } catch (const FileSystemError &error) {
        return fail(error.description());
    }
    // Cut to nothing and written again past its old end since it was listed (a rotation between
    // the listing and now). Nothing more of it is read.
    QByteArray early;
    QString failure;
    if (listed && rotatedSinceListed(fd, st, *listed))
        failure = cutShortAndWrittenAgain();
    // A file within its first block, with much waiting before it, is read now rather than once a
    // worker comes to it: cut to nothing and written again past its old end meanwhile, it would
    // show no hole to tell it by. Read now, it is as it stood when it was opened. What is to be
    // said before a file is read is said first; the caller waits for the workers anyway.
    else if (st.st_size > 0 && st.st_size < std::clamp<off_t>(st.st_blksize, 4096, smallFile) &&
             m_bytesTotal - m_bytesDone >= readEarlyBehind) {
        try {
            if (m_handingOver)
                m_handingOver();
            early.resize(qsizetype(st.st_size) + 1);
        } catch (...) {
            ::close(fd);
            throw;
        }
        failure = readPiece(fd, early.data(), 0, size_t(st.st_size), true, quint64(st.st_size));
        early.truncate(qsizetype(st.st_size));
    }
    if (!failure.isEmpty() || !early.isNull()) {
        ::close(fd);
        fd = -1;
    }
    return add(path, name, std::move(native), fd, st, std::move(early), options,
               std::move(failure));
}

int ZipArchive::AddData(const QString &path, QByteArray data, const EntryOptions &options)
{
    const QString name =
        entryNameOf(options.name.isEmpty() ? QFileInfo(path).fileName() : options.name);
    QByteArray native = nativePath(name);
    if (const QString refused = refusal(name, native); !refused.isEmpty())
        return fail(refused);
    struct stat st {};
    st.st_size = off_t(data.size());
    st.st_mtime = std::time(nullptr);
    return add(path, name, std::move(native), -1, st, std::move(data), options);
}

int ZipArchive::add(const QString &path, const QString &name, QByteArray native, int fd,
                    const struct stat &st, QByteArray memory, const EntryOptions &options,
                    QString failure)
{
    // Entries of one folder share its path: 200,000 logs do not hold 200,000 copies of it.
    const qsizetype folderLength = path.lastIndexOf(QLatin1Char('/')) + 1;
    if (QStringView(path).left(folderLength) != m_lastFolder)
        m_lastFolder = path.left(folderLength);
    try {
        startWorkers();
    } catch (const std::system_error &error) {
        if (fd >= 0)
            ::close(fd);
        return fail(QStringLiteral("No thread could be started to compress it: %1")
                        .arg(systemError(error.code().value())));
    }
    // Nothing is staged before all that can fail is done: a file half staged would hold a
    // place no entry fills.
    Staged staged;
    try {
        staged.header = headerFor(name, std::move(native), st);
        // The names are the caller's alone.
        m_names.insert(staged.header.name);
        staged.folder = m_lastFolder;
        if (!options.name.isEmpty())
            staged.fileName = path.mid(folderLength);
    } catch (...) {
        if (fd >= 0)
            ::close(fd);
        throw;
    }
    staged.fd = fd;
    staged.holeFree = fd >= 0 && !fileHoleBelow(fd, quint64(st.st_size), &st);
    staged.memory = std::move(memory);
    staged.failure = std::move(failure);
    staged.level = m_level;
    staged.passphrase = m_passphrase;
    staged.transform = options.transform;
    // Room for a whole batch was made when the archive was: this takes no memory.
    m_staged.push_back(std::move(staged));
    ++m_added;
    m_bytesTotal += quint64(st.st_size);
    m_stagedBytes += quint64(st.st_size);
    if (m_staged.size() >= m_handOverFiles || m_stagedBytes >= batchSize)
        handOver();
    if (QString abandoned = abandonedText(); !abandoned.isEmpty())
        return fail(abandoned);
    return 1;
}

QString ZipArchive::abandonedText() const
{
    if (!m_abandoned)
        return {};
    const std::lock_guard lock(m_mutex);
    if (m_brokenBecause.isEmpty())
        return QStringLiteral("The archive %1 was abandoned").arg(m_path);
    return QStringLiteral("The archive %1 was given up: %2").arg(m_path, m_brokenBecause);
}

void ZipArchive::dropStaged(size_t from, const QString &reason)
{
    for (size_t i = from; i < m_staged.size(); ++i) {
        const Staged &staged = m_staged[i];
        if (staged.fd >= 0)
            ::close(staged.fd);
        if (!reason.isEmpty() && !m_abandoned)
            trapSilently([&] {
                m_failed.push_back(
                    {pathFrom(staged.folder, staged.fileName, staged.header), reason});
            });
    }
    m_staged.clear();
    m_stagedBytes = 0;
}

bool ZipArchive::belowLimits(bool resume) const
{
    return m_entries.size() < (resume ? pendingLimit / 2 : pendingLimit) &&
           m_memoryQueued < (resume ? memoryLimit / 2 : memoryLimit) &&
           m_openFiles < (resume ? m_openLimit * 3 / 4 : m_openLimit);
}

void ZipArchive::handOver()
{
    if (m_staged.empty())
        return;
    if (m_handingOver)
        m_handingOver();
    std::unique_lock lock(m_mutex);
    {
        // Whatever is not queued (the archive abandoned, or memory ran out on the way) is closed
        // and said lost: a batch is never queued twice.
        size_t done = 0;
        const auto cleared = qScopeGuard(
            [&] { dropStaged(done, QStringLiteral("there was not enough memory to add it")); });
        for (; !m_abandoned && done < m_staged.size(); ++done)
            queue(m_staged[done]);
    }
    // One worker is woken; it wakes another when it leaves files behind.
    if (m_idleWorkers > 0 && canTakeNext())
        m_work.notify_one();
    // Once a limit is reached the caller waits until a good part of it is free again: waiting
    // for every single file to leave would wake it once a file.
    if (!m_abandoned && !belowLimits(false)) {
        lock.unlock();
        waitUntil([this] { return belowLimits(true); });
    }
}

void ZipArchive::queue(Staged &staged)
{
    const size_t index = m_queued;
    const size_t queued = m_queue.size();
    Entry &entry = m_entries.emplace_back();
    try {
        const quint64 size = staged.header.size;
        if (size <= wholeLimit) {
            m_queue.push_back({&entry, {index, 0}, 0, size_t(size), true, size > pieceSize});
            entry.unread = 1;
        } else {
            // As few pieces as the limit allows, of even size: each but the last is walked
            // again to join it to the next.
            const quint64 pieces = (size + wholeLimit - 1) / wholeLimit;
            const quint64 length = (size + pieces - 1) / pieces;
            for (quint64 i = 0; i < pieces; ++i) {
                const quint64 offset = i * length;
                m_queue.push_back({&entry,
                                   {index, size_t(i)},
                                   offset,
                                   size_t(std::min(length, size - offset)),
                                   i + 1 == pieces,
                                   false});
            }
            entry.unread = size_t(pieces);
        }
    } catch (...) {
        m_queue.erase(m_queue.begin() + qsizetype(queued), m_queue.end());
        m_entries.pop_back();
        throw;
    }
    // From here nothing fails: the entry takes the staged file over.
    ++m_queued;
    entry.level = staged.level;
    entry.folder = std::move(staged.folder);
    entry.fileName = std::move(staged.fileName);
    entry.header = std::move(staged.header);
    // Rewritten data may come to more than the file held: room for the most it can.
    entry.transform = std::move(staged.transform);
    if (entry.transform)
        entry.header.sizeBound = entry.header.size * EntryTransform::growthLimit;
    entry.passphrase = std::move(staged.passphrase);
    entry.header.encrypted = entry.passphrase != nullptr;
    entry.fd = std::exchange(staged.fd, -1);
    entry.holeFree = staged.holeFree;
    entry.reason = std::move(staged.failure);
    entry.failed = !entry.reason.isEmpty();
    if (entry.fd >= 0)
        ++m_openFiles;
    m_memoryQueued += size_t(staged.memory.size());
    entry.memory = std::move(staged.memory);
}

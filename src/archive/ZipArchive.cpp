#include "archive/ZipArchive.h"

#include "common/TimeText.h"
#include "platform/FileSystem.h"
#include "platform/WholeTransfer.h"

#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A file up to this size goes whole to one worker while at least as many files wait as there are
// workers, and is cut in pieces of `pieceSize` that several workers share when fewer wait. A
// larger file is always cut, in as few even pieces as this limit allows, so that what a worker
// holds stays bounded: the piece, and room for it compressed, which data that does not compress
// fills (whole files of 8 MiB took the mix of compressed and binary logs to a 65 MiB peak, 11 more
// than pieces of 4 MiB). Pieces cost a little in size and, since each piece but the last is walked
// through once more to join it to the next, in time (a tenth of what compressing it took).
constexpr quint64 wholeLimit = 4 << 20;
constexpr quint64 pieceSize = 2 << 20;
// Queued pieces wake the workers once they hold this much, or are this many; a worker takes files
// smaller than `smallFile` up to as many at once.
constexpr quint64 batchSize = 1 << 20;
constexpr size_t batchFiles = 32;
constexpr size_t smallFile = 64 << 10;
// Files opened by AddFile and not yet read: each holds a descriptor, so AddFile waits once this
// many are open.
constexpr size_t openLimit = 64;
// Entries added and not yet written, and the bytes of copies in memory among them: AddFile waits
// beyond these, so that a folder of many small files does not queue them all.
constexpr size_t pendingLimit = 1024;
constexpr size_t memoryLimit = 8 << 20;
// How often a waiting caller hears from the archive.
constexpr auto waitingInterval = std::chrono::milliseconds(100);

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// An entry is named by the file's name as the file system gave it: UTF-8 marked as such where it
// is, otherwise the bytes as they are, unmarked (readers take them as code page 437).
ZipWriter::Entry headerFor(const QString &name, const struct stat &st)
{
    ZipWriter::Entry header;
    header.name = nativePath(name);
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
{
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

void ZipArchive::startWorkers()
{
    if (!m_workers.empty())
        return;
    m_stopping = false;
    for (int i = 0; i < m_threads; ++i)
        m_workers.emplace_back([this] { work(); });
}

void ZipArchive::stopWorkers()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_work.notify_all();
    for (std::thread &worker : m_workers)
        worker.join();
    m_workers.clear();
    // Pieces never taken leave their files open.
    for (Entry &entry : m_entries) {
        if (entry.fd >= 0 && entry.unread > 0)
            ::close(entry.fd);
        entry.unread = 0;
    }
    m_openFiles = 0;
    m_reserved = 0;
    m_memoryQueued = 0;
    m_queue.clear();
    m_compressed.clear();
}

void ZipArchive::work()
{
    Worker worker;
    std::unique_lock lock(m_mutex);
    for (;;) {
        // Pieces are taken in order, and one always fits: the piece next in line is never kept
        // waiting by pieces after it.
        m_work.wait(lock, [this] { return m_stopping || canTakeNext(); });
        if (m_stopping)
            return;
        // Small files are taken several at a time: a worker that went to the queue for each
        // would spend more on that than on compressing it.
        std::vector<Task> &tasks = worker.tasks;
        size_t taken = 0;
        do {
            tasks.push_back(take());
            taken += tasks.back().length;
            m_reserved += tasks.back().length;
        } while (tasks.back().length < smallFile && tasks.size() < batchFiles &&
                 taken < batchSize && canTakeNext() && m_queue.front().length < smallFile);
        lock.unlock();
        std::vector<Compressed> &pieces = worker.compressed;
        for (const Task &task : tasks)
            pieces.push_back(compress(task, worker));
        lock.lock();
        // What stays in memory now is the compressed pieces only.
        for (Compressed &piece : pieces) {
            m_reserved = m_reserved - piece.task.length + piece.data.length;
            const Place place = piece.task.place;
            m_compressed.emplace(place, std::move(piece));
        }
        tasks.clear();
        pieces.clear();
        writeInOrder(lock);
    }
}

bool ZipArchive::dividesNow(const Task &task) const
{
    // With fewer files waiting than workers, some worker would wait while this one deflates a
    // whole file: the file's pieces keep them all at work.
    return task.divisible && m_queue.size() < size_t(m_threads);
}

ZipArchive::Task ZipArchive::take()
{
    Task task = m_queue.front();
    const bool divide = dividesNow(task);
    m_queue.pop_front();
    if (!divide)
        return task;
    const size_t pieces = size_t((task.length + pieceSize - 1) / pieceSize);
    task.entry->unread += pieces - 1;
    for (size_t i = pieces - 1; i > 0; --i) {
        const quint64 offset = quint64(i) * pieceSize;
        m_queue.push_front({task.entry,
                            {task.place.first, i},
                            offset,
                            size_t(std::min<quint64>(pieceSize, task.length - offset)),
                            i + 1 == pieces,
                            false});
    }
    if (pieces > 2)
        m_work.notify_all();
    else
        m_work.notify_one();
    return {task.entry, task.place, 0, size_t(pieceSize), false, false};
}

bool ZipArchive::canTakeNext() const
{
    if (m_queue.empty())
        return false;
    const Task &next = m_queue.front();
    const size_t length = dividesNow(next) ? size_t(pieceSize) : next.length;
    return m_reserved == 0 || m_reserved + length <= m_budget;
}

ZipArchive::Compressed ZipArchive::compress(const Task &task, Worker &worker)
{
    Entry &entry = *task.entry;
    Compressed piece{task, {}, 0, {}};
    const quint64 size = entry.header.size;
    try {
        // The last piece of a file asks for one byte more: one that holds more than its size.
        const size_t asked = task.length + (task.last ? 1 : 0);
        if (entry.fd >= 0 && worker.input.size() < asked)
            worker.input = Buffer(std::max<size_t>(asked, 2 * worker.input.size()));
        char *const in = worker.input.data();
        const char *data = entry.fd >= 0 ? in : entry.memory.constData() + task.offset;
        if (!entry.failed && entry.fd >= 0) {
            const Transferred read = transferWhole(asked, [&](size_t done) {
                return ::pread(entry.fd, in + done, asked - done, off_t(task.offset + done));
            });
            const size_t n = read.bytes;
            struct stat st;
            if (read.error) {
                piece.failure = systemError(read.error);
            } else if (n < task.length) {
                piece.failure = QStringLiteral("the file was cut short while it was read: %1 of "
                                               "%2 bytes")
                                    .arg(task.offset + quint64(n))
                                    .arg(size);
            } else if (n > task.length && ::fstat(entry.fd, &st) == 0 &&
                       quint64(st.st_size) <= size) {
                // More bytes than the size are fine while the size grows with them (a live
                // log); not in a pseudo-file whose size says nothing of its content.
                piece.failure =
                    QStringLiteral("the file holds more than its size of %1 bytes says").arg(size);
            }
        }
        if (entry.unread.fetch_sub(1) == 1 && entry.fd >= 0) {
            ::close(entry.fd);
            std::lock_guard lock(m_mutex);
            --m_openFiles;
        }
        if (!piece.failure.isEmpty())
            entry.failed = true;
        if (entry.failed)
            return piece;
        piece.crc = crc32Of(0, data, task.length);
        if (task.length > 0)
            piece.data = worker.deflater.compress(data, task.length, entry.level, task.last,
                                                  entry.repetitive);
        // The format's slow key derivation runs here, on the workers, side by side.
        if (entry.passphrase && task.offset == 0)
            entry.keys = std::make_unique<EntryKeys>(*entry.passphrase);
    } catch (const std::bad_alloc &) {
        piece.failure = QStringLiteral("there was not enough memory to compress it");
    } catch (const std::logic_error &error) {
        piece.failure = QString::fromLocal8Bit(error.what());
    } catch (const std::runtime_error &error) {
        piece.failure = QString::fromLocal8Bit(error.what());
    }
    if (!piece.failure.isEmpty())
        entry.failed = true;
    return piece;
}

void ZipArchive::writeInOrder(std::unique_lock<std::mutex> &lock)
{
    if (m_writing)
        return;
    m_writing = true;
    while (!m_compressed.empty() && m_compressed.begin()->first == m_nextToWrite) {
        Compressed piece = std::move(m_compressed.begin()->second);
        m_compressed.erase(m_compressed.begin());
        const size_t length = piece.task.length;
        const size_t held = piece.data.length;
        lock.unlock();
        write(piece);
        m_bytesDone += length;
        piece.data = {};
        lock.lock();
        m_reserved -= held;
        if (piece.task.last) {
            Entry &entry = *piece.task.entry;
            m_memoryQueued -= size_t(entry.memory.size());
            // Every piece is compressed once the last is written: the data is no longer needed.
            entry.memory = {};
            entry.written = true;
            m_nextToWrite = {m_nextToWrite.first + 1, 0};
            retire();
        } else {
            ++m_nextToWrite.second;
        }
        // Only a worker kept back by the budget has anything new to do.
        if (canTakeNext())
            m_work.notify_one();
    }
    m_writing = false;
    m_progress.notify_all();
}

void ZipArchive::write(Compressed &piece)
{
    Entry &entry = *piece.task.entry;
    if (entry.reason.isEmpty())
        entry.reason = piece.failure;
    // A piece that failed, or one skipped since a piece of its file failed: the entry is taken
    // back out. The reason comes with the failed piece, which may be written after this one.
    if (entry.failed || !piece.failure.isEmpty()) {
        if (entry.begun)
            m_writer.dropEntry();
        entry.begun = false;
        return;
    }
    if (!entry.begun) {
        if (!m_writer.isOpen() && !m_writer.failed())
            m_writer.open(temporaryPath());
        m_writer.beginEntry(entry.header);
        entry.begun = true;
        entry.crc = piece.crc;
    } else {
        entry.crc = crc32Joined(entry.crc, piece.crc, piece.task.length);
    }
    QByteArray mac;
    if (entry.passphrase && !encrypt(entry, piece, mac)) {
        entry.failed = true;
        entry.begun = false;
        m_writer.dropEntry();
        return;
    }
    m_writer.write(piece.data.data.data(), piece.data.length);
    m_writer.write(mac.constData(), size_t(mac.size()));
    if (m_writer.failed()) {
        // The entry does not fit (a file size limit, a full disk): it costs itself only, when
        // taking it back out makes the archive whole again.
        entry.reason = m_writer.failure();
        entry.failed = true;
        entry.begun = false;
        m_writer.dropEntry();
        return;
    }
    entry.compressedSize += piece.data.length + size_t(mac.size());
    if (piece.task.last) {
        m_writer.finishEntry(entry.crc, entry.compressedSize);
        entry.ok = true;
    }
}

bool ZipArchive::encrypt(Entry &entry, Compressed &piece, QByteArray &mac)
{
    bool encrypted = entry.keys != nullptr;
    if (encrypted && piece.task.offset == 0) {
        QByteArray prefix;
        encrypted = m_encryptor.begin(*entry.keys, prefix);
        m_writer.write(prefix.constData(), size_t(prefix.size()));
        entry.compressedSize += quint64(prefix.size());
    }
    encrypted = encrypted && m_encryptor.encrypt(piece.data.data.data(), piece.data.length) &&
                (!piece.task.last || m_encryptor.finish(mac));
    if (!encrypted && entry.reason.isEmpty())
        entry.reason = QStringLiteral("it could not be encrypted");
    if (piece.task.last)
        entry.keys.reset();
    return encrypted;
}

ZipArchive::LostFile ZipArchive::lostFileOf(const Entry &entry)
{
    return {entry.pathOf(),
            entry.reason.isEmpty() ? QStringLiteral("it could not be read in full") : entry.reason};
}

void ZipArchive::retire()
{
    // Entries are written in the order they were added: the oldest is the one just finished.
    while (!m_entries.empty() && m_entries.front().written) {
        if (!m_entries.front().ok)
            m_failed.push_back(lostFileOf(m_entries.front()));
        m_entries.pop_front();
    }
}

void ZipArchive::waitUntil(const std::function<bool()> &done)
{
    std::unique_lock lock(m_mutex);
    // Whatever waits in the queue is announced now: the caller waits on the workers.
    m_unannounced = 0;
    m_work.notify_all();
    const auto finished = [&] { return m_abandoned || done(); };
    while (!finished()) {
        if (!m_waiting) {
            m_progress.wait(lock, finished);
        } else if (!m_progress.wait_for(lock, waitingInterval, finished)) {
            lock.unlock();
            m_waiting();
            lock.lock();
        }
    }
}

int ZipArchive::NewZip(const QString &zipFilePath)
{
    abandon();
    m_path.clear();
    m_entries.clear();
    m_failed.clear();
    m_added = 0;
    m_names.clear();
    m_lastFolder.clear();
    m_lost.clear();
    m_errorText.clear();
    m_sealed = false;
    m_abandoned = false;
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

QString ZipArchive::refusal(const QString &name) const
{
    if (m_path.isEmpty() || m_abandoned)
        return QStringLiteral("No archive has been started");
    if (m_sealed)
        return QStringLiteral("The archive %1 is complete; a new one is needed").arg(m_path);
    if (m_names.contains(nativePath(name)))
        return QStringLiteral("An entry named %1 is already in the archive").arg(name);
    return {};
}

int ZipArchive::AddFile(const QString &path, int flags)
{
    Q_UNUSED(flags);
    return addFile(path, [&](struct stat *st) { return openRegularFile(path, st); });
}

int ZipArchive::AddFile(const File &file, int flags)
{
    Q_UNUSED(flags);
    return addFile(file.Path(), [&](struct stat *st) { return openRegularFile(file, st); });
}

int ZipArchive::addFile(const QString &path, const std::function<int(struct stat *)> &open)
{
    const QString name = QFileInfo(path).fileName();
    if (const QString refused = refusal(name); !refused.isEmpty())
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
    return add(path, name, fd, st, {});
}

int ZipArchive::AddData(const QString &path, QByteArray data)
{
    const QString name = QFileInfo(path).fileName();
    if (const QString refused = refusal(name); !refused.isEmpty())
        return fail(refused);
    struct stat st {};
    st.st_size = off_t(data.size());
    st.st_mtime = std::time(nullptr);
    return add(path, name, -1, st, std::move(data));
}

int ZipArchive::add(const QString &path, const QString &name, int fd, const struct stat &st,
                    QByteArray memory)
{
    // Entries of one folder share its path: 200,000 logs do not hold 200,000 copies of it.
    const qsizetype folderLength = path.lastIndexOf(QLatin1Char('/')) + 1;
    if (QStringView(path).left(folderLength) != m_lastFolder)
        m_lastFolder = path.left(folderLength);
    m_bytesTotal += quint64(st.st_size);
    startWorkers();
    // Once a limit is reached the caller waits until half of it is free again: waiting for
    // every single file to leave would wake it once a file.
    const auto below = [&](size_t share) {
        return m_entries.size() < pendingLimit / share && m_memoryQueued < memoryLimit / share &&
               (fd < 0 || m_openFiles < openLimit / share);
    };
    // The workers change all three under the lock.
    bool full = false;
    {
        const std::lock_guard lock(m_mutex);
        full = !below(1);
    }
    if (full)
        waitUntil([&] { return below(2); });
    std::unique_lock lock(m_mutex);
    if (m_abandoned) {
        if (fd >= 0)
            ::close(fd);
        return fail(QStringLiteral("The archive %1 was abandoned").arg(m_path));
    }
    Entry &entry = m_entries.emplace_back();
    const size_t index = m_added++;
    entry.level = m_level;
    entry.folder = m_lastFolder;
    entry.header = headerFor(name, st);
    entry.passphrase = m_passphrase;
    entry.header.encrypted = m_passphrase != nullptr;
    m_names.insert(entry.header.name);
    entry.fd = fd;
    m_memoryQueued += size_t(memory.size());
    entry.memory = std::move(memory);
    const quint64 size = entry.header.size;
    if (fd >= 0)
        ++m_openFiles;
    if (size <= wholeLimit) {
        entry.unread = 1;
        m_queue.push_back({&entry, {index, 0}, 0, size_t(size), true, size > pieceSize});
    } else {
        // As few pieces as the limit allows, of even size: each but the last is walked again to
        // join it to the next.
        const quint64 pieces = (size + wholeLimit - 1) / wholeLimit;
        const quint64 length = (size + pieces - 1) / pieces;
        entry.unread = size_t(pieces);
        for (quint64 i = 0; i < pieces; ++i) {
            const quint64 offset = i * length;
            m_queue.push_back({&entry,
                               {index, size_t(i)},
                               offset,
                               size_t(std::min(length, size - offset)),
                               i + 1 == pieces,
                               false});
        }
    }
    // Small files are handed over in batches: waking a worker for each would cost more than
    // compressing it. A busy worker takes what is queued without being woken.
    m_unannounced += size;
    if (m_unannounced >= batchSize || m_queue.size() >= batchFiles) {
        m_unannounced = 0;
        lock.unlock();
        m_work.notify_all();
    }
    return 1;
}

int ZipArchive::SaveArchive()
{
    if (m_path.isEmpty())
        return fail(QStringLiteral("No archive has been started"));
    waitUntil([this] { return m_nextToWrite.first == m_added; });
    stopWorkers();
    m_lost.clear();
    m_errorText.clear();
    m_written = false;
    if (m_abandoned)
        return fail(QStringLiteral("The archive %1 was abandoned").arg(m_path));

    m_lost = m_failed;
    for (const Entry &entry : m_entries)
        if (!entry.ok)
            m_lost.push_back(lostFileOf(entry));
    const QString temporary = temporaryPath();
    if (!m_writer.isOpen() && !m_writer.failed())
        m_writer.open(temporary);
    QString failure;
    if (!m_writer.finish())
        failure = m_writer.failure();
    else if (::rename(nativePath(temporary).constData(), nativePath(m_path).constData()) != 0)
        failure = QStringLiteral("Cannot put the archive in place at %1: %2")
                      .arg(m_path, systemError(errno));
    if (!failure.isEmpty()) {
        m_writer.discard();
        ::unlink(nativePath(temporary).constData());
        return fail(QStringLiteral("The archive %1 was not written: %2").arg(m_path, failure));
    }
    m_written = true;
    m_sealed = m_added > 0;
    m_names.clear();
    if (!m_lost.empty()) {
        QStringList lost;
        for (const LostFile &file : m_lost)
            lost << QStringLiteral("%1 (%2)").arg(file.path, file.reason);
        return fail(QStringLiteral("%1 of %2 files could not be archived: %3")
                        .arg(m_lost.size())
                        .arg(m_added)
                        .arg(lost.join(QStringLiteral("; "))));
    }
    return 1;
}

namespace {

// The names' blocks; a name (at most 65,535 bytes and its length) always fits one.
constexpr size_t nameBlock = 1 << 17;

} // namespace

QByteArrayView ZipArchive::NameSet::nameAt(quint32 at) const
{
    const size_t start = at - 1;
    const char *stored = m_blocks[start / nameBlock].get() + start % nameBlock;
    return {stored + 2, qsizetype(uchar(stored[0]) | uchar(stored[1]) << 8)};
}

size_t ZipArchive::NameSet::slotOf(QByteArrayView name) const
{
    // The slot that holds the name, or the free one where it would go.
    const size_t mask = m_slots.size() - 1;
    for (size_t slot = size_t(qHash(name)) & mask;; slot = (slot + 1) & mask)
        if (m_slots[slot] == 0 || nameAt(m_slots[slot]) == name)
            return slot;
}

bool ZipArchive::NameSet::contains(const QByteArray &name) const
{
    return !m_slots.empty() && m_slots[slotOf(name)] != 0;
}

bool ZipArchive::NameSet::insert(const QByteArray &name)
{
    if (contains(name))
        return false;
    const size_t length = size_t(name.size()) + 2;
    // Names of entries are at most 65,535 bytes; positions fit 32 bits up to 4 GiB of names.
    if (name.size() > 0xffff || m_used + nameBlock >= 0xffffffffu)
        throw std::length_error("too many entry names");
    if ((m_count + 1) * 2 > m_slots.size()) {
        const size_t grown = std::max<size_t>(64, m_slots.size() * 2);
        const std::vector<quint32> old = std::exchange(m_slots, std::vector<quint32>(grown));
        for (const quint32 at : old)
            if (at != 0)
                m_slots[slotOf(nameAt(at))] = at;
    }
    // Where the next name goes in the last block; a name that does not fit starts the next.
    size_t inBlock = m_blocks.empty() ? nameBlock : m_used - (m_blocks.size() - 1) * nameBlock;
    if (inBlock + length > nameBlock) {
        m_blocks.push_back(std::make_unique<char[]>(nameBlock));
        m_used = (m_blocks.size() - 1) * nameBlock;
        inBlock = 0;
    }
    char *stored = m_blocks.back().get() + inBlock;
    stored[0] = char(name.size());
    stored[1] = char(name.size() >> 8);
    std::memcpy(stored + 2, name.constData(), size_t(name.size()));
    m_slots[slotOf(name)] = quint32(m_used + 1);
    m_used += length;
    ++m_count;
    return true;
}

void ZipArchive::NameSet::clear()
{
    m_blocks.clear();
    m_blocks.shrink_to_fit();
    m_slots.clear();
    m_slots.shrink_to_fit();
    m_used = 0;
    m_count = 0;
}

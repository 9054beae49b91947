#include "archive/ZipArchive.h"

#include "common/Failure.h"
#include "platform/FileHoles.h"
#include "platform/WholeTransfer.h"

#include <QScopeGuard>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

// The work queue and the workers: which piece is taken next, what a worker does with it, and how
// the caller waits for them.

using namespace ZipWork;

size_t ZipWork::openFilesLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 256;
    return std::clamp<size_t>(size_t(limit.rlim_cur / 4), 4, 256);
}

QString ZipWork::readPiece(int fd, char *into, quint64 offset, size_t length, bool last,
                           quint64 size)
{
    const size_t asked = length + (last ? 1 : 0);
    const Transferred read = transferWhole(asked, [&](size_t done) -> ssize_t {
        // A read that stopped exactly at the piece's end met the file's end: the byte more was
        // asked for in the same call, and asking again only to hear so would cost a call for
        // every small file.
        if (done > 0 && done == length)
            return 0;
        return ::pread(fd, into + done, asked - done, off_t(offset + done));
    });
    struct stat st;
    if (read.error)
        return systemError(read.error);
    if (read.bytes < length)
        return cutShortWhileRead(offset + quint64(read.bytes), size);
    // More bytes than the size are fine while the size grows with them (a live log); not in a
    // pseudo-file whose size says nothing of its content.
    if (read.bytes > length && ::fstat(fd, &st) == 0 && quint64(st.st_size) <= size)
        return QStringLiteral("the file holds more than its size of %1 bytes says").arg(size);
    return {};
}

void ZipArchive::startWorkers()
{
    if (!m_workers.empty())
        return;
    m_stopping = false;
    // Fewer workers than cores where the system will not start more (a limit on threads or on
    // address space): slower, not lost. None at all fails the file being added.
    int started = 0;
    try {
        for (; started < m_threads; ++started)
            m_workers.emplace_back([this] { work(); });
    } catch (const std::system_error &) {
        if (started == 0)
            throw;
        const std::lock_guard lock(m_mutex);
        m_threads = started;
    }
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
    dropStaged(0, {});
    m_openFiles = 0;
    m_reserved = 0;
    m_memoryQueued = 0;
    m_queue.clear();
    m_compressed.clear();
}

void ZipArchive::work()
{
    std::unique_lock lock(m_mutex, std::defer_lock);
    try {
        Worker worker;
        lock.lock();
        workOn(worker, lock);
    } catch (const std::bad_alloc &) {
        giveUp(lock, QStringLiteral("memory ran out while it was written"));
    } catch (...) {
        giveUp(lock, QStringLiteral("an unexpected failure while it was written"));
    }
}

void ZipArchive::giveUp(std::unique_lock<std::mutex> &lock, const QString &because)
{
    // Nothing may leave a thread. What failed here (between a piece's compression and its place
    // in line) cannot be taken back piece by piece: the archive is given up, and every other
    // worker and the caller stop waiting for it. Nothing here allocates.
    if (!lock.owns_lock())
        lock.lock();
    m_brokenBecause = because;
    m_abandoned = true;
    m_stopping = true;
    m_work.notify_all();
    m_progress.notify_all();
}

void ZipArchive::workOn(Worker &worker, std::unique_lock<std::mutex> &lock)
{
    for (;;) {
        // Pieces are taken in order, and one always fits: the piece next in line is never kept
        // waiting by pieces after it.
        if (!m_stopping && !canTakeNext()) {
            ++m_idleWorkers;
            m_work.wait(lock, [this] { return m_stopping || canTakeNext(); });
            --m_idleWorkers;
        }
        if (m_stopping)
            return;
        // Small files are taken several at a time: a worker that went to the queue for each
        // would spend more on that than on compressing it. But no more than its share of what
        // waits, so that small files reach every worker.
        std::vector<Task> &tasks = worker.tasks;
        const size_t share =
            std::max<size_t>(1, (m_queue.size() + size_t(m_threads) - 1) / size_t(m_threads));
        size_t taken = 0;
        do {
            tasks.push_back(take());
            taken += tasks.back().length;
            m_reserved += tasks.back().length;
        } while (tasks.back().length < smallFile && tasks.size() < std::min(batchFiles, share) &&
                 taken < batchSize && canTakeNext() && m_queue.front().length < smallFile);
        // Another worker may take what is left.
        if (m_idleWorkers > 0 && canTakeNext())
            m_work.notify_one();
        lock.unlock();
        std::vector<Compressed> &pieces = worker.compressed;
        for (const Task &task : tasks)
            pieces.push_back(compress(task, worker));
        lock.lock();
        // What stays in memory now is the compressed pieces only.
        for (Compressed &piece : pieces) {
            // A caller kept waiting by the files open goes on as soon as there is room.
            if (piece.closedFile && m_openFiles-- == m_openLimit * 3 / 4 && m_callerWaiting)
                m_progress.notify_all();
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

Task ZipArchive::take()
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

Compressed ZipArchive::compress(const Task &task, Worker &worker)
{
    Entry &entry = *task.entry;
    Compressed piece{task, {}, 0, {}};
    const quint64 size = entry.header.size;
    try {
        // The last piece of a file asks for one byte more: one that holds more than its size. A
        // piece to be rewritten may be carried on to a line break past its end.
        const size_t asked = task.length + (task.last ? 1 : 0);
        const size_t room = asked + (entry.transform ? entry.transform->longestLine() + 1 : 0);
        if (entry.fd >= 0 && worker.input.size() < room)
            worker.input = Buffer(std::max<size_t>(room, 2 * worker.input.size()));
        char *const in = worker.input.data();
        const char *data = entry.fd >= 0 ? in : entry.memory.constData() + task.offset;
        // Cut to nothing and written again past its old end, before it is read or while, a file
        // reads as zeros at least at the end of its old size. Read whole in one piece, a file
        // whose last byte is not zero was read before any such cut: its holes need no call to ask
        // (one for every small file).
        bool readBeforeAnyCut = false;
        if (!entry.failed && entry.fd >= 0) {
            piece.failure = readPiece(entry.fd, in, task.offset, task.length, task.last, size);
            readBeforeAnyCut = piece.failure.isEmpty() && task.offset == 0 && task.last &&
                               task.length > 0 && in[task.length - 1] != 0;
        }
        // Before the file may be closed: rewriting may read on past the piece.
        if (piece.failure.isEmpty() && !entry.failed && entry.transform)
            piece.failure = rewrite(task, worker, data);
        if (entry.unread.fetch_sub(1) == 1 && entry.fd >= 0) {
            if (piece.failure.isEmpty() && entry.holeFree && !readBeforeAnyCut &&
                fileHoleBelow(entry.fd, size))
                piece.failure = cutShortAndWrittenAgain();
            ::close(entry.fd);
            piece.closedFile = true;
        }
        if (!piece.failure.isEmpty())
            entry.failed = true;
        if (entry.failed)
            return piece;
        const char *bytes = entry.transform ? worker.rewritten.data() : data;
        piece.length = entry.transform ? worker.rewritten.size() : task.length;
        piece.crc = crc32Of(0, bytes, piece.length);
        // A rewritten entry's last piece may hold nothing: it still ends the stream.
        if (piece.length > 0 || (task.last && entry.transform && entry.header.method != 0))
            piece.data = worker.deflater.compress(bytes, piece.length, entry.level, task.last,
                                                  entry.repetitive);
        deriveKeys(entry, task);
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

QString ZipArchive::rewrite(const Task &task, Worker &worker, const char *data)
{
    Entry &entry = *task.entry;
    const size_t longest = entry.transform->longestLine();
    const QString tooLong =
        QStringLiteral("it has a line longer than %1 bytes, which cannot be rewritten")
            .arg(longest);
    // A piece that does not begin a line leaves that line to the piece before it...
    size_t begin = 0;
    if (task.offset > 0) {
        char before = 0;
        if (entry.fd < 0)
            before = entry.memory.at(qsizetype(task.offset) - 1);
        else if (::pread(entry.fd, &before, 1, off_t(task.offset - 1)) != 1)
            return QStringLiteral("the file was cut short while it was read");
        if (before != '\n') {
            const void *lineBreak = std::memchr(data, '\n', task.length);
            begin =
                lineBreak ? size_t(static_cast<const char *>(lineBreak) - data) + 1 : task.length;
        }
    }
    // ... and carries its own last line on to its line break.
    size_t end = task.length;
    if (!task.last && begin < end && data[end - 1] != '\n') {
        size_t carried = 0;
        bool ended = false;
        while (!ended) {
            const char *more = data + end + carried;
            size_t got = 0;
            if (entry.fd < 0) {
                got = std::min<size_t>(64 << 10,
                                       size_t(entry.memory.size()) - task.offset - end - carried);
            } else {
                // Read on into the worker's buffer, which has room for the longest line.
                // A line ends within a few hundred bytes, as a rule: small reads first.
                const ssize_t n = ::pread(
                    entry.fd, worker.input.data() + end + carried,
                    std::min<size_t>(carried < 4096 ? 4096 : 64 << 10, longest + 1 - carried),
                    off_t(task.offset + end + carried));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return systemError(errno);
                got = size_t(n);
            }
            const void *lineBreak = std::memchr(more, '\n', got);
            ended = got == 0 || lineBreak;
            carried += lineBreak ? size_t(static_cast<const char *>(lineBreak) - more) + 1 : got;
            if (carried > longest)
                return tooLong;
        }
        end += carried;
    }
    worker.rewritten.clear();
    if (begin == end)
        return {};
    const QString why = entry.transform->rewrite(data + begin, end - begin, worker.rewritten);
    if (why.isEmpty() && worker.rewritten.size() > (end - begin) * EntryTransform::growthLimit)
        return QStringLiteral("it grew past %1 times its size when it was rewritten")
            .arg(EntryTransform::growthLimit);
    return why;
}

void ZipArchive::waitUntil(const std::function<bool()> &done)
{
    std::unique_lock lock(m_mutex);
    // The caller waits on the workers: every one of them may take what is queued.
    m_work.notify_all();
    const auto finished = [&] { return m_abandoned || done(); };
    m_callerWaiting = true;
    // Also when the waiting function throws, which it does with the lock let go.
    const auto noLongerWaiting = qScopeGuard([&] {
        if (!lock.owns_lock())
            lock.lock();
        m_callerWaiting = false;
    });
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

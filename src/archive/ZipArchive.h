#pragma once

#include "archive/Deflate.h"
#include "archive/ZipEncryption.h"
#include "archive/ZipWriter.h"
#include "platform/FileSystem.h"

#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

// The ZIP component: an archive bound to a path, files added to it, written in one go. Statuses
// are 1 for success and 0 for failure, with ErrorText saying what went wrong.
//
// Nothing half-written ever stands at the archive's path: the archive is written beside it and
// renamed into place when SaveArchive has finished it. AddFile opens the file and hands it to
// worker threads, one for every core, which deflate it while the caller goes on: each file whole
// on one worker while there are files enough for all, a large one in pieces that several workers
// share; the pieces are written into the archive in the order the files were added, as soon as
// each is compressed, so the data is written once and memory stays bounded whatever the files'
// sizes or number. A file removed after it was added is archived as it was, and one that cannot
// be read in full costs that entry, never the archive. Entries are stored under the file's own
// name; ZIP64 is used where sizes or counts need it.
class ZipArchive {
public:
    // `threads` 0: a worker for every core.
    explicit ZipArchive(int compressionLevel = 6, int threads = 0);
    ~ZipArchive();
    ZipArchive(const ZipArchive &) = delete;
    ZipArchive &operator=(const ZipArchive &) = delete;

    int NewZip(const QString &zipFilePath);
    // `flags` is kept for callers of the component; only 0 is used. Once an archive with entries
    // was saved, a file is added to a new archive only.
    int AddFile(const QString &path, int flags);
    // The same for a file of a folder listing, read through the folder the listing opened.
    int AddFile(const File &file, int flags);
    // Adds `data` as if it were the file at `path`, made now: a copy made in memory.
    int AddData(const QString &path, QByteArray data);
    int SaveArchive();
    // Encrypts the entries added from now on with `passphrase` (see ZipEncryption); none, the
    // entries are not encrypted. Each entry is encrypted as it is written, so the archive never
    // holds the entry's data unencrypted, not even in its temporary file.
    void setPassphrase(std::shared_ptr<const Passphrase> passphrase)
    {
        m_passphrase = std::move(passphrase);
    }
    // The deflate level (1-12) of the entries added from now on.
    void setCompressionLevel(int level) { m_level = level; }
    // Stops the workers after the pieces they are compressing and removes every piece of the
    // archive made so far; for a run that is cut short.
    void abandon();
    // Called on the caller's thread about ten times a second while AddFile or SaveArchive waits
    // for the workers, so that a window goes on answering; it may abandon the archive.
    void setWaiting(std::function<void()> waiting) { m_waiting = std::move(waiting); }

    // Bytes of the added files that are compressed and written, of all added so far.
    struct Progress {
        quint64 done = 0;
        quint64 total = 0;
    };
    Progress progress() const { return {m_bytesDone.load(), m_bytesTotal.load()}; }

    QString ErrorText() const { return m_errorText; }
    // Whether the last SaveArchive put an archive at the path; it may still have lost entries.
    bool written() const { return m_written; }

    // The files the last SaveArchive could not archive, each with the reason.
    struct LostFile {
        QString path;
        QString reason;
    };
    const std::vector<LostFile> &lostFiles() const { return m_lost; }

private:
    struct Entry {
        // The path the file was added under, up to its last slash; its name is in the header.
        QString folder;
        ZipWriter::Entry header;
        QString pathOf() const { return folder + decodeNativePath(header.name); }
        // Where the data is read from: an open file, or memory.
        int fd = -1;
        QByteArray memory;
        // Pieces not yet read: the last one read closes the file.
        std::atomic<size_t> unread{0};
        // A piece could not be read: the pieces after it are not compressed.
        std::atomic<bool> failed{false};
        int level = 6;
        // Compresses past a hundred to one (see Deflater).
        std::atomic<bool> repetitive{false};
        // Kept by whichever thread writes the entry's pieces, one at a time.
        bool begun = false;
        bool ok = false;
        // Its last piece is written, or given up: no piece refers to it any more.
        bool written = false;
        QString reason;
        quint32 crc = 0;
        quint64 compressedSize = 0;
        // An encrypted entry's keys, made with its first piece and gone once it is written.
        std::shared_ptr<const Passphrase> passphrase;
        std::unique_ptr<EntryKeys> keys;
    };
    // A piece of a file, or a whole file, in the order the pieces go into the archive: by the
    // entry's place among those added, then the piece's within the entry.
    using Place = std::pair<size_t, size_t>;
    struct Task {
        Entry *entry;
        Place place;
        quint64 offset;
        size_t length;
        bool last;
        // A whole file that is cut into pieces when it is taken while workers would wait.
        bool divisible;
    };
    struct Compressed {
        Task task;
        Deflater::Result data;
        quint32 crc = 0;
        QString failure;
    };
    // What a worker keeps from one piece to the next.
    struct Worker {
        Deflater deflater;
        Buffer input;
        std::vector<Task> tasks;
        std::vector<Compressed> compressed;
    };

    int fail(const QString &text);
    // What both AddFile share; `open` opens the file and tells what it is.
    int addFile(const QString &path, const std::function<int(struct stat *)> &open);
    // What AddFile and AddData share: the name checked, the entry made and its pieces queued.
    int add(const QString &path, const QString &name, int fd, const struct stat &st,
            QByteArray memory);
    // Why nothing named `name` may be added now; empty when it may.
    QString refusal(const QString &name) const;
    void startWorkers();
    void stopWorkers();
    void work();
    // Takes the task at the front of the queue, cutting a divisible file into pieces when it
    // should be. Called with the lock held.
    Task take();
    bool dividesNow(const Task &task) const;
    Compressed compress(const Task &task, Worker &worker);
    // Writes what is compressed, in order, while the piece next in line is there. Called with the
    // lock held; one thread at a time does the writing.
    void writeInOrder(std::unique_lock<std::mutex> &lock);
    // Whether the next piece may be taken now: there is one, and it fits the budget.
    bool canTakeNext() const;
    void write(Compressed &piece);
    // Encrypts a piece of an encrypted entry in place before it is written: the first piece
    // writes the salt and verifier before it, the last gives the `mac` that follows it. False,
    // with the entry's reason, when it cannot be: the entry is then lost, never unencrypted.
    bool encrypt(Entry &entry, Compressed &piece, QByteArray &mac);
    // Drops the entries at the front that are written or given up. Called with the lock held.
    void retire();
    // What the run log says of an entry that did not make it into the archive.
    static LostFile lostFileOf(const Entry &entry);
    // Blocks until `done` holds or the archive is abandoned, calling the waiting function.
    void waitUntil(const std::function<bool()> &done);
    QString temporaryPath() const { return m_path + QStringLiteral(".tmp"); }

    // The names of the entries added, each kept once in a block of bytes: what is remembered
    // of every entry until the archive is complete, besides its record in the directory.
    class NameSet {
    public:
        // False when the name is in the set already.
        bool insert(const QByteArray &name);
        bool contains(const QByteArray &name) const;
        void clear();

    private:
        size_t slotOf(QByteArrayView name) const;
        QByteArrayView nameAt(quint32 at) const;
        // Each name as its length (two bytes) and its bytes, in blocks that are filled and never
        // moved: growing them copies nothing and keeps no spare room.
        std::vector<std::unique_ptr<char[]>> m_blocks;
        size_t m_used = 0;
        // Where each name starts, counted over the blocks, plus one; 0 for a free slot. Never
        // fuller than half.
        std::vector<quint32> m_slots;
        size_t m_count = 0;
    };

    int m_level;
    int m_threads;
    size_t m_budget;
    QString m_path;
    std::function<void()> m_waiting;
    // Entries keep their place while workers fill them in, and go once written (retire), so
    // that 200,000 small files do not keep 200,000 of them.
    std::deque<Entry> m_entries;
    // Those that went without being archived, and how many were added in all.
    std::vector<LostFile> m_failed;
    size_t m_added = 0;
    NameSet m_names;
    QString m_lastFolder;
    // A saved archive with entries is complete: nothing more goes into it.
    bool m_sealed = false;
    std::vector<LostFile> m_lost;
    QString m_errorText;
    bool m_written = false;
    ZipWriter m_writer;
    std::shared_ptr<const Passphrase> m_passphrase;
    // Used by whichever thread writes, one at a time, like the writer.
    EntryEncryptor m_encryptor;
    std::atomic<quint64> m_bytesDone{0};
    std::atomic<quint64> m_bytesTotal{0};

    std::mutex m_mutex;
    // Workers wait on `m_work` for pieces; callers on `m_progress` for pieces written.
    std::condition_variable m_work;
    std::condition_variable m_progress;
    // Bytes queued since the workers were last woken.
    quint64 m_unannounced = 0;
    std::deque<Task> m_queue;
    std::map<Place, Compressed> m_compressed;
    std::vector<std::thread> m_workers;
    Place m_nextToWrite{0, 0};
    // Bytes of pieces taken by workers and not yet written: what the pieces in memory hold.
    size_t m_reserved = 0;
    size_t m_openFiles = 0;
    // Bytes of copies made in memory that are added and not yet compressed.
    size_t m_memoryQueued = 0;
    bool m_writing = false;
    bool m_stopping = false;
    bool m_abandoned = false;
};

#pragma once

#include "archive/EntryNameSet.h"
#include "archive/EntryTransform.h"
#include "archive/ZipEncryption.h"
#include "archive/ZipWork.h"
#include "archive/ZipWriter.h"
#include "platform/FileSystem.h"

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
// worker threads, one for every core (small files a batch at a time), which deflate it while the
// caller goes on: each file whole on one worker while there are files enough for all, a large one
// in pieces that several workers share; the pieces are written into the archive in the order the
// files were added, as soon as each is compressed, so the data is written once and memory stays
// bounded whatever the files' sizes or number. A file removed after it was added is archived as it
// was, and one that cannot be read in full costs that entry, never the archive. Entries are stored
// under the file's own name; ZIP64 is used where sizes or counts need it.
class ZipArchive {
public:
    // `threads` 0: a worker for every core.
    explicit ZipArchive(int compressionLevel = 6, int threads = 0);
    ~ZipArchive();
    ZipArchive(const ZipArchive &) = delete;
    ZipArchive &operator=(const ZipArchive &) = delete;

    // How an entry goes in when not as the file's bytes under the file's name: the entry's name
    // (empty: the file's), and what rewrites the bytes before they are compressed.
    struct EntryOptions {
        QString name;
        std::shared_ptr<EntryTransform> transform;
    };

    // The entry's name for a file's name (or a name given): a ZIP archive separates folders with
    // "/" alone, but the readers of the system the archives are opened on take "\\" for one too,
    // and "..\\" would climb out of where the archive is unpacked. Each becomes "%5C", which
    // a file of the folder is far less likely to be named with than "_".
    static QString entryNameOf(QString name);

    int NewZip(const QString &zipFilePath);
    // `flags` is kept for callers of the component; only 0 is used. Once an archive with entries
    // was saved, a file is added to a new archive only.
    int AddFile(const QString &path, int flags, const EntryOptions &options = {});
    // The same for a file of a folder listing, read through the folder the listing opened.
    int AddFile(const File &file, int flags, const EntryOptions &options = {});
    // Adds `data` as if it were the file at `path`, made now: a copy made in memory.
    int AddData(const QString &path, QByteArray data, const EntryOptions &options = {});
    int SaveArchive();
    // Hands the files added so far to the workers, which otherwise get them in batches: for a
    // caller about to wait on something else. It may wait while the workers are far behind.
    void handOver();
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
    // Called on the caller's thread about ten times a second while AddFile, AddData, handOver or
    // SaveArchive waits for the workers, so that a window goes on answering; it may abandon the
    // archive.
    void setWaiting(std::function<void()> waiting) { m_waiting = std::move(waiting); }
    // Called on the caller's thread just before files added go to the workers, or one added is
    // read at once, none of them read yet: what is to be said before a file is read can wait
    // until then. When it throws, nothing goes: the next hand-over calls it again.
    void setHandingOver(std::function<void()> handingOver)
    {
        m_handingOver = std::move(handingOver);
    }

    // Bytes of the added files that are compressed and written, of all added so far.
    struct Progress {
        quint64 done = 0;
        quint64 total = 0;
    };
    Progress progress() const { return {m_bytesDone.load(), m_bytesTotal.load()}; }

    QString ErrorText() const { return m_errorText; }
    // Whether the last SaveArchive put an archive at the path; it may still have lost entries.
    bool written() const { return m_written; }
    // The entries the last SaveArchive wrote into it; 0 when it wrote none.
    quint64 entries() const { return m_written ? m_writer.entryCount() : 0; }

    // The files the last SaveArchive could not archive, each with the reason.
    struct LostFile {
        QString path;
        QString reason;
    };
    const std::vector<LostFile> &lostFiles() const { return m_lost; }

private:
    int fail(const QString &text);
    // What both AddFile share; `open` opens the file and tells what it is; `listed`, what the
    // listing saw of it, where it came from one.
    int addFile(const QString &path, const std::function<int(struct stat *)> &open,
                const EntryOptions &options, const File *listed = nullptr);
    // What AddFile and AddData share: the name checked, the entry made and staged.
    int add(const QString &path, const QString &name, QByteArray native, int fd,
            const struct stat &st, QByteArray memory, const EntryOptions &options,
            QString failure = {});
    // Why nothing named `name` (`native` in the system's bytes) may be added now; empty when it
    // may.
    QString refusal(const QString &name, const QByteArray &native) const;
    // Makes a staged file's entry and queues its pieces. Called with the lock held.
    void queue(ZipWork::Staged &staged);
    // Closes the staged files from `from` on and drops every staged file; with a `reason`, those
    // closed are listed as not archived (unless the archive was abandoned).
    void dropStaged(size_t from, const QString &reason);
    // Whether the caller may go on adding: entries, copies in memory and open files below their
    // limits, or, to `resume`, well below.
    bool belowLimits(bool resume) const;
    void startWorkers();
    void stopWorkers();
    void work();
    void workOn(ZipWork::Worker &worker, std::unique_lock<std::mutex> &lock);
    void giveUp(std::unique_lock<std::mutex> &lock, const QString &because);
    // Why the archive takes nothing more, or empty: the caller may abandon it, and a worker give
    // it up at any time.
    QString abandonedText() const;
    // Takes the task at the front of the queue, cutting a divisible file into pieces when it
    // should be. Called with the lock held.
    ZipWork::Task take();
    bool dividesNow(const ZipWork::Task &task) const;
    ZipWork::Compressed compress(const ZipWork::Task &task, ZipWork::Worker &worker);
    // Rewrites a piece of an entry that has a transform into the worker's `rewritten`: the lines
    // that begin in the piece, the last carried on past its end to its line break. Returns why it
    // cannot be, or an empty text.
    QString rewrite(const ZipWork::Task &task, ZipWork::Worker &worker, const char *data);
    // Writes what is compressed, in order, while the piece next in line is there. Called with the
    // lock held; one thread at a time does the writing.
    void writeInOrder(std::unique_lock<std::mutex> &lock);
    // Whether the next piece may be taken now: there is one, and it fits the budget.
    bool canTakeNext() const;
    void write(ZipWork::Compressed &piece);
    // Derives an encrypted entry's keys with its first piece, on the worker.
    static void deriveKeys(ZipWork::Entry &entry, const ZipWork::Task &task);
    // Encrypts a piece of an encrypted entry in place before it is written: the first piece
    // writes the salt and verifier before it, the last gives the `mac` that follows it. False,
    // with the entry's reason, when it cannot be: the entry is then lost, never unencrypted.
    bool encrypt(ZipWork::Entry &entry, ZipWork::Compressed &piece, QByteArray &mac);
    // Drops the entries at the front that are written or given up. Called with the lock held.
    void retire();
    // What the run log says of an entry that did not make it into the archive.
    static LostFile lostFileOf(const ZipWork::Entry &entry);
    // Blocks until `done` holds or the archive is abandoned, calling the waiting function.
    void waitUntil(const std::function<bool()> &done);
    QString temporaryPath() const { return m_path + QStringLiteral(".tmp"); }

    int m_level;
    int m_threads;
    size_t m_budget;
    QString m_path;
    std::function<void()> m_waiting;
    std::function<void()> m_handingOver;
    // Entries keep their place while workers fill them in, and go once written (retire), so
    // that 200,000 small files do not keep 200,000 of them.
    std::deque<ZipWork::Entry> m_entries;
    // Those that went without being archived, and how many were added in all.
    std::vector<LostFile> m_failed;
    size_t m_added = 0;
    // Those handed to the workers: each entry's place.
    size_t m_queued = 0;
    EntryNameSet m_names;
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

    mutable std::mutex m_mutex;
    // Workers wait on `m_work` for pieces; callers on `m_progress` for pieces written.
    std::condition_variable m_work;
    std::condition_variable m_progress;
    std::deque<ZipWork::Task> m_queue;
    std::map<ZipWork::Place, ZipWork::Compressed> m_compressed;
    std::vector<std::thread> m_workers;
    ZipWork::Place m_nextToWrite{0, 0};
    // The writer's: the pieces it writes next, and what each held.
    std::vector<ZipWork::Compressed> m_ready;
    std::vector<size_t> m_readyHeld;
    // Bytes of pieces taken by workers and not yet written: what the pieces in memory hold.
    size_t m_reserved = 0;
    size_t m_openFiles = 0;
    const size_t m_openLimit = ZipWork::openFilesLimit();
    // The caller's: files added and not yet handed over, their bytes, and how many go at once (a
    // batch holds its files open, so a tight limit on open files makes batches small).
    std::vector<ZipWork::Staged> m_staged;
    quint64 m_stagedBytes = 0;
    const size_t m_handOverFiles;
    // Bytes of copies made in memory that are added and not yet compressed.
    size_t m_memoryQueued = 0;
    bool m_writing = false;
    // Workers waiting for pieces; whether AddFile or SaveArchive waits for the workers.
    size_t m_idleWorkers = 0;
    bool m_callerWaiting = false;
    bool m_stopping = false;
    // Written with the lock held; read without it where it is false nearly always.
    std::atomic<bool> m_abandoned = false;
    // Why a worker gave the archive up (memory ran out where nothing could be taken back); empty
    // when the caller abandoned it.
    QString m_brokenBecause;
};

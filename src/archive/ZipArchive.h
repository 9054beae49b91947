#pragma once

#include <QString>
#include <QStringList>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// The ZIP component: an archive bound to a path, files added to it, written in one go. Statuses
// are 1 for success and 0 for failure, with ErrorText saying what went wrong.
//
// Nothing half-written ever stands at the archive's path: SaveArchive writes beside it and renames
// the finished archive into place. AddFile opens the file and hands it to worker threads, which
// compress each entry on its own while the caller goes on; a file removed after it was added is
// archived as it was, and one that cannot be read in full costs that entry, never the archive.
// SaveArchive then copies the finished entries into the archive without compressing them again.
// Entries are stored under the file's own name, deflated; ZIP64 is used where sizes or counts
// need it.
class ZipArchive {
public:
    // `threads` 0: as many workers as the machine has cores, at most 4.
    explicit ZipArchive(int compressionLevel = 6, int threads = 0);
    // Files directly in `folder` are deflated at `level` instead.
    void setFolderLevel(const QString &folder, int level);
    ~ZipArchive();
    ZipArchive(const ZipArchive &) = delete;
    ZipArchive &operator=(const ZipArchive &) = delete;

    int NewZip(const QString &zipFilePath);
    // `flags` is kept for callers of the component; only 0 is used.
    int AddFile(const QString &path, int flags);
    int SaveArchive();
    // Stops the workers after the entries they are compressing and removes every piece of the
    // archive made so far; for a run that is cut short.
    void abandon();
    QString ErrorText() const { return m_errorText; }
    // Whether the last SaveArchive put an archive at the path; it may still have lost entries.
    bool written() const { return m_written; }

    // The files the last SaveArchive could not archive, each with the reason.
    struct LostFile {
        QString path;
        QString reason;
    };
    const std::vector<LostFile> &lostFiles() const { return m_lost; }

    // One file of the archive, compressed on its own into a part file.
    struct Entry {
        QString path;
        QString name;
        int level = 6;
        bool done = false;
        bool ok = false;
        QString reason;
        quint64 size = 0;
        quint64 compressedSize = 0;
        quint32 crc = 0;
        quint16 method = 8;
        qint64 mtime = 0;
    };

private:
    // A file opened by AddFile, waiting for a worker.
    struct Job {
        size_t index;
        int fd;
        qint64 size;
    };

    int fail(const QString &text);
    bool writeEmptyArchive(const QString &target);
    void startWorkers();
    void stopWorkers();
    void work();
    // Blocks until every entry added so far has been compressed.
    void waitForEntries();
    void discardParts();
    // Where entry `index` is compressed: beside the archive, named after it.
    QString partFile(size_t index) const;

    int m_level;
    int m_threads;
    QString m_levelFolder;
    int m_folderLevel = 0;
    QString m_path;
    // Entries keep their place while workers fill them in.
    std::deque<Entry> m_entries;
    std::vector<LostFile> m_lost;
    QString m_errorText;
    bool m_written = false;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Job> m_queue;
    std::vector<std::thread> m_workers;
    size_t m_busy = 0;
    bool m_stopping = false;
};

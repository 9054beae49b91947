#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// The ZIP component: an archive bound to a path, files added to it, written in one go. Statuses
// are 1 for success and 0 for failure, with ErrorText saying what went wrong.
//
// Nothing half-written ever stands at the archive's path: SaveArchive writes beside it and renames
// the finished archive into place. Each entry is compressed on its own first (on worker threads),
// so that a file that vanished or changed by then costs that entry, never the archive; the
// finished entries are then copied into the archive without being compressed again. Entries are
// stored under the file's own name, deflated; ZIP64 is used where sizes or counts need it.
class ZipArchive {
public:
    explicit ZipArchive(int compressionLevel = 6, int threads = 0);
    ~ZipArchive();
    ZipArchive(const ZipArchive &) = delete;
    ZipArchive &operator=(const ZipArchive &) = delete;

    int NewZip(const QString &zipFilePath);
    // `flags` is kept for callers of the component; only 0 is used.
    int AddFile(const QString &path, int flags);
    int SaveArchive();
    QString ErrorText() const { return m_errorText; }

    // The files the last SaveArchive could not archive, each with the reason.
    struct LostFile {
        QString path;
        QString reason;
    };
    const std::vector<LostFile> &lostFiles() const { return m_lost; }

private:
    struct Entry {
        QString path;
        QString name;
    };

    int fail(const QString &text);
    bool writeEmptyArchive(const QString &target);

    int m_level;
    int m_threads;
    QString m_path;
    std::vector<Entry> m_entries;
    std::vector<LostFile> m_lost;
    QString m_errorText;
};

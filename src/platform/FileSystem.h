#pragma once

#include "platform/FileSystemError.h"
#include "platform/NativePath.h"
#include "platform/SafeFiles.h"
#include "platform/TextStream.h"

#include <QDateTime>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class FileSystem;

// What tells one folder of this computer from another, whatever path leads to it.
struct FolderIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    bool operator==(const FolderIdentity &) const = default;
};

// A folder held open. What is read through it comes from the folder that was opened, whatever
// happens later to its path or to a folder above it (renamed, replaced by a link).
class OpenFolder {
public:
    explicit OpenFolder(int fd)
        : m_fd(fd)
    {
    }
    ~OpenFolder();
    OpenFolder(const OpenFolder &) = delete;
    OpenFolder &operator=(const OpenFolder &) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

// One file as a folder listing saw it.
class File {
public:
    File(FileSystem &fs, QString folder, QString name, QDateTime lastModified, qint64 size,
         std::shared_ptr<const OpenFolder> opened = nullptr, bool holeFree = false,
         bool ours = true);

    const QString &Name() const { return m_name; }
    // Put together when asked: the folder is shared by all of its files, so that a folder of
    // 70,000 logs does not hold 70,000 copies of its own path.
    QString Path() const;
    const QDateTime &DateLastModified() const { return m_lastModified; }
    // As the folder was read: a hint for planning the work, never trusted for what is read.
    qint64 Size() const { return m_size; }
    // Its blocks covered its size as the folder was read: a hole below that size later means it
    // was cut to nothing and written again past its old end since. False where not known.
    bool HoleFree() const { return m_holeFree; }
    // This account's, with no other name, as the folder was read; true where the layer cannot
    // tell owners (a share). A folder others write in may hold what is named like ours.
    bool Ours() const { return m_ours; }
    // Removed from the folder the listing opened (see FileSystem::DeleteListedFile).
    void Delete(bool force, bool ownOnly = false) const;
    // The folder the listing read, held open; null when the layer lists by path only.
    const std::shared_ptr<const OpenFolder> &openFolder() const { return m_opened; }

private:
    FileSystem *m_fs;
    QString m_folder;
    QString m_name;
    QDateTime m_lastModified;
    qint64 m_size;
    bool m_holeFree;
    bool m_ours;
    std::shared_ptr<const OpenFolder> m_opened;
};

// The files directly in a folder (no subfolders, nothing but regular files), as they were when the
// folder was opened.
class FileCollection {
public:
    explicit FileCollection(std::vector<File> files)
        : m_files(std::move(files))
    {
    }
    qsizetype Count() const { return qsizetype(m_files.size()); }
    auto begin() const { return m_files.begin(); }
    auto end() const { return m_files.end(); }

private:
    std::vector<File> m_files;
};

struct Folder {
    QString Path;
    FileCollection Files;
    // The paths of the other entries (links, folders, FIFOs, devices, sockets): never read, but
    // listed so that a caller can say what it passed over.
    std::vector<QString> Skipped;
    // The folder that was opened (none on a share): what IdentifyFolder tells of a path.
    std::optional<FolderIdentity> Identity = std::nullopt;
};

// What a long copy tells as it goes and asks before each block; either may be empty. Called on the
// copying thread, between blocks.
struct CopyWatch {
    std::function<void(qint64 copied, qint64 total)> progress;
    // True: the copy stops, removes what it wrote and fails with ECANCELED.
    std::function<bool()> stop;
};

// The one file-system layer of the program. Every failure throws FileSystemError. The operations
// are virtual so that a test can wrap the real layer and make one of them fail.
//
// This class works on local paths. makeFileSystem() gives the platform's whole layer, which also
// takes the paths of Windows shares (\\server\share\folder, //server/share/folder,
// smb://server[:port]/share/folder) and works on them over the network: callers pass either kind
// and never need to know which they hold.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual bool FolderExists(const QString &path);
    virtual bool FileExists(const QString &path);
    // The folder the path leads to now (a link followed); none where no folder is there, or for a
    // folder on a share, which this computer cannot tell apart.
    virtual std::optional<FolderIdentity> IdentifyFolder(const QString &path);
    // Owner-only, whatever the umask: the program makes no folder but its own working folders.
    virtual void CreateFolder(const QString &path);
    // The folder is opened once, as its path names it; its files are then found through the
    // open folder (see openRegularFile(const File &)). `listed`, when given, hears now and then how
    // many entries were looked at so far: a folder of many files takes a while.
    virtual Folder GetFolder(const QString &path,
                             const std::function<void(qsizetype)> &listed = {});
    virtual QString GetFileName(const QString &path);
    virtual void DeleteFile(const QString &path, bool force);
    // Removes a file of a listing from the folder the listing opened, wherever its path leads by
    // now (a folder swapped for a link meanwhile loses nothing); by its path where the layer lists
    // by path only. `ownOnly`: only a file of this account with no other name, where the file
    // system tells owners (a folder others write in may hold what looks like ours).
    virtual void DeleteListedFile(const File &file, bool force, bool ownOnly);
    // The copy is made without following a link at the destination and gets deliveredMode,
    // whatever the umask.
    virtual void CopyFile(const QString &source, const QString &destination, bool overwrite,
                          const CopyWatch &watch = {});
    // Renames a file once it is on the disk; never replaces one that is at the destination
    // (fails with EEXIST).
    virtual void MoveFile(const QString &source, const QString &destination);
    virtual qint64 FileSize(const QString &path);
    // The size of a file of a listing as it is now, found in the folder the listing opened (a link
    // followed, as FileExists follows it); none when nothing but a folder, or nothing at all, is
    // there. One look in the open folder, not a walk of the whole path.
    virtual std::optional<qint64> ListedFileSize(const File &file);
    // A checksum of the file's content (CRC-32), read in blocks, as checksumText tells it.
    virtual QByteArray FileChecksum(const QString &path);
    // A CRC-32 as FileChecksum tells it on every file system: an archive's and its copy's are
    // compared as told, wherever each lies.
    static QByteArray checksumText(quint32 crc) { return QByteArray::number(crc, 16); }
    // unicode: UTF-16LE with a byte-order mark; otherwise single-byte ISO-8859-1. A symbolic link
    // at the path is refused, never written through. The file is readable by its owner only, as
    // is every file made from the served product's logs (see createPrivateFile).
    virtual std::unique_ptr<TextStream> CreateTextFile(const QString &path, bool overwrite,
                                                       bool unicode);
    // Opens a single-byte text file for reading; only a regular file (see openRegularFile).
    virtual std::unique_ptr<TextStream> OpenTextFile(const QString &path);
    // The same for a file of a listing, read through the folder the listing opened (see
    // openRegularFile(const File &)).
    virtual std::unique_ptr<TextStream> OpenListedTextFile(const File &file);

    // Why the last FolderExists on this thread said no or the last operation on this thread
    // failed, where the layer knows more than its answer says: for a share the server, the share
    // and the server's own reason; for a local path (the platform's layer, see makeFileSystem) what
    // is there instead of a folder, or why it cannot be looked at. Empty where "not there" says
    // all.
    virtual QString lastProblem() { return QString(); }

    // From now on no operation waits past `deadline` for a server that does not answer: the
    // process is ending. Local files have no server to wait for.
    virtual void endWaitsBy(std::chrono::steady_clock::time_point) {}

protected:
    // Why no folder is at a local path, for lastProblem(): empty when nothing is there.
    static QString localFolderProblem(const QString &path);
};

// What a layer is for: one that only looks at folders (the window's check of a typed folder)
// makes no copy to a share, and starts nothing ahead for one.
enum class LayerUse { Runs, LooksOnly };

// The platform's file-system layer: local paths and shares alike.
std::unique_ptr<FileSystem> makeFileSystem(LayerUse use = LayerUse::Runs);

// The path with "/" between its names: a share path typed with backslashes (\\server\share\dir)
// comes back as //server/share/dir, every other path as it is. What a caller joins names to and
// splits them at.
QString slashedPath(const QString &path);

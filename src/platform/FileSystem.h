#pragma once

#include "platform/FileSystemError.h"
#include "platform/TextStream.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class FileSystem;

// One file as a folder listing saw it.
class File {
public:
    File(FileSystem &fs, QString folder, QString name, QDateTime lastModified, qint64 size);

    const QString &Name() const { return m_name; }
    // Put together when asked: the folder is shared by all of its files, so that a folder of
    // 70,000 logs does not hold 70,000 copies of its own path.
    QString Path() const;
    const QDateTime &DateLastModified() const { return m_lastModified; }
    // As the folder was read: a hint for planning the work, never trusted for what is read.
    qint64 Size() const { return m_size; }
    void Delete(bool force);

private:
    FileSystem *m_fs;
    QString m_folder;
    QString m_name;
    QDateTime m_lastModified;
    qint64 m_size;
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
    virtual void CreateFolder(const QString &path);
    virtual Folder GetFolder(const QString &path);
    virtual QString GetFileName(const QString &path);
    virtual void DeleteFile(const QString &path, bool force);
    virtual void CopyFile(const QString &source, const QString &destination, bool overwrite,
                          const CopyWatch &watch = {});
    // Renames a file; never replaces one that is at the destination (fails with EEXIST).
    virtual void MoveFile(const QString &source, const QString &destination);
    virtual qint64 FileSize(const QString &path);
    // A checksum of the file's content (CRC-32), read in blocks.
    virtual QByteArray FileChecksum(const QString &path);
    // unicode: UTF-16LE with a byte-order mark; otherwise single-byte ISO-8859-1. A symbolic link
    // at the path is refused, never written through. The file is readable by its owner only, as
    // is every file made from the served product's logs (see createPrivateFile).
    virtual std::unique_ptr<TextStream> CreateTextFile(const QString &path, bool overwrite,
                                                       bool unicode);
    // Opens a single-byte text file for reading; only a regular file (see openRegularFile).
    virtual std::unique_ptr<TextStream> OpenTextFile(const QString &path);

    // Why the last FolderExists on this thread said no or the last operation on this thread
    // failed, where the layer knows more than its answer says: for a share the server, the share
    // and the server's own reason. Empty for local paths, whose own messages say enough.
    virtual QString lastProblem() { return QString(); }
};

// The platform's file-system layer: local paths and shares alike.
std::unique_ptr<FileSystem> makeFileSystem();

// The path with "/" between its names: a share path typed with backslashes (\\server\share\dir)
// comes back as //server/share/dir, every other path as it is. What a caller joins names to and
// splits them at.
QString slashedPath(const QString &path);

// The byte form of a path as the system takes it, and back. Names are bytes: valid UTF-8 decodes
// as text, and every other byte becomes the lone surrogate U+DC00 + byte, which nativePath turns
// back into that byte. So a name that is not UTF-8 still opens, under the bytes it was listed as.
QByteArray nativePath(const QString &path);
QString decodeNativePath(const QByteArray &native);

// Opens a file for reading, but only a regular file reached without a symbolic link as its last
// step: the logging folder is written by another account, and a link, FIFO or device planted
// there must neither be read nor block the run. Throws FileSystemError ("Cannot read ...").
// `status`, when given, receives what the open file is.
int openRegularFile(const QString &path, struct stat *status = nullptr);

// Creates (or truncates) a file readable and writable by its owner only, whatever the umask:
// what the program writes from the served product's logs must not reach accounts that could not
// read the logs. A symbolic link at the path is refused. Throws FileSystemError.
int createPrivateFile(const QString &path, bool overwrite);

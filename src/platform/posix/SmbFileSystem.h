#pragma once

#include "platform/FileSystem.h"

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

class SmbContext;
struct SmbPath;

// The platform's file-system layer: local paths as the base class has them, the paths of Windows
// shares over SMB (libsmbclient), chosen by the form of each path. No mount, no helper program.
//
// On a share the promises are those of a local folder: MoveFile never replaces a file (SMB's
// rename does, so the name is first claimed by creating it exclusively, see MoveFile), a copy can
// be watched and stopped, and every failure names the server, the share and the server's reason.
class SmbFileSystem : public FileSystem {
public:
    SmbFileSystem();
    ~SmbFileSystem() override;

    bool FolderExists(const QString &path) override;
    bool FileExists(const QString &path) override;
    void CreateFolder(const QString &path) override;
    Folder GetFolder(const QString &path,
                     const std::function<void(qsizetype)> &listed = {}) override;
    QString GetFileName(const QString &path) override;
    void DeleteFile(const QString &path, bool force) override;
    void CopyFile(const QString &source, const QString &destination, bool overwrite,
                  const CopyWatch &watch = {}) override;
    void MoveFile(const QString &source, const QString &destination) override;
    qint64 FileSize(const QString &path) override;
    QByteArray FileChecksum(const QString &path) override;
    // On a share the file is made (empty, or with its byte-order mark) and the stream given back
    // takes no text: only the write probe makes text files there, and it writes none. A write to
    // it fails, never vanishes.
    std::unique_ptr<TextStream> CreateTextFile(const QString &path, bool overwrite,
                                               bool unicode) override;
    // A text file on a share is read through a private local copy.
    std::unique_ptr<TextStream> OpenTextFile(const QString &path) override;
    QString lastProblem() override;

    // A file as it stands: device, inode, size, modification and change times.
    using Identity = std::array<qint64, 7>;

private:
    SmbContext &context();
    std::optional<Identity> identity(const QString &path);
    // The checksum of a file a copy just read, for as long as the file stays the same.
    void remember(const QString &path, unsigned long crc);

    std::once_flag m_made;
    std::unique_ptr<SmbContext> m_context;
    std::mutex m_checksumsLock;
    std::map<QString, std::pair<Identity, QByteArray>> m_checksums;
};

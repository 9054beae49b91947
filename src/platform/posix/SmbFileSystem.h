#pragma once

#include "platform/FileSystem.h"
#include "platform/posix/SmbWorker.h"

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

class SmbReadBack;

// The platform's file-system layer: local paths as the base class has them, the paths of Windows
// shares over SMB (libsmbclient), chosen by the form of each path. No mount, no program of anyone
// else's.
//
// On a share the promises are those of a local folder: MoveFile never replaces a file (SMB's
// rename does, so the name is first claimed by creating it exclusively, see MoveFile), a copy can
// be watched and stopped, and every failure names the server, the share and the server's reason.
// Every call to the server is made on the layer's share thread (SmbWorker): no caller waits on a
// server that stopped answering for longer than the time limit, nor past endWaitsBy.
class SmbFileSystem : public FileSystem {
public:
    explicit SmbFileSystem(LayerUse use = LayerUse::Runs);
    ~SmbFileSystem() override;

    bool FolderExists(const QString &path) override;
    std::optional<FolderIdentity> IdentifyFolder(const QString &path) override;
    bool FileExists(const QString &path) override;
    void CreateFolder(const QString &path) override;
    // Links, as far as the server lets them be seen, are listed with the folders (SmbListing.h).
    Folder GetFolder(const QString &path,
                     const std::function<void(qsizetype)> &listed = {}) override;
    QString GetFileName(const QString &path) override;
    // Without force, a file the server marks read-only is refused with that reason.
    void DeleteFile(const QString &path, bool force) override;
    // Up to a share, the copy is read back while it is written (SmbReadBack): FileChecksum of the
    // copy then gives what was read back, without reading it again.
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
    void endWaitsBy(std::chrono::steady_clock::time_point deadline) override;

    // A file as it stands: device, inode, size, modification and change times.
    using Identity = std::array<qint64, 7>;

private:
    // Runs `job` on the share thread for an operation `action` on `path` (at `place`); its
    // failure becomes a FileSystemError naming `path`, its reason what lastProblem() says.
    template <typename Job>
    auto onShare(const SmbPath &place, const QString &path, const QString &action, Job job,
                 const SmbWorker::Watch &watch = {})
    {
        try {
            return worker().run(place, std::move(job), watch);
        } catch (const SmbFailure &failure) {
            failed(path, action, failure);
        }
    }
    [[noreturn]] static void failed(const QString &path, const QString &action,
                                    const SmbFailure &failure);
    SmbWorker &worker();
    // Whether a folder, or a file, is at the share path; why not in lastProblem().
    bool found(const QString &path, bool folder);

    std::optional<Identity> identity(const QString &path);
    // The checksum of a file a copy just read or read back, for as long as the file stays the same.
    void remember(const QString &path, const std::optional<Identity> &now, quint32 crc);
    void copyDown(const QString &source, const QString &destination, bool overwrite,
                  const CopyWatch &watch);
    void copyUp(const QString &source, const QString &destination, bool overwrite,
                const CopyWatch &watch);
    // A copy of ours writing `url` is told to stop and take its file with it; true when one was.
    bool stopWriting(const QByteArray &url);

    const bool m_readerAhead;
    std::once_flag m_made;
    std::unique_ptr<SmbWorker> m_worker;
    std::mutex m_lock;
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
    std::map<QString, std::pair<Identity, QByteArray>> m_checksums;
    std::map<QByteArray, std::shared_ptr<std::atomic<bool>>> m_writing;
    // The read-back helper started with the share thread, until a copy up takes it.
    std::unique_ptr<SmbReadBack> m_reader;
};

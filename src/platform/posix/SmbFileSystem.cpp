#include "platform/posix/SmbFileSystem.h"

#include "platform/posix/SmbListing.h"
#include "platform/posix/SmbReadBack.h"
#include "platform/posix/SmbShareFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Why the last query on this thread said no, for lastProblem().
thread_local QString t_problem;

// Whether a path is a share's; what the last query of this thread said is forgotten either way.
bool onSharePath(const QString &path)
{
    t_problem.clear();
    return SmbPath::isShare(path);
}

// A failure of a query that answers no instead of throwing: its reason is kept.
template <typename Query> bool answer(Query query)
{
    try {
        return query();
    } catch (const FileSystemError &failure) {
        if (t_problem.isEmpty())
            t_problem = failure.description();
        return false;
    }
}

// An answer from the share thread: yes or no, and why not.
struct Found {
    bool yes = false;
    QString why;
};

// Stat that tells "not there" (false, with the reason in `why`) from a failure (thrown).
bool statOf(SmbContext &smb, const SmbPath &place, const QString &action, struct stat &st,
            QString &why)
{
    SMBCCTX *ctx = smb.ready(place);
    if (smbc_getFunctionStat(ctx)(ctx, place.url().constData(), &st) == 0)
        return true;
    if (errno != ENOENT && errno != ENOTDIR)
        smb.fail(action, errno, place);
    why = smb.reason(errno, place);
    return false;
}

QDateTime fromTimespec(const timespec &ts)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

} // namespace

std::unique_ptr<FileSystem> makeFileSystem(LayerUse use)
{
    return std::make_unique<SmbFileSystem>(use);
}

QString slashedPath(const QString &path)
{
    if (!path.startsWith(QLatin1StringView("\\\\")))
        return path;
    QString slashed = path;
    return slashed.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

SmbFileSystem::SmbFileSystem(LayerUse use)
    : m_readerAhead(use == LayerUse::Runs)
{
}

SmbFileSystem::~SmbFileSystem() = default;

SmbWorker &SmbFileSystem::worker()
{
    // Made on first use: a run that never touches a share never starts the library. The helper
    // that reads back the first copy up starts first, to load the library while this process
    // does: started with the copy, it would hold the copy's end back by that long. It is started
    // on the share thread, which lives as long as this layer: a helper ends with its thread.
    std::call_once(m_made, [this] {
        {
            auto worker = std::make_unique<SmbWorker>();
            const std::lock_guard guard(m_lock);
            if (m_deadline)
                worker->endWaitsBy(*m_deadline);
            m_worker = std::move(worker);
        }
        std::unique_ptr<SmbReadBack> reader;
        try {
            if (m_readerAhead)
                reader = m_worker->run(SmbPath(), [](SmbContext &, SmbBeat &) {
                    return std::make_unique<SmbReadBack>();
                });
        } catch (const SmbFailure &) {
            // The process is ending: no copy is to come.
        }
        const std::lock_guard guard(m_lock);
        m_reader = std::move(reader);
    });
    return *m_worker;
}

void SmbFileSystem::failed(const QString &path, const QString &action, const SmbFailure &failure)
{
    t_problem = failure.reason;
    throw FileSystemError(failure.error, failure.action.isEmpty() ? action : failure.action, path,
                          failure.reason);
}

void SmbFileSystem::endWaitsBy(std::chrono::steady_clock::time_point deadline)
{
    SmbWorker *made = nullptr;
    {
        const std::lock_guard guard(m_lock);
        m_deadline = m_deadline ? std::min(*m_deadline, deadline) : deadline;
        made = m_worker.get();
    }
    // Without a share touched there is nothing to wait for; a share thread made later takes the
    // deadline with it.
    if (made)
        made->endWaitsBy(deadline);
}

QString SmbFileSystem::lastProblem()
{
    return t_problem;
}

bool SmbFileSystem::FolderExists(const QString &path)
{
    if (onSharePath(path))
        return found(path, true);
    if (FileSystem::FolderExists(path))
        return true;
    t_problem = localFolderProblem(path);
    return false;
}

std::optional<FolderIdentity> SmbFileSystem::IdentifyFolder(const QString &path)
{
    return onSharePath(path) ? std::nullopt : FileSystem::IdentifyFolder(path);
}

bool SmbFileSystem::FileExists(const QString &path)
{
    return onSharePath(path) ? found(path, false) : FileSystem::FileExists(path);
}

bool SmbFileSystem::found(const QString &path, bool folder)
{
    return answer([&] {
        const SmbPath place = SmbPath::parse(path);
        const QString action =
            folder ? QStringLiteral("Cannot reach folder") : QStringLiteral("Cannot reach file");
        const Found found =
            onShare(place, path, action, [place, action, folder](SmbContext &smb, SmbBeat &) {
                struct stat st;
                Found found;
                if (!statOf(smb, place, action, st, found.why))
                    return found;
                found.yes = S_ISDIR(st.st_mode) == folder;
                if (!found.yes && folder)
                    found.why = place.where() + QStringLiteral(": it is a file, not a folder");
                return found;
            });
        t_problem = found.why;
        return found.yes;
    });
}

void SmbFileSystem::CreateFolder(const QString &path)
{
    if (!onSharePath(path))
        return FileSystem::CreateFolder(path);
    const SmbPath place = SmbPath::parse(path);
    const QString action = QStringLiteral("Cannot create folder");
    onShare(place, path, action, [place, action](SmbContext &smb, SmbBeat &) {
        SMBCCTX *ctx = smb.ready(place);
        if (smbc_getFunctionMkdir(ctx)(ctx, place.url().constData(), 0755) != 0)
            smb.fail(action, errno, place);
    });
}

Folder SmbFileSystem::GetFolder(const QString &path, const std::function<void(qsizetype)> &listed)
{
    if (!onSharePath(path))
        return FileSystem::GetFolder(path, listed);
    const SmbPath place = SmbPath::parse(path);
    const QString action = QStringLiteral("Cannot open folder");
    const SmbListing listing =
        sortEntries(onShare(place, path, action, [place, action](SmbContext &smb, SmbBeat &) {
            SMBCCTX *ctx = smb.ready(place);
            SMBCFILE *dir = smbc_getFunctionOpendir(ctx)(ctx, place.url().constData());
            if (!dir)
                smb.fail(action, errno, place);
            std::vector<SmbEntry> entries;
            struct stat st;
            while (const libsmb_file_info *entry =
                       smbc_getFunctionReaddirPlus2(ctx)(ctx, dir, &st)) {
                const QString name = QString::fromUtf8(entry->name);
                if (name == QLatin1StringView(".") || name == QLatin1StringView(".."))
                    continue;
                entries.push_back({name, qint64(entry->size), fromTimespec(entry->mtime_ts),
                                   !S_ISREG(st.st_mode), entry->attrs, quint64(st.st_ino)});
            }
            smbc_getFunctionClosedir(ctx)(ctx, dir);
            return entries;
        }));
    const QString folder = slashedPath(path);
    const QString separator = folder.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/");
    std::vector<File> files;
    for (const SmbEntry &entry : listing.files)
        files.emplace_back(*this, path, entry.name, entry.modified, entry.size);
    std::vector<QString> skipped;
    for (const QString &name : listing.others)
        skipped.push_back(folder + separator + name);
    return Folder{path, FileCollection(std::move(files)), std::move(skipped)};
}

QString SmbFileSystem::GetFileName(const QString &path)
{
    if (!onSharePath(path))
        return FileSystem::GetFileName(path);
    return SmbPath::parse(path).fileName();
}

bool SmbFileSystem::stopWriting(const QByteArray &url)
{
    {
        const std::lock_guard guard(m_lock);
        const auto writing = m_writing.find(url);
        if (writing == m_writing.end())
            return false;
        writing->second->store(true);
    }
    worker().nudge();
    return true;
}

void SmbFileSystem::DeleteFile(const QString &path, bool force)
{
    if (!onSharePath(path))
        return FileSystem::DeleteFile(path, force);
    const SmbPath place = SmbPath::parse(path);
    // A copy of ours still writing it (a run stopped midway): the server removes no file that is
    // open, so the copy is asked to stop and take it with it, before this runs.
    const bool ours = stopWriting(place.url());
    const QString action = QStringLiteral("Cannot delete file");
    onShare(place, path, action, [place, action, force, ours](SmbContext &smb, SmbBeat &) {
        SMBCCTX *ctx = smb.ready(place);
        const QByteArray url = place.url();
        struct stat st;
        if (smbc_getFunctionStat(ctx)(ctx, url.constData(), &st) != 0) {
            if (ours && errno == ENOENT)
                return;
            smb.fail(action, errno, place);
        }
        if (S_ISDIR(st.st_mode))
            smb.fail(action, EISDIR, place);
        // The server refuses to remove a file it marks read-only (and says only "cannot
        // delete"). Without force that is the answer; force clears the mark first.
        if ((st.st_mode & S_IWUSR) == 0) {
            if (!force)
                throw SmbFailure{EACCES, QString(),
                                 place.where() + QStringLiteral(": the server marks the file "
                                                                "read-only")};
            if (smbc_getFunctionChmod(ctx)(ctx, url.constData(), 0644) != 0)
                smb.fail(action, errno, place);
        }
        if (smbc_getFunctionUnlink(ctx)(ctx, url.constData()) != 0) {
            // Still open by our own copy, asked above to stop: it removes the file as it ends.
            if (ours && errno == EBUSY)
                return;
            smb.fail(action, errno, place);
        }
    });
}

void SmbFileSystem::MoveFile(const QString &source, const QString &destination)
{
    const bool fromShare = SmbPath::isShare(source);
    const bool toShare = SmbPath::isShare(destination);
    t_problem.clear();
    if (!fromShare && !toShare)
        return FileSystem::MoveFile(source, destination);
    const QString action = QStringLiteral("Cannot move file to");
    const SmbPath to = SmbPath::parse(destination);
    const SmbPath from = fromShare ? SmbPath::parse(source) : SmbPath();
    if (!fromShare || !toShare || from.server.compare(to.server, Qt::CaseInsensitive) ||
        from.share.compare(to.share, Qt::CaseInsensitive))
        failed(destination, action,
               {EXDEV, QString(),
                to.where() + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(EXDEV))});
    onShare(to, destination, action, [from, to, action](SmbContext &smb, SmbBeat &) {
        SMBCCTX *ctx = smb.ready(to);
        const QByteArray fromUrl = from.url();
        const QByteArray toUrl = to.url();
        // SMB's rename, as libsmbclient offers it, replaces a file that is at the new name (it
        // deletes it and tries again). So the name is claimed first by creating it exclusively,
        // which the server does atomically: a file that got there before us makes this fail, and
        // one that comes later finds ours. The rename then replaces our empty claim, unless
        // another client deletes or overwrites it in the two requests between its closing and
        // the rename: no call of the library renames without replacing, so that stays open.
        struct stat before;
        if (smbc_getFunctionStat(ctx)(ctx, fromUrl.constData(), &before) != 0)
            smb.fail(action, errno, to);
        SMBCFILE *claim = smbc_getFunctionOpen(ctx)(ctx, toUrl.constData(),
                                                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (!claim)
            smb.failToMake(action, errno, to);
        struct stat claimed;
        const bool known = smbc_getFunctionStat(ctx)(ctx, toUrl.constData(), &claimed) == 0;
        smbc_getFunctionClose(ctx)(ctx, claim);
        if (smbc_getFunctionRename(ctx)(ctx, fromUrl.constData(), ctx, toUrl.constData()) != 0) {
            const int error = errno;
            // Our claim goes again, but only while it is still ours and empty.
            struct stat now;
            const bool there = smbc_getFunctionStat(ctx)(ctx, toUrl.constData(), &now) == 0;
            const bool ours = known && there && now.st_ino == claimed.st_ino && now.st_size == 0;
            if (ours)
                smbc_getFunctionUnlink(ctx)(ctx, toUrl.constData());
            // The library hears "name taken" where the server will not replace our own claim: a
            // folder the account may write in but not list is one such.
            if (error == EEXIST && (ours || !there))
                throw SmbFailure{EPERM, action,
                                 to.where() + QStringLiteral(": the server would not give the "
                                                             "copy that name, though it let the "
                                                             "name be claimed (may the account "
                                                             "list, rename and delete in that "
                                                             "folder?)")};
            smb.fail(action, error, to);
        }
        // What now has the name must be the file that was moved, not one that replaced our claim.
        struct stat after;
        if (smbc_getFunctionStat(ctx)(ctx, toUrl.constData(), &after) != 0)
            smb.fail(action, errno, to);
        // Not "name taken": the name was ours when the rename went through (as locally).
        if (after.st_ino != before.st_ino || after.st_size != before.st_size)
            throw SmbFailure{EBUSY, action,
                             to.where() + QStringLiteral(": not the file written: another hand put "
                                                         "another in its place meanwhile, and the "
                                                         "name holds that")};
    });
}

qint64 SmbFileSystem::FileSize(const QString &path)
{
    if (!onSharePath(path))
        return FileSystem::FileSize(path);
    const SmbPath place = SmbPath::parse(path);
    const QString action = QStringLiteral("Cannot read the size of");
    return onShare(place, path, action, [place, action](SmbContext &smb, SmbBeat &) {
        SMBCCTX *ctx = smb.ready(place);
        struct stat st;
        if (smbc_getFunctionStat(ctx)(ctx, place.url().constData(), &st) != 0)
            smb.fail(action, errno, place);
        return qint64(st.st_size);
    });
}

std::unique_ptr<TextStream> SmbFileSystem::CreateTextFile(const QString &path, bool overwrite,
                                                          bool unicode)
{
    if (!onSharePath(path))
        return FileSystem::CreateTextFile(path, overwrite, unicode);
    const SmbPath place = SmbPath::parse(path);
    onShare(place, path, QStringLiteral("Cannot create file"),
            [place, overwrite, unicode](SmbContext &smb, SmbBeat &) {
                SmbShareFile file(smb, place, O_WRONLY | O_CREAT | (overwrite ? O_TRUNC : O_EXCL));
                if (unicode)
                    file.write("\xFF\xFE", 2);
                file.close();
            });
    return std::make_unique<TextStream>(
        -1, path, unicode ? TextStream::Encoding::Utf16LE : TextStream::Encoding::SingleByte);
}

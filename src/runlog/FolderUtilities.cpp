#include "runlog/FolderUtilities.h"

#include "common/Failure.h"
#include "platform/FileSystem.h"
#include "runlog/LineCleaner.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <unistd.h>

namespace {
QString resolved(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}
} // namespace

QString withSeparator(const QString &folder)
{
    // A share typed with backslashes (\\server\share) gets one of its own kind.
    const QChar separator =
        folder.startsWith(QLatin1StringView("\\\\")) ? QLatin1Char('\\') : QLatin1Char('/');
    return folder.endsWith(QLatin1Char('/')) || folder.endsWith(separator) ? folder
                                                                           : folder + separator;
}

bool IsWorkingFolder(const QString &programFolder, const QString &folder)
{
    const QString target = resolved(folder);
    // The same folder under a path of its own (a bind mount) is told by what it is.
    FileSystem local;
    const std::optional<FolderIdentity> identity = local.IdentifyFolder(folder);
    for (const char *name : workingFolderNames) {
        const QString working = resolved(programFolder + QLatin1Char('/') + QLatin1String(name));
        if (target == working || target.startsWith(working + QLatin1Char('/')) ||
            (identity && identity == local.IdentifyFolder(working)))
            return true;
    }
    return false;
}

QString workingFolderRefusal()
{
    return QStringLiteral("The archive folder cannot be one of this program's own working folders "
                          "(logs, ZIPS or TempDiags) or a folder inside them: every run empties "
                          "them. Please select another folder.");
}

bool TestWriteAccess(FileSystem &fs, const QString &folder, QString *why)
{
    // Named without a doubled separator: the name may end up in a message.
    QString base = folder;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    QString probe = base + QStringLiteral("/temp.test.txt");
    bool created = false;
    QString failed;
    const auto create = [&] {
        bool made = false;
        trap(
            [&] {
                const std::unique_ptr<TextStream> stream = fs.CreateTextFile(probe, false, false);
                // Made exclusively: ours from here, and removed again whatever fails after.
                made = true;
                stream->Close();
                created = true;
            },
            [&](const Failure &failure) {
                failed = fs.lastProblem().isEmpty() ? failure.description() : fs.lastProblem();
            });
        if (made)
            trapSilently([&] { fs.DeleteFile(probe, true); });
    };
    create();
    // Something is there already. What holds nothing (an empty file: a probe an earlier run could
    // not remove; or a link to one, itself) goes, so that probes do not pile up. Anything with
    // content may be anyone's: it stays as it is, and a name of this process's own proves what
    // is asked.
    if (!created) {
        trapSilently([&] {
            if (fs.FileExists(probe) && fs.FileSize(probe) == 0) {
                // Not forced: one made read-only is somebody's to keep.
                fs.DeleteFile(probe, false);
                create();
            }
        });
    }
    if (!created) {
        probe = base + QStringLiteral("/temp.test.%1.txt").arg(QCoreApplication::applicationPid());
        create();
    }
    if (!created && why)
        *why = failed;
    return created;
}

void CreateOrEmptyFolder(FileSystem &fs, const QString &folder)
{
    if (folder.isEmpty())
        return;
    if (fs.FolderExists(folder)) {
        // What the program puts there comes from the served product's logs: a folder that is
        // not this account's alone is not used, and not emptied either.
        keepFolderPrivate(folder);
        trapSilently([&] {
            const Folder listed = fs.GetFolder(folder);
            for (const File &file : listed.Files)
                trapSilently([&] { file.Delete(true); });
            // A link, FIFO, socket or device planted there goes too, itself, never what it
            // points to; DeleteFile leaves folders.
            for (const QString &other : listed.Skipped)
                trapSilently([&] { fs.DeleteFile(other, true); });
        });
    } else {
        trapSilently([&] { fs.CreateFolder(folder); });
    }
}

QString TrimLeadingControlChars(const QString &text)
{
    QString cleaned;
    LineCleaner().feed(text, [&](QStringView kept) { cleaned += kept; });
    return cleaned;
}

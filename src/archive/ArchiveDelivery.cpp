#include "archive/ArchiveDelivery.h"

#include "app/Run.h"
#include "app/RunHost.h"
#include "archive/ArchiveRetention.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "common/TimeText.h"
#include "platform/ProcessLiveness.h"
#include "runlog/FolderUtilities.h"

#include <QCoreApplication>
#include <QHash>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace {

// The temporary copy's name says which computer and which process writes it, and when that
// process started, so that a later run can tell a copy left by a killed run from one still being
// written.
QString temporaryName(const QString &name)
{
    const qint64 pid = QCoreApplication::applicationPid();
    const QByteArray started = processStarted(pid);
    return QLatin1Char('.') + name +
           QStringLiteral(".partial-%1%2-%3")
               .arg(pid)
               .arg(started.isEmpty() ? QString() : QLatin1Char('-') + QLatin1String(started))
               .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
}

// Removes the temporary copies that earlier runs of this computer left behind when they were
// killed while delivering (a full share stays full otherwise). Copies of other computers on a
// shared folder, and copies whose run still lives, are not ours to touch.
void removeLeftovers(FileSystem &fs, RunLog &log, const QString &folder, const QString &computer)
{
    // Another account's, one with a second name or one the system will not let go: said once.
    QStringList kept;
    const auto removed = [&](const File &file) {
        // Not forced: a copy made read-only is one somebody chose to keep, as an archive.
        if (trapSilently([&] { file.Delete(false, true); }))
            log.WriteLogLine(QStringLiteral("    Removed the copy a killed run left:") +
                             shownPath(file.Path()));
        else
            kept << shownPath(file.Path());
    };
    const QRegularExpression ours(
        QStringLiteral("^\\.(LOG_Archive_") + QRegularExpression::escape(computer) +
        QStringLiteral(R"(_([0-9]{6}_[0-9]{2}_[0-9]{2}_[0-9]{2})\.ZIP)\.partial-([0-9]+))") +
        QStringLiteral(R"((?:-([0-9]+))?-[0-9a-f]{8}\z)"));
    const Folder listed = fs.GetFolder(folder);
    QHash<QString, const File *> byName;
    for (const File &file : listed.Files)
        byName.insert(file.Name(), &file);
    for (const File &file : listed.Files) {
        const auto match = ours.match(file.Name());
        // A stamp no run can have made (a 13th month) is no copy of ours. Older versions wrote no
        // process start into the name.
        if (!match.hasMatch() || !fileTimeStampMoment(match.captured(2)).isValid() ||
            processStillRuns(match.captured(3).toLongLong(), match.captured(4).toLatin1()))
            continue;
        // Only this account's, from the folder listed: others may write there too.
        removed(file);
        // Where the file system has no rename that refuses to replace (a share), the final name
        // is claimed by an empty file just before the verified copy takes it: a run killed
        // between the two left that claim beside its copy. An archive is never empty.
        std::optional<qint64> claimed;
        const File *claim = byName.value(match.captured(1));
        if (claim && trapSilently([&] { claimed = fs.ListedFileSize(*claim); }) && claimed == 0)
            removed(*claim);
    }
    warnNaming(log, kept,
               QStringLiteral("%1 of the copies killed runs left could not be removed (another "
                              "account's, with a second name, read-only or held by the system); "
                              "they are kept"));
}

// The copy under its temporary name, told on the bar in bytes, stopped when the run is.
void copyWatched(Run &run, RunHost &host, const QString &source, const QString &temporary)
{
    CopyWatch watch;
    watch.progress = [&](qint64 copied, qint64 total) {
        host.setProgress(double(copied), double(total), ProgressUnit::CopiedBytes);
    };
    watch.stop = [&] { return run.cancelRequested(); };
    run.fileSystem().CopyFile(source, temporary, false, watch);
}

// The copy holds the archive byte for byte: its size and checksum as the archive folder reads
// them back, against the source's.
void verify(FileSystem &fs, const QString &source, const QString &temporary)
{
    const qint64 expected = fs.FileSize(source);
    const qint64 copied = fs.FileSize(temporary);
    if (copied != expected)
        throw Failure(5, QStringLiteral("the copy at %1 holds %2 of the %3 bytes of %4")
                             .arg(shownPath(temporary), QString::number(copied),
                                  QString::number(expected), shownPath(source)));
    // The copy's first: in a fixed order, which the operands of != would not give.
    const QByteArray copySum = fs.FileChecksum(temporary);
    if (copySum != fs.FileChecksum(source))
        throw Failure(5, QStringLiteral("the copy at %1 differs from %2")
                             .arg(shownPath(temporary), shownPath(source)));
}

// The archive folder is still the folder the run's checks found at its path, where the window
// still names that path: one moved away and replaced meanwhile (by a link to another folder, or
// another folder) is not delivered into. One chosen since is taken as it is now.
void expectFolderChecked(Run &run, const QString &folder)
{
    if (withSeparator(folder) != run.ArchiveFolderChecked) {
        // Chosen in the window during the run: not one of the program's own folders either,
        // which the next run empties.
        if (IsWorkingFolder(run.programFolder(), folder))
            throw Failure(5, workingFolderRefusal());
        return;
    }
    if (!run.ArchiveFolderFound)
        return;
    if (run.fileSystem().IdentifyFolder(folder) != run.ArchiveFolderFound)
        throw Failure(5, QStringLiteral("the archive folder %1 is no longer the folder the run "
                                        "checked at its start: it was moved, replaced or made a "
                                        "link meanwhile")
                             .arg(shownPath(folder)));
}

// Copies under a temporary name in the archive folder, makes sure the copy is the archive byte
// for byte, and only then gives it its name, never over a file that appeared meanwhile. Whatever
// fails before that, nothing is left under either name; a folder that cannot be flushed after it
// leaves the whole archive under its name, and the run says so.
void discard(FileSystem &fs, const QString &temporary)
{
    trapSilently([&] {
        if (fs.FileExists(temporary))
            fs.DeleteFile(temporary, true);
    });
}

// False where the name was taken since it was checked (another run's archive, a file or a link
// put there meanwhile): nothing is moved and the copy goes.
bool deliver(Run &run, RunHost &host, const QString &folder, const QString &name,
             const QString &temporary)
{
    FileSystem &fs = run.fileSystem();
    bool moving = false;
    try {
        expectFolderChecked(run, folder);
        copyWatched(run, host, run.ZipFilePath, temporary);
        verify(fs, run.ZipFilePath, temporary);
        // Asked to stop while it copied: the archive is not delivered after all.
        stopIfCancelled(run);
        expectFolderChecked(run, folder);
        moving = true;
        fs.MoveFile(temporary, folder + name);
        return true;
    } catch (const FileSystemError &error) {
        discard(fs, temporary);
        if (moving && error.number() == EEXIST)
            return false;
        throw;
    } catch (...) {
        discard(fs, temporary);
        throw;
    }
}

// The folder as it stands in the window; a folder restored from a hand-written setting may lack
// its trailing separator.
QString targetFolder(const RunHost &host)
{
    const QString folder = host.archiveFolderText();
    if (folder.isEmpty())
        throw Failure(76, QStringLiteral("no archive folder is given"));
    return withSeparator(folder);
}

} // namespace

void CopyArchiveToTargetFolder(Run &run, RunHost &host)
{
    RunLog &log = run.runLog();
    FileSystem &fs = run.fileSystem();
    const auto report = logFailureIn(log, "CopyArchiveToTargetFolder");
    stopIfCancelled(run);
    // Where the archive was not made the run has said why; a move of nothing would only add a
    // second, untrue reason. A run never ends well without its archive.
    if (!run.ArchiveMade) {
        if (log.ErrorCount() == 0)
            log.WriteLogLine(QStringLiteral("(error) no archive was made - none is delivered."));
        return;
    }

    QString target;
    trap([&] { target = targetFolder(host) + fs.GetFileName(run.ZipFilePath); }, report);
    trap(
        [&] {
            log.WriteLogLine(QStringLiteral("    Moving ZIP file archive from :") +
                             shownPath(run.ZipFilePath) + QStringLiteral(" to destination:") +
                             shownPath(target));
        },
        report);
    bool exists = false;
    const auto taken = [&] {
        log.WriteLogLine(QStringLiteral(
            "(error) a file already exists in the target folder for that file name."));
    };
    trap([&] { exists = fs.FileExists(target); }, report);
    if (exists)
        return taken();
    trap(
        [&] {
            // Read afresh: the folder may have been changed while the archive was built. Names
            // are joined with "/" whatever separator the folder was typed with.
            const QString folder = slashedPath(targetFolder(host));
            trapSilently([&] {
                removeLeftovers(fs, run.runLog(), folder, run.WorkStation().ComputerName());
            });
            const QString name = fs.GetFileName(run.ZipFilePath);
            // A run cut short while it copies takes its copy with it.
            const QString temporary = folder + temporaryName(name);
            run.addRunTemporaries(temporary);
            if (!deliver(run, host, folder, name, temporary))
                return taken();
            run.DeliveredArchive = folder + name;
            run.DeliveredBytes = fs.FileSize(run.DeliveredArchive);
            host.archiveDelivered(run.DeliveredArchive, run.DeliveredBytes, run.ArchiveEntries);
            log.WriteLogLine(QStringLiteral("    File copied"));
        },
        report);
    // Old archives go only once this one is safely there.
    RemoveOldArchives(run);
}

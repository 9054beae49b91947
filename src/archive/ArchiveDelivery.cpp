#include "archive/ArchiveDelivery.h"

#include "app/Program.h"
#include "app/RunHost.h"
#include "archive/ArchiveRetention.h"
#include "common/Failure.h"
#include "platform/ProcessLiveness.h"
#include "runlog/FolderUtilities.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace {

// The temporary copy's name says which computer and which process writes it, so that a later
// run can tell a copy left by a killed run from one still being written.
QString temporaryName(const QString &name)
{
    return QLatin1Char('.') + name +
           QStringLiteral(".partial-%1-%2")
               .arg(QCoreApplication::applicationPid())
               .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
}

// Removes the temporary copies that earlier runs of this computer left behind when they were
// killed while delivering (a full share stays full otherwise). Copies of other computers on a
// shared folder, and copies whose process still lives, are not ours to touch.
void removeLeftovers(FileSystem &fs, const QString &folder, const QString &computer)
{
    const QRegularExpression ours(
        QStringLiteral("^\\.LOG_Archive_") + QRegularExpression::escape(computer) +
        QStringLiteral(R"(_\d{6}_\d\d_\d\d_\d\d\.ZIP\.partial-(\d+)-[0-9a-f]{8}$)"));
    for (const File &file : fs.GetFolder(folder).Files) {
        const auto match = ours.match(file.Name());
        if (match.hasMatch() && !processExists(match.captured(1).toLongLong()))
            trapSilently([&] { fs.DeleteFile(file.Path(), true); });
    }
}

// Copies under a temporary name in the archive folder, makes sure the copy is the archive byte
// for byte, and only then gives it its name, never over a file that appeared meanwhile. Whatever
// fails, nothing is left under either name.
void deliver(FileSystem &fs, const QString &source, const QString &folder, const QString &name,
             const QString &temporary)
{
    try {
        fs.CopyFile(source, temporary, false);
        const qint64 expected = fs.FileSize(source);
        const qint64 copied = fs.FileSize(temporary);
        if (copied != expected)
            throw Failure(5, QStringLiteral("the copy at %1 holds %2 of the %3 bytes of %4")
                                 .arg(temporary)
                                 .arg(copied)
                                 .arg(expected)
                                 .arg(source));
        if (fs.FileChecksum(temporary) != fs.FileChecksum(source))
            throw Failure(5,
                          QStringLiteral("the copy at %1 differs from %2").arg(temporary, source));
        fs.MoveFile(temporary, folder + name);
    } catch (...) {
        trapSilently([&] {
            if (fs.FileExists(temporary))
                fs.DeleteFile(temporary, true);
        });
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

void CopyArchiveToTargetFolder(Program &program, RunHost &host)
{
    RunLog &log = program.runLog();
    FileSystem &fs = program.fileSystem();
    const auto report = logFailureIn(log, "CopyArchiveToTargetFolder");

    QString target;
    trap([&] { target = targetFolder(host) + fs.GetFileName(program.ZipFilePath); }, report);
    trap(
        [&] {
            log.WriteLogLine(QStringLiteral("    Moving ZIP file archive from :") +
                             program.ZipFilePath + QStringLiteral(" to destination:") + target);
        },
        report);
    bool exists = false;
    trap([&] { exists = fs.FileExists(target); }, report);
    if (exists) {
        log.WriteLogLine(QStringLiteral(
            "(error) a file already exists in the target folder for that file name."));
        return;
    }
    trap(
        [&] {
            // Read afresh: the folder may have been changed while the archive was built.
            const QString folder = targetFolder(host);
            trapSilently(
                [&] { removeLeftovers(fs, folder, program.WorkStation().ComputerName()); });
            const QString name = fs.GetFileName(program.ZipFilePath);
            // A run cut short while it copies takes its copy with it.
            const QString temporary = folder + temporaryName(name);
            program.addRunTemporaries(temporary);
            whilePumping(host, [&] { deliver(fs, program.ZipFilePath, folder, name, temporary); });
            program.DeliveredArchive = folder + name;
            program.DeliveredBytes = fs.FileSize(program.DeliveredArchive);
            log.WriteLogLine(QStringLiteral("    File copied"));
        },
        report);
    // Old archives go only once this one is safely there.
    RemoveOldArchives(program);
}

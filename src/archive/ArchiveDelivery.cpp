#include "archive/ArchiveDelivery.h"

#include "app/Program.h"
#include "app/RunHost.h"
#include "common/Failure.h"

#include <QRandomGenerator>

namespace {

// Copies under a temporary name in the archive folder, makes sure the copy is the archive byte
// for byte, and only then gives it its name, never over a file that appeared meanwhile. Whatever
// fails, nothing is left under either name.
void deliver(FileSystem &fs, const QString &source, const QString &folder, const QString &name)
{
    const QString temporary =
        folder + QLatin1Char('.') + name +
        QStringLiteral(".partial-%1")
            .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    fs.CopyFile(source, temporary, false);
    try {
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
        trapSilently([&] { fs.DeleteFile(temporary, true); });
        throw;
    }
}

} // namespace

void CopyArchiveToTargetFolder(Program &program, RunHost &host)
{
    RunLog &log = program.runLog();
    FileSystem &fs = program.fileSystem();
    const auto report = logFailureIn(log, "CopyArchiveToTargetFolder");

    QString target;
    trap([&] { target = host.archiveFolderText() + fs.GetFileName(program.ZipFilePath); }, report);
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
            deliver(fs, program.ZipFilePath, host.archiveFolderText(),
                    fs.GetFileName(program.ZipFilePath));
            log.WriteLogLine(QStringLiteral("    File copied"));
        },
        report);
}

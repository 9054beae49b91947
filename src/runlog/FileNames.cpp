#include "runlog/FileNames.h"

#include "common/Failure.h"
#include "common/TimeText.h"
#include "platform/FileSystem.h"
#include "runlog/FolderUtilities.h"
#include "runlog/LogRetention.h"

namespace {
std::function<void(const Failure &)> reportIn(const RunFiles &files, const QString &format)
{
    return [&files, format](const Failure &failure) {
        files.tell(format.arg(QString::number(failure.number()), failure.description()));
    };
}
} // namespace

QString GenerateNewLogFileName(const RunFiles &files)
{
    const auto report = reportIn(
        files,
        QStringLiteral("(error):%1 (%2) in procedure GenerateNewLogFileName of Module Module1"));
    const QString logs = files.programFolder + QStringLiteral("/logs");
    QString name;
    trap(
        [&] {
            name = files.executableName + QStringLiteral("_Log_") + QStringLiteral("_") +
                   fileTimeStamp(files.clock()) + QStringLiteral(".TXT");
        },
        report);
    trap(
        [&] {
            if (!files.fileSystem.FolderExists(logs))
                files.fileSystem.CreateFolder(logs);
        },
        report);
    // A run log in a folder that is not ours alone could be read or swapped by its owner: there
    // is then no place for one, and the run says so where its lines go instead.
    if (!trap([&] { keepFolderPrivate(logs); }, report))
        return QString();
    DeleteOldLogFiles(files.fileSystem, logs, files.clock().date());
    return logs + QLatin1Char('/') + name;
}

QString GenerateBackupDataFileName(const RunFiles &files)
{
    const auto report = reportIn(
        files, QStringLiteral(
                   "Error %1 (%2) in procedure GenerateBackupDataFileName of Module modLogging"));
    const QString zips = files.programFolder + QStringLiteral("/ZIPS");
    // No archive goes into a folder that is not ours alone: without a path, none is made.
    if (!trap([&] { CreateOrEmptyFolder(files.fileSystem, zips); }, report))
        return QString();
    QString stamp;
    trap([&] { stamp = fileTimeStamp(files.clock()); }, report);
    QString computer;
    trap([&] { computer = files.computerName(); }, report);
    return zips + QStringLiteral("/LOG_Archive_") + computer + QLatin1Char('_') + stamp +
           QStringLiteral(".ZIP");
}

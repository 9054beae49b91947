#include "runlog/FileNames.h"

#include "common/Failure.h"
#include "common/TimeText.h"
#include "platform/FileSystem.h"
#include "runlog/FolderUtilities.h"
#include "runlog/LogRetention.h"

#include <QThread>

namespace {
std::function<void(const Failure &)> reportIn(const RunFiles &files, const QString &format)
{
    return [&files, format](const Failure &failure) {
        files.tell(format.arg(QString::number(failure.number()), failure.description()));
    };
}

// Names are to the second. A run started within the second of the one before (a retry at once)
// would take its names: its run log, which a new run replaces, and its archive's, which the
// archive folder holds already. A name that is taken waits for the next second, 1.2 s at most;
// a test's clock is read again without a wait (it moves only when the test moves it).
QString freeStamp(const RunFiles &files, const std::function<QString(const QString &)> &named)
{
    const auto taken = [&](const QString &stamp) {
        bool exists = false;
        trapSilently([&] { exists = files.fileSystem.FileExists(named(stamp)); });
        return exists;
    };
    QString stamp = fileTimeStamp(files.clock());
    const bool systemClock = files.clock.target<SystemClock>() != nullptr;
    for (int tries = 0; taken(stamp) && tries < 60; ++tries) {
        if (systemClock)
            QThread::msleep(20);
        stamp = fileTimeStamp(files.clock());
    }
    return stamp;
}
} // namespace

QString GenerateNewLogFileName(const RunFiles &files)
{
    const auto report = reportIn(
        files,
        QStringLiteral("(error):%1 (%2) in procedure GenerateNewLogFileName of Module Module1"));
    const QString logs = files.programFolder + QStringLiteral("/logs");
    QString name;
    const auto named = [&](const QString &stamp) {
        return files.executableName + QStringLiteral("_Log_") + QStringLiteral("_") + stamp +
               QStringLiteral(".TXT");
    };
    trap(
        [&] {
            name = named(freeStamp(files, [&](const QString &stamp) {
                return logs + QLatin1Char('/') + named(stamp);
            }));
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
    QString computer;
    trap([&] { computer = files.computerName(); }, report);
    const auto named = [&](const QString &stamp) {
        return zips + QStringLiteral("/LOG_Archive_") + computer + QLatin1Char('_') + stamp +
               QStringLiteral(".ZIP");
    };
    // Named before the folder is emptied: the archive the run before left there has the name
    // it delivered.
    QString stamp;
    trap([&] { stamp = freeStamp(files, named); }, report);
    // No archive goes into a folder that is not ours alone: without a path, none is made.
    if (!trap([&] { CreateOrEmptyFolder(files.fileSystem, zips); }, report))
        return QString();
    return named(stamp);
}

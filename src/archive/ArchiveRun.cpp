#include "archive/ArchiveRun.h"

#include "app/Dialogs.h"
#include "app/LoggingFolder.h"
#include "app/Run.h"
#include "app/RunHost.h"
#include "app/RunInProgress.h"
#include "archive/ArchiveDelivery.h"
#include "archive/ArchiveOptionsCheck.h"
#include "archive/LogCollection.h"
#include "archive/obfuscation/RunCleaning.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "runlog/FileNames.h"
#include "runlog/FolderUtilities.h"

#include <functional>
#include <memory>
#include <optional>

namespace {

struct Refusal {
    QString silentLine;
    QString message;
};

Refusal noFolder()
{
    return {QStringLiteral("(error) no folder location defined to store archived log file output.  "
                           "Exiting application"),
            QStringLiteral("You must first provide a location to store archived log file output.")};
}

// Why, after the words of a refusal: what the file-system layer knows (for a share the server,
// the share and the server's own reason; for a local path what stands there) or a probe met.
Refusal withReason(Refusal refusal, const QString &reason)
{
    if (!reason.isEmpty()) {
        refusal.silentLine = ::withReason(refusal.silentLine, reason);
        refusal.message += QStringLiteral("\n\n") + reason;
    }
    return refusal;
}

Refusal missingFolder(const QString &folder)
{
    return {
        QStringLiteral("(error) no archive folder location does not exist:") + shownPath(folder) +
            QStringLiteral(" - exiting application."),
        QStringLiteral("The archive folder location cannot be found - please select a directory "
                       "that can be accessed from this server.")};
}

Refusal unwritableFolder(const QString &folder)
{
    const QString text = QStringLiteral("the archive folder location is visible however creation "
                                        "of new files failed - this usually "
                                        "means the account you are running the Orvel Sorvik with "
                                        "does not have read/write access to "
                                        "that location.  Folder=") +
                         shownPath(folder);
    return {QStringLiteral("(error) ") + text + QStringLiteral(" - exiting application."), text};
}

// A folder the stored setting can still name although the folder selection refuses it.
Refusal workingFolder(const QString &folder)
{
    return {QStringLiteral("(error) the archive folder is one of this program's own working "
                           "folders, which every run empties:") +
                shownPath(folder) + QStringLiteral(" - exiting application."),
            workingFolderRefusal()};
}

// The served product's logging folder may not be one either: the run would delete its logs.
Refusal workingLoggingFolder(const QString &folder)
{
    return {QStringLiteral("(error) the log file path found in registry is one of this program's "
                           "own working folders, which every run empties:") +
                shownPath(folder) + QStringLiteral(" - exiting application."),
            QStringLiteral("The log file path found in registry is one of this program's own "
                           "working folders (logs, ZIPS or TempDiags) or a folder inside them, "
                           "which every run empties: ") +
                shownPath(folder) + QStringLiteral(" - correct the registry value ") +
                loggingFolderKey() + QStringLiteral("\\") + loggingFolderValue() +
                QLatin1Char('.')};
}

} // namespace

RunEnd cmdStart_Click(Run &run, RunHost &host)
{
    RunLog &log = run.runLog();
    const auto report = logFailureIn(log, "cmdStart_Click");

    // Every press leaves a run log, even one that is refused at once.
    trap(
        [&] {
            run.RunLogPath = GenerateNewLogFileName(run.runFiles());
            // Recorded before its log exists: a kill from here on is heard.
            const QString unfinished = recordRunStart(run.now(), run.RunLogPath);
            log.OpenRunLog(run.RunLogPath);
            // A log that cannot be written would send it where it was just said.
            if (!unfinished.isEmpty() && log.complete())
                log.WriteLogLine(unfinished);
            if (!run.RunLogPath.isEmpty())
                host.runLogOpened(run.RunLogPath);
        },
        report);

    // The checks read the folder afresh each time: it may be changed while they run.
    std::optional<RunEnd> refused;
    std::unique_ptr<RunCleaning> cleaning;
    const auto refuse = [&](const Refusal &refusal) {
        if (run.SilentMode) {
            log.WriteLogLine(refusal.silentLine);
            refused = RunEnd{RunEnd::Kind::Ended, QString()};
            return;
        }
        log.CloseRunLog();
        refused = RunEnd{RunEnd::Kind::Refused, refusal.message};
    };
    const std::function<std::optional<Refusal>()> checks[] = {
        [&]() -> std::optional<Refusal> {
            // Left empty by settings that could not be read: that is why, not that none was
            // ever chosen.
            if (host.archiveFolderText().isEmpty())
                return withReason(noFolder(), run.ArchiveFolderUnread);
            return std::nullopt;
        },
        [&]() -> std::optional<Refusal> {
            if (!run.fileSystem().FolderExists(host.archiveFolderText()))
                return withReason(missingFolder(host.archiveFolderText()),
                                  run.fileSystem().lastProblem());
            return std::nullopt;
        },
        [&]() -> std::optional<Refusal> {
            if (QString why; !TestWriteAccess(run.fileSystem(), host.archiveFolderText(), &why))
                return withReason(unwritableFolder(host.archiveFolderText()), why);
            run.ArchiveFolderChecked = withSeparator(host.archiveFolderText());
            run.ArchiveFolderFound = run.fileSystem().IdentifyFolder(run.ArchiveFolderChecked);
            return std::nullopt;
        },
        [&]() -> std::optional<Refusal> {
            if (IsWorkingFolder(run.programFolder(), host.archiveFolderText()))
                return workingFolder(host.archiveFolderText());
            return std::nullopt;
        },
        [&]() -> std::optional<Refusal> {
            // Before anything is emptied; a value that cannot be read is ArchiveFiles' to tell.
            QString logging;
            trapSilently([&] { logging = ReadLoggingFolder(run.registry()); });
            if (!logging.isEmpty() && IsWorkingFolder(run.programFolder(), logging))
                return workingLoggingFolder(logging);
            return std::nullopt;
        },
        // Fails closed: no archive at all rather than one unencrypted.
        [&]() -> std::optional<Refusal> {
            if (const std::optional<QString> why = TakeArchiveOptions(run))
                return Refusal{QStringLiteral("(error) ") + *why +
                                   QStringLiteral(" - exiting application."),
                               why->left(1).toUpper() + why->mid(1) +
                                   QStringLiteral(". No archive is made: see File > Options.")};
            return std::nullopt;
        },
        // Fails closed too: no archive rather than one that is not cleaned.
        [&]() -> std::optional<Refusal> {
            if (!run.Options.Obfuscate)
                return std::nullopt;
            QString why;
            trap(
                [&] {
                    cleaning = std::make_unique<RunCleaning>(run.executableName(), run.Options,
                                                             run.WorkStation(), run.registry());
                },
                [&](const Failure &failure) { why = failure.description(); });
            if (cleaning) {
                log.WriteLogLine(cleaning->startLine());
                return std::nullopt;
            }
            return Refusal{QStringLiteral("(error) the archive cannot be cleaned: ") + why +
                               QStringLiteral(" - exiting application."),
                           QStringLiteral("The archive cannot be cleaned: ") + why +
                               QStringLiteral(". No archive is made: see File > Options.")};
        },
    };
    for (const auto &check : checks) {
        stopIfCancelled(run);
        trap(
            [&] {
                if (const auto refusal = check())
                    refuse(*refusal);
            },
            report);
        if (refused)
            return *refused;
    }

    stopIfCancelled(run);
    trap([&] { host.setRunning(true); }, report);
    ArchiveFiles(run, host, cleaning.get());
    CopyArchiveToTargetFolder(run, host);
    stopIfCancelled(run);
    trap([&] { host.setRunning(false); }, report);

    // The completion question and the end of the program are the window's.
    return {RunEnd::Kind::Completed, QString()};
}

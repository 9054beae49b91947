#include "runlog/FileNames.h"

#include "common/Failure.h"
#include "common/TimeText.h"
#include "runlog/FolderUtilities.h"
#include "runlog/LogRetention.h"
#include "shell/Dialogs.h"
#include "shell/Program.h"

namespace {
// A failing step is told in a box (in an unattended run: to stderr and syslog, without waiting)
// and the function goes on with its next step.
std::function<void(const Failure &)> reportIn(Program &program, const QString &format)
{
    return [&program, format](const Failure &failure) {
        program.dialogs().messageBox(
            format.arg(QString::number(failure.number()), failure.description()));
    };
}
} // namespace

QString GenerateNewLogFileName(Program &program)
{
    const auto report = reportIn(
        program,
        QStringLiteral("(error):%1 (%2) in procedure GenerateNewLogFileName of Module Module1"));
    const QString logs = program.programFolder() + QStringLiteral("/logs");
    QString name;
    trap(
        [&] {
            name = program.executableName() + QStringLiteral("_Log_") + QStringLiteral("_") +
                   fileTimeStamp(program.now()) + QStringLiteral(".TXT");
        },
        report);
    trap(
        [&] {
            if (!program.fileSystem().FolderExists(logs))
                program.fileSystem().CreateFolder(logs);
        },
        report);
    DeleteOldLogFiles(program.fileSystem(), logs, program.now().date());
    program.RunLogPath = logs + QLatin1Char('/') + name;
    return program.RunLogPath;
}

QString GenerateBackupDataFileName(Program &program)
{
    const auto report = reportIn(
        program, QStringLiteral(
                     "Error %1 (%2) in procedure GenerateBackupDataFileName of Module modLogging"));
    const QString zips = program.programFolder() + QStringLiteral("/ZIPS");
    CreateOrEmptyFolder(program.fileSystem(), zips);
    QString stamp;
    trap([&] { stamp = fileTimeStamp(program.now()); }, report);
    QString computer;
    trap([&] { computer = program.WorkStation().ComputerName(); }, report);
    return zips + QStringLiteral("/LOG_Archive_") + computer + QLatin1Char('_') + stamp +
           QStringLiteral(".ZIP");
}

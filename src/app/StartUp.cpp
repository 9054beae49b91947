#include "app/StartUp.h"

#include "app/ArchiveFolderSetting.h"
#include "app/EndProgram.h"
#include "app/Program.h"
#include "common/Failure.h"
#include "platform/ProcessPriority.h"

namespace {
constexpr qint32 statusRunning = 32;
constexpr qint16 minimumMajor = 3;

bool servedProductRunning(Program &program)
{
    bool running = false;
    trapSilently([&] {
        // Created fresh for this question and released at once.
        const auto statusObject = program.components().createStatusObject();
        if (!statusObject)
            return;
        const auto status = statusObject->status();
        running = status && *status == statusRunning;
    });
    return running;
}

[[noreturn]] void refuse(Program &program, RunHost &host)
{
    program.refuseStart();
    EndProgram(program, host);
}
} // namespace

bool asksForSilentRun(const QString &commandLine)
{
    return !commandLine.isEmpty() &&
           commandLine.contains(QLatin1String("/Silent"), Qt::CaseInsensitive);
}

void Form_Load(Program &program, RunHost &host, const QStringList &arguments,
               const StartUpJobs &jobs)
{
    const QString commandLine = arguments.join(QLatin1Char(' '));

    // Told on stderr and in the system log, in either mode: a scheduled run that ends here, or
    // runs unguarded, must leave a trace.
    const SingleInstance::Claim instance = program.claimSingleInstance();
    if (!instance.note.isEmpty())
        program.silentDialogs().messageBox(instance.note);
    if (instance.otherInstance) {
        // Started from the desktop: the window already open comes to the front instead.
        if (!asksForSilentRun(commandLine))
            program.singleInstance().tellRunningInstance();
        program.terminate(ExitStatus::AlreadyRunning);
    }

    trapSilently([&] { LoadArchiveFolderSetting(program, host); });
    trapSilently([&] { SetProcessPriority(PriorityClass::BelowNormal); });

    if (!servedProductRunning(program)) {
        // A registry file that could not be read is the administrator's to mend: say which.
        const QString problem = program.registry().problem();
        if (!problem.isEmpty())
            program.silentDialogs().messageBox(problem);
        if (commandLine.isEmpty())
            program.dialogs().messageBox(
                QStringLiteral("Orvel must be running for this utility to work"));
        refuse(program, host);
    }

    trapSilently([&] { program.ServedVersion = GetOrvelVersion(program.registry()); });
    if (program.ServedVersion.Major < minimumMajor) {
        // An unattended start must not wait for an answer nobody can give.
        Dialogs &dialogs =
            asksForSilentRun(commandLine) ? program.silentDialogs() : program.dialogs();
        dialogs.messageBox(QStringLiteral("This utility only works with Orvel 4.0(1) and later"));
        refuse(program, host);
    }

    program.SilentMode = asksForSilentRun(commandLine);

    if (program.SilentMode) {
        jobs.unattendedRun();
        // Every path of an unattended run ends the program; should one ever come back, end here.
        EndProgram(program, host);
    }

    trapSilently([&] { jobs.updateCheck(); });
}

#include "app/StartUp.h"

#include "app/ArchiveFolderSetting.h"
#include "app/EndProgram.h"
#include "app/Program.h"
#include "app/RunOutcome.h"
#include "app/UpdateCheckSetting.h"
#include "common/Failure.h"
#include "platform/ProcessPriority.h"

#include "orvel_components.h"

namespace {
constexpr qint32 statusRunning = 32;
constexpr qint16 minimumMajor = 3;

[[noreturn]] void refuse(Program &program, WindowHost &host)
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

std::optional<QString> servedProductNotRunning(Program &program)
{
    QString reason = QStringLiteral("its status object (class %1) is not registered or cannot be "
                                    "loaded")
                         .arg(QLatin1String(ORVEL_STATUS_OBJECT_CLSID));
    bool running = false;
    trap(
        [&] {
            // Created fresh for this question and released at once.
            const auto statusObject = program.components().createStatusObject();
            if (!statusObject)
                return;
            const auto status = statusObject->status();
            running = status && *status == statusRunning;
            reason = status ? QStringLiteral("its status is %1, not %2 (running)")
                                  .arg(*status)
                                  .arg(statusRunning)
                            : QStringLiteral("its status cannot be read");
        },
        [&](const Failure &failure) { reason = failure.description(); });
    if (running)
        return std::nullopt;
    return reason;
}

std::optional<QString> servedVersionRefused(const OrvelVersionInfo &version)
{
    if (version.Major >= minimumMajor)
        return std::nullopt;
    return QStringLiteral("This utility only works with Orvel 4.0(1) and later (the registry "
                          "gives version %1.%2)")
        .arg(version.Major)
        .arg(version.Minor);
}

void Form_Load(Program &program, WindowHost &host, const QStringList &arguments,
               const StartUpJobs &jobs)
{
    const QString commandLine = arguments.join(QLatin1Char(' '));

    // Told on stderr and in the system log, in either mode: a scheduled run that ends here, or
    // runs unguarded, must leave a trace.
    const SingleInstance::Claim instance = program.claimSingleInstance();
    if (instance.otherInstance) {
        tellRefusal(instance.note);
        // Started from the desktop: the window already open comes to the front instead.
        if (!asksForSilentRun(commandLine))
            program.singleInstance().tellRunningInstance();
        program.terminate(ExitStatus::AlreadyRunning);
    }
    if (!instance.note.isEmpty())
        program.silentDialogs().messageBox(instance.note);

    trapSilently([&] { LoadArchiveFolderSetting(program, host); });
    trapSilently([&] { SetProcessPriority(PriorityClass::BelowNormal); });

    if (const auto notRunning = servedProductNotRunning(program)) {
        // A registry file that could not be read is the administrator's to mend: say which.
        const QString problem = program.registry().problem();
        if (!problem.isEmpty())
            tellRefusal(problem);
        tellRefusal(QStringLiteral("Orvel is not running: %1 - no archive run").arg(*notRunning));
        if (commandLine.isEmpty())
            program.dialogs().messageBox(
                QStringLiteral("Orvel must be running for this utility to work"));
        refuse(program, host);
    }

    trapSilently([&] { program.ServedVersion = GetOrvelVersion(program.registry()); });
    if (const auto refused = servedVersionRefused(program.ServedVersion)) {
        tellRefusal(*refused + QStringLiteral(" - no archive run"));
        // An unattended start must not wait for an answer nobody can give.
        if (!asksForSilentRun(commandLine))
            program.dialogs().messageBox(
                QStringLiteral("This utility only works with Orvel 4.0(1) and later"));
        refuse(program, host);
    }

    program.SilentMode = asksForSilentRun(commandLine);

    if (program.SilentMode) {
        program.runLog().setPaneShown(false);
        jobs.unattendedRun();
        // Every path of an unattended run ends the program; should one ever come back, end here.
        EndProgram(program, host);
    }

    // A site may keep its servers off the network: [Update] Check=false.
    const UpdateCheckSetting update = readUpdateCheckSetting(program.executableName());
    if (!update.problem.isEmpty() && program.ArchiveFolderUnread.isEmpty())
        program.silentDialogs().messageBox(update.problem);
    if (update.check)
        trapSilently([&] { jobs.updateCheck(); });
}

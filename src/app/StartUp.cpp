#include "app/StartUp.h"

#include "app/ArchiveFolderSetting.h"
#include "app/EndProgram.h"
#include "app/Program.h"
#include "common/Failure.h"
#include "common/Version.h"
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

std::optional<QString> informationAsked(const QStringList &arguments, const QString &programFolder)
{
    if (arguments.size() != 1)
        return std::nullopt;
    const QString &word = arguments.first();
    if (word == QLatin1String("--version"))
        return QStringLiteral("Sorvik %1\n").arg(versionText());
    if (word != QLatin1String("--help") && word != QLatin1String("-h") &&
        word != QLatin1String("/?"))
        return std::nullopt;
    return QStringLiteral(
               "Usage: Sorvik [/Silent]\n"
               "\n"
               "Collects the log files of the Orvel server, turns its raw diagnostic logs into "
               "readable text,\n"
               "packs them into one ZIP archive named after the computer and the time, and copies "
               "it into\n"
               "the archive folder chosen in the window (never replacing a file).\n"
               "\n"
               "  (no argument)  open the window\n"
               "  /Silent        one unattended archive run into the stored archive folder, no "
               "window\n"
               "                 (anywhere on the command line, any letter case; for scheduled "
               "tasks)\n"
               "  --help, -h, /? this text\n"
               "  --version      the program's version\n"
               "\n"
               "Exit status: 0 every file archived and the archive delivered; 1 the run wrote an "
               "(error)\n"
               "line or was refused; 2 Orvel is not running or older than 3.0; 3 another instance "
               "runs.\n"
               "\n"
               "Environment:\n"
               "  SORVIK_REGISTRY    Orvel's registry file (default /etc/sorvik/registry.reg)\n"
               "  XDG_CONFIG_HOME    holds Sorvik/Sorvik.ini, the stored archive folder (default "
               "~/.config)\n"
               "  SORVIK_CRON_DIR    where scheduled tasks are kept (default /etc/cron.d)\n"
               "  SORVIK_TOOLS_SITE  the tools web site of the update check\n"
               "\n"
               "Settings in Sorvik.ini, group [Archive] (File > Options... sets them):\n"
               "  PassphraseFile=PATH  encrypt the archives (AES-256) with the first line of this "
               "file, which\n"
               "                       must belong to the running account, mode 0600 or 0400; a "
               "file that\n"
               "                       cannot be used stops the run (default: no encryption)\n"
               "  KeepDays=N           after a delivered run, remove this computer's archives from "
               "the\n"
               "                       archive folder once dated more than N days ago (0 = never, "
               "the default)\n"
               "  KeepCount=N          keep at most N of this computer's archives there (0 = no "
               "limit, the default)\n"
               "\n"
               "Beside the program, in %1:\n"
               "  logs/       one run log per run (UTF-16), kept 30 days\n"
               "  ZIPS/       the last run's archive (its copy goes to the archive folder)\n"
               "  TempDiags/  readable copies while a run lasts\n")
        .arg(programFolder);
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

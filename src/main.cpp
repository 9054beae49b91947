#include "app/ArchiveFolderCommand.h"
#include "app/CommandLineAnswers.h"
#include "app/Program.h"
#include "app/RunOutcome.h"
#include "app/SetUpCheck.h"
#include "app/StartUp.h"
#include "archive/obfuscation/CleaningCheck.h"
#include "archive/obfuscation/Reveal.h"
#include "platform/AccountHome.h"
#include "platform/DesktopLauncher.h"
#include "platform/StopRequests.h"
#include "schedule/TaskCheck.h"
#include "schedule/TaskScheduler.h"
#include "ui/QtDialogs.h"
#include "ui/WindowLook.h"
#include "ui/frmMain.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {
QtMessageHandler toolkitHandler = nullptr;

// Root's cron jobs and su sessions have no XDG_RUNTIME_DIR; the toolkit then makes a private one
// under /tmp itself, so its note about that says nothing wrong and would be mailed every night.
// A runtime folder that is there but unsafe is still told.
void withoutRuntimeFolderNote(QtMsgType type, const QMessageLogContext &context,
                              const QString &message)
{
    if (type == QtWarningMsg &&
        message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    toolkitHandler(type, context, message);
}

// An unattended run has nobody to read the toolkit's notes about the platform it runs on (no
// display, no runtime folder); a scheduler would mail them every night. Only real trouble is told.
void quietUnattended(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

// While the toolkit starts its platform plugin. Without a display it gives up with a fatal note
// (and an abort, and advice to reinstall): that start is refused in one plain line instead. Its
// other notes wait until it is known to be up, and then go where they would have gone.
struct ToolkitStart {
    QDateTime started;
    bool unattended = false;
    // The platform is the program's own choice, not the caller's.
    bool ownPlatform = false;
    QtMessageHandler after = nullptr;
    struct Note {
        QtMsgType type;
        QByteArray category;
        QString message;
    };
    std::vector<Note> held;
};
ToolkitStart toolkitStart;

void whileToolkitStarts(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtFatalMsg) {
        toolkitStart.held.push_back({type, QByteArray(context.category), message});
        return;
    }
    // What the platform said of why, not the toolkit's closing advice to reinstall, which is
    // not what helps here.
    QStringList why;
    for (const ToolkitStart::Note &note : toolkitStart.held)
        if (note.category.startsWith("qt.qpa"))
            why << note.message.trimmed();
    if (why.isEmpty()) {
        const QString first = message.section(QLatin1Char('\n'), 0, 0);
        why << first.left(first.indexOf(QLatin1String(". ")) + 1);
    }
    const QString advice =
        toolkitStart.ownPlatform
            ? QStringLiteral("the toolkit's plugins are missing from this "
                             "computer (Debian: reinstall libqt6gui6)")
            : QStringLiteral("leave QT_QPA_PLATFORM unset for an unattended run");
    tellRefusal(toolkitStart.unattended
                    ? QStringLiteral("the toolkit cannot start its platform plugin \"%1\" (%2); %3")
                          .arg(qEnvironmentVariable("QT_QPA_PLATFORM"), why.join(u"; "), advice)
                    : QStringLiteral("no display to show the window on; use /Silent for an "
                                     "unattended run, or --help"));
    RunOutcome outcome;
    outcome.started = toolkitStart.started;
    outcome.ended = QDateTime::currentDateTime();
    outcome.durationSeconds = double(outcome.started.msecsTo(outcome.ended)) / 1000;
    outcome.exitStatus = ExitStatus::StartRefused;
    recordRunOutcome(outcome);
    // As every unattended start that ends badly: summed up for the scheduler's mail.
    if (toolkitStart.unattended)
        for (const QString &line : outcomeSummary(outcome))
            tellRefusal(line);
    std::fflush(nullptr);
    ::_exit(ExitStatus::StartRefused);
}

void toolkitStarted()
{
    qInstallMessageHandler(toolkitStart.after);
    for (const auto &note : std::exchange(toolkitStart.held, {})) {
        const QMessageLogContext context(nullptr, 0, nullptr, note.category.constData());
        toolkitStart.after(note.type, context, note.message);
    }
}

int checkSetUpNow(const QString &executablePath)
{
    Program::Parts parts;
    parts.executablePath = executablePath;
    Program program(std::move(parts));
    return checkSetUp(program, {scheduledTasksCheck(program.now()), cleaningCheck(program)},
                      stdout);
}

int storeArchiveFolderNow(const QString &executablePath, const QString &folder)
{
    Program::Parts parts;
    parts.executablePath = executablePath;
    Program program(std::move(parts));
    return storeArchiveFolderCommand(program, folder, stdout, stderr);
}
} // namespace

int main(int argc, char *argv[])
{
    const QDateTime started = QDateTime::currentDateTime();
    // Before anything works out where the settings, the state or the tasks are kept.
    takeHomeFromAccount();
    // Taken before Qt removes the options it knows from argv.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Before anything that reads, locks or writes: the program may not even be set up yet.
    // Its folder is the real one, also when started through a link such as /usr/bin/sorvik; the
    // help names the command as it was typed.
    const QString executablePath = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    const QString commandName =
        argc > 0 ? QFileInfo(QFile::decodeName(argv[0])).fileName() : QStringLiteral("sorvik");
    if (const auto status =
            answerInformation(arguments, commandName, executablePath, stdout, stderr))
        return *status;
    if (asksForReveal(arguments))
        return revealStandIns(arguments.mid(1), commandName, executablePath, stdin, stdout, stderr);

    // Without TZ the C library looks at /etc/localtime again for every local time it works out:
    // a stat for every run-log line and every file. Named once, the zone is read once.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
    if (asksForCheck(arguments))
        return checkSetUpNow(executablePath);
    if (const auto folder = archiveFolderToStore(arguments))
        return storeArchiveFolderNow(executablePath, *folder);

    stampScheduledStart();
    toolkitHandler = qInstallMessageHandler(withoutRuntimeFolderNote);
    toolkitStart.started = started;
    toolkitStart.after = withoutRuntimeFolderNote;
    // An unattended run never shows a window and must not need a display: scheduled jobs have none.
    // The minimal platform draws nothing and reads no fonts, which every nightly run would pay
    // for at its start.
    toolkitStart.unattended = asksForSilentRun(arguments.join(QLatin1Char(' ')));
    if (toolkitStart.unattended) {
        toolkitStart.after = quietUnattended;
        toolkitStart.ownPlatform = qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
        if (toolkitStart.ownPlatform)
            qputenv("QT_QPA_PLATFORM", "minimal");
    }

    // Past a file-size limit a write should fail and be reported, not end the process unseen.
    std::signal(SIGXFSZ, SIG_IGN);

    qInstallMessageHandler(whileToolkitStarts);
    QApplication app(argc, argv);
    toolkitStarted();
    if (!toolkitStart.unattended)
        QApplication::setWindowIcon(logoIcon());
    QtDialogs dialogs;
    DesktopLauncher launcher;
    Program::Parts parts;
    parts.executablePath = QCoreApplication::applicationFilePath();
    parts.interactiveDialogs = &dialogs;
    parts.launcher = &launcher;
    parts.start = StartFacts{started, toolkitStart.unattended};
    Program program(std::move(parts));
    frmMain window(program);
    dialogs.setOwner(&window);

    watchStopRequests(&window, [&] { window.endOnRequest(); });
    window.Form_Load(arguments);
    window.show();
    return app.exec();
}

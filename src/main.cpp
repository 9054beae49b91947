#include "app/EndProgram.h"
#include "app/Program.h"
#include "app/StartUp.h"
#include "platform/DesktopLauncher.h"
#include "platform/StopRequests.h"
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
} // namespace

int main(int argc, char *argv[])
{
    // Taken before Qt removes the options it knows from argv.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Before anything that reads, locks or writes: the program may not even be set up yet.
    // Its folder is the real one, also when started through a link such as /usr/bin/sorvik.
    const QString programFolder =
        QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
    if (const auto information = informationAsked(arguments, programFolder)) {
        const QByteArray text = information->toLocal8Bit();
        const bool written =
            std::fwrite(text.constData(), 1, text.size(), stdout) == size_t(text.size()) &&
            std::fflush(stdout) == 0;
        return written ? 0 : 1;
    }

    stampScheduledStart();
    // Without TZ the C library looks at /etc/localtime again for every local time it works out:
    // a stat for every run-log line and every file. Named once, the zone is read once.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
    toolkitHandler = qInstallMessageHandler(withoutRuntimeFolderNote);
    // An unattended run never shows a window and must not need a display: scheduled jobs have none.
    if (asksForSilentRun(arguments.join(QLatin1Char(' ')))) {
        qInstallMessageHandler(quietUnattended);
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
    }

    // Past a file-size limit a write should fail and be reported, not end the process unseen.
    std::signal(SIGXFSZ, SIG_IGN);

    QApplication app(argc, argv);
    QApplication::setWindowIcon(logoIcon());
    QtDialogs dialogs;
    DesktopLauncher launcher;
    Program::Parts parts;
    parts.executablePath = QCoreApplication::applicationFilePath();
    parts.interactiveDialogs = &dialogs;
    parts.launcher = &launcher;
    parts.terminator = [](int status) {
        std::fflush(nullptr);
        ::_exit(status);
    };
    Program program(std::move(parts));
    frmMain window(program);
    dialogs.setOwner(&window);

    watchStopRequests(&window, [&] { EndProgramOnRequest(program, window); });
    window.Form_Load(arguments);
    window.show();
    return app.exec();
}

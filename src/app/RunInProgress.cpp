#include "app/RunInProgress.h"

#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/RunOutcome.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "common/TimeText.h"
#include "platform/ProcessLiveness.h"
#include "platform/SafeFiles.h"
#include "platform/SystemLog.h"
#include "platform/WholeFile.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

namespace {

const QString currentRunName = QStringLiteral("current-run.json");

QString currentRunFile()
{
    return stateFolder() + QLatin1Char('/') + currentRunName;
}

} // namespace

bool RunInProgress::ofThisProcess() const
{
    return pid == qint64(::getpid()) && processStarted == ::processStarted(pid);
}

bool RunInProgress::stillRuns() const
{
    return processStillRuns(pid, processStarted);
}

std::optional<RunInProgress> recordedRun()
{
    std::optional<RunInProgress> run;
    trapSilently([&] {
        const std::optional<QByteArray> bytes = readStateFile(currentRunFile());
        if (!bytes || bytes->size() > stateFileLimit)
            return;
        const QJsonObject object = QJsonDocument::fromJson(*bytes).object();
        RunInProgress recorded;
        recorded.started = QDateTime::fromString(object.value(u"started").toString(), Qt::ISODate);
        recorded.pid = qint64(object.value(u"pid").toDouble());
        recorded.processStarted = object.value(u"process_started").toString().toLatin1();
        recorded.runLog = object.value(u"run_log").toString();
        if (recorded.started.isValid() && recorded.pid > 0)
            run = recorded;
    });
    return run;
}

void noteRunStart(const Program &program, const QString &runLog)
{
    const std::optional<RunInProgress> before = recordedRun();
    if (before && !before->ofThisProcess() && !before->stillRuns())
        tellSystem(programTitle(), unfinishedRunText(*before), SystemLogPriority::Error);
    const qint64 pid = ::getpid();
    QJsonObject object;
    object.insert(
        QStringLiteral("started"),
        isoDateTime(program.LastRun.started.isValid() ? program.LastRun.started : program.now()));
    object.insert(QStringLiteral("pid"), pid);
    object.insert(QStringLiteral("process_started"), QString::fromLatin1(processStarted(pid)));
    // The path itself, unlike last-run.json's shown one: it names the program's own folder, never
    // a share's password, and is read back.
    object.insert(QStringLiteral("run_log"), runLog);
    trapSilently([&] {
        makePrivateFolderPath(stateFolder());
        writeFileWhole(stateFolder(), currentRunName,
                       QJsonDocument(object).toJson(QJsonDocument::Indented), 0644);
    });
}

void forgetRunStart()
{
    const std::optional<RunInProgress> recorded = recordedRun();
    // Another program folder of this account may have begun a run since.
    if (recorded && recorded->ofThisProcess())
        ::unlink(QFile::encodeName(currentRunFile()).constData());
}

QString unfinishedRunText(const RunInProgress &run)
{
    return QStringLiteral("a run started %1 never ended: its process went (killed, or the "
                          "computer stopped) before it recorded how the run ended%2")
        .arg(isoDateTime(run.started),
             run.runLog.isEmpty() ? QString()
                                  : QStringLiteral("; its run log: ") + shownPath(run.runLog));
}

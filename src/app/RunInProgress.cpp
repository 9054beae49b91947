#include "app/RunInProgress.h"

#include "app/Dialogs.h"
#include "app/RunOutcome.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "common/TimeText.h"
#include "platform/ProcessLiveness.h"
#include "platform/SafeFiles.h"
#include "platform/SystemLog.h"
#include "platform/WholeFile.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

namespace {

const QString currentRunName = QStringLiteral("current-run.json");

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
        const std::optional<QByteArray> bytes = readStateFile(currentRunName);
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

bool RunInProgress::outcomeRecorded() const
{
    std::optional<RunOutcome> last;
    trapSilently([&] { last = lastRunOutcome(); });
    // The outcome keeps the path as it is shown.
    return last && !runLog.isEmpty() && last->runLog == shownPath(runLog);
}

QString recordRunStart(const QDateTime &started, const QString &runLog)
{
    const std::optional<RunInProgress> before = recordedRun();
    QString unfinished;
    if (before && !before->ofThisProcess() && !before->stillRuns() && !before->outcomeRecorded()) {
        unfinished = unfinishedRunText(*before);
        tellSystem(programTitle(), unfinished, SystemLogPriority::Error);
    }
    const qint64 pid = ::getpid();
    QJsonObject object;
    object.insert(QStringLiteral("started"), isoDateTime(started));
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
    return unfinished.isEmpty() ? QString() : QStringLiteral("(warning) ") + unfinished;
}

void forgetRunStart()
{
    const std::optional<RunInProgress> recorded = recordedRun();
    // Another program folder of this account may have begun a run since.
    if (recorded && recorded->ofThisProcess())
        removeFileIn(stateFolder(), currentRunName);
}

QString unfinishedRunText(const RunInProgress &run)
{
    return QStringLiteral("a run started %1 did not record how it ended and its process is gone "
                          "(killed, stopped with the computer, or unable to write the state "
                          "folder at its end)%2")
        .arg(isoDateTime(run.started),
             run.runLog.isEmpty() ? QString()
                                  : QStringLiteral("; its run log: ") + shownPath(run.runLog));
}

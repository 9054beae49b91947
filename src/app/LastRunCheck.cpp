#include "app/Program.h"
#include "app/RunInProgress.h"
#include "app/RunOutcome.h"
#include "app/SetUpCheck.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "common/TimeText.h"

#include <optional>

namespace {

QString ageText(qint64 seconds)
{
    if (seconds < 0)
        return QStringLiteral("in the future: check the clock");
    if (seconds < 3600)
        return QStringLiteral("%1 min ago").arg(seconds / 60);
    if (seconds < 2 * 86400)
        return QStringLiteral("%1 h %2 min ago")
            .arg(QString::number(seconds / 3600), QString::number(seconds % 3600 / 60));
    return QStringLiteral("%1 days ago").arg(seconds / 86400);
}

} // namespace

namespace {

CheckLine recordedOutcome(Program &program)
{
    CheckLine line;
    line.informative = true;
    std::optional<RunOutcome> outcome;
    QString problem;
    trap([&] { outcome = lastRunOutcome(); },
         [&](const Failure &failure) { problem = failure.description(); });
    if (!problem.isEmpty()) {
        line.ok = false;
        line.found = problem;
        line.remedy = QStringLiteral("remove it; the next run writes it afresh");
        return line;
    }
    if (!outcome) {
        line.found = QStringLiteral("none recorded yet in %1").arg(shownPath(lastRunFile()));
        return line;
    }
    line.ok = outcome->exitStatus == ExitStatus::Success;
    line.found =
        QStringLiteral("ended %1 (%2), exit status %3 (%4), %5 \"(error)\" lines, %6")
            .arg(isoDateTime(outcome->ended), ageText(outcome->ended.secsTo(program.now())),
                 QString::number(outcome->exitStatus), exitStatusMeaning(outcome->exitStatus),
                 QString::number(outcome->errors),
                 outcome->archive.isEmpty()
                     ? QStringLiteral("no archive delivered")
                     : QStringLiteral("archive %1 (%2)")
                           .arg(shownPath(outcome->archive), byteSize(outcome->archiveBytes)));
    const QStringList first = firstErrorLines(*outcome, 1);
    if (!first.isEmpty())
        line.found += QStringLiteral("; the first: ") + first.first();
    // Whether this is one bad night or many.
    if (!line.ok)
        line.found += outcome->lastSuccess.isValid()
                          ? QStringLiteral("; the last success ended %1 (%2)")
                                .arg(isoDateTime(outcome->lastSuccess),
                                     ageText(outcome->lastSuccess.secsTo(program.now())))
                          : QStringLiteral("; no success is recorded");
    if (!line.ok)
        line.remedy = outcome->runLog.isEmpty()
                          ? QStringLiteral("it wrote no run log: see stderr (cron's mail) or the "
                                           "system log")
                          : QStringLiteral("sorvik --last-log --problems shows what went wrong; "
                                           "this line passes once a run succeeds");
    return line;
}

} // namespace

// Information, not a check: the next run does not depend on it.
CheckLine lastRunCheck(Program &program)
{
    CheckLine line = recordedOutcome(program);
    const std::optional<RunInProgress> begun = recordedRun();
    if (!begun || begun->ofThisProcess())
        return line;
    // Looked at once: a run that ends between two looks would read as gone unrecorded.
    const bool lives = begun->stillRuns();
    if (!lives && begun->outcomeRecorded())
        return line;
    if (lives) {
        line.found += QStringLiteral("; a run is at work since %1 (process %2)")
                          .arg(isoDateTime(begun->started))
                          .arg(begun->pid);
        return line;
    }
    // Later than any outcome recorded: nothing else tells of it.
    line.found = unfinishedRunText(*begun) +
                 QStringLiteral(" (%1); the last run recorded: ")
                     .arg(ageText(begun->started.secsTo(program.now()))) +
                 line.found;
    line.ok = false;
    line.remedy = (line.remedy.isEmpty() ? QString() : line.remedy + QStringLiteral("; ")) +
                  QStringLiteral("its run log shows how far it got; the next run tells of it once "
                                 "more and records its own outcome");
    return line;
}

#include "schedule/TaskCheck.h"

#include "app/CommandLineAnswers.h"
#include "app/StartUp.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "common/TimeText.h"
#include "schedule/TaskScheduler.h"

#include <QFileInfo>

namespace {
// The check only reads: no task is ever edited.
class NoPropertySheet : public TaskPropertySheet {
public:
    bool edit(ScheduledTask &, QObject *) override { return false; }
};
} // namespace

SetUpCheck scheduledTasksCheck(const QDateTime &now)
{
    return {QStringLiteral("scheduled tasks"), [now] {
                NoPropertySheet sheet;
                const auto scheduler = makeTaskScheduler(sheet);
                QString problem;
                trap([&] { scheduler->ReloadTasks(); },
                     [&](const Failure &failure) { problem = failure.description(); });
                if (!problem.isEmpty())
                    return CheckLine{false, problem,
                                     QStringLiteral("install cron, whose folder is /etc/cron.d, or "
                                                    "set SORVIK_CRON_DIR to the tasks' folder")};
                QStringList tasks;
                QStringList missing;
                for (const auto &task : scheduler->tasks()) {
                    const QDateTime next = task->nextRunAfter(now);
                    tasks << QStringLiteral("\"%1\" %2")
                                 .arg(task->name(),
                                      !task->enabled() ? QStringLiteral("disabled")
                                      : next.isValid()
                                          ? QStringLiteral("next run ") + isoDateTime(next)
                                          : QStringLiteral("no next run"));
                    if (!QFileInfo(task->ApplicationName()).isExecutable())
                        missing << QStringLiteral("\"%1\" starts %2, which is not there")
                                       .arg(task->name(), shownPath(task->ApplicationName()));
                    // Cron passes the words as they stand: what the program would say of them.
                    const QStringList arguments =
                        task->CommandLine().split(QLatin1Char(' '), Qt::SkipEmptyParts);
                    if (const auto mistake = commandLineMistake(arguments))
                        missing << QStringLiteral("\"%1\" passes \"%2\": %3")
                                       .arg(task->name(), task->CommandLine(), *mistake);
                    else if (!asksForSilentRun(arguments.join(QLatin1Char(' '))))
                        missing << QStringLiteral("\"%1\" passes \"%2\", which opens the "
                                                  "window, not an unattended run (/Silent)")
                                       .arg(task->name(), task->CommandLine());
                }
                if (!missing.isEmpty())
                    return CheckLine{false, missing.join(QStringLiteral("; ")),
                                     QStringLiteral("mend the task in the window (File > "
                                                    "Schedule Archive), or create it again")};
                if (tasks.isEmpty())
                    return CheckLine{true,
                                     QStringLiteral("none (a cron line of your own, as in man "
                                                    "sorvik, works as well)"),
                                     QString()};
                return CheckLine{true, tasks.join(QStringLiteral("; ")), QString()};
            }};
}

#include "schedule/TaskCheck.h"

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
                }
                if (!missing.isEmpty())
                    return CheckLine{false, missing.join(QStringLiteral("; ")),
                                     QStringLiteral("delete the task in the window (File > "
                                                    "Schedule Archive) and create it again")};
                if (tasks.isEmpty())
                    return CheckLine{true,
                                     QStringLiteral("none (a cron line of your own, as in man "
                                                    "sorvik, works as well)"),
                                     QString()};
                return CheckLine{true, tasks.join(QStringLiteral("; ")), QString()};
            }};
}

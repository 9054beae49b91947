#pragma once

#include "schedule/TaskScheduler.h"

#include <QDateTime>

// A task as the scheduling window saves it, with `triggers` daily triggers an hour apart from
// `begin`, each every `everyDays` days.
inline std::shared_ptr<ScheduledTask>
saveTask(TaskScheduler &scheduler, const QString &name, const QString &program,
         qint32 flags = TaskFlags::Disabled, int triggers = 1, int everyDays = 1,
         const QDateTime &begin = QDateTime(QDate(2026, 12, 6), QTime(1, 30)))
{
    auto task = scheduler.CreateTask(name);
    task->setApplicationName(program);
    task->setCommandLine(QStringLiteral("/Silent "));
    task->setCreator(QStringLiteral("Orvel Sorvik [SRV01]"));
    for (int i = 0; i < triggers; ++i) {
        TaskTrigger &trigger = task->addTrigger();
        trigger.BeginDay = trigger.StartTime = begin.addSecs(3600 * i);
        trigger.everyDays = everyDays;
    }
    task->setFlags(flags);
    task->Save();
    return task;
}

#pragma once

#include "schedule/TaskScheduler.h"

#include <functional>
#include <vector>

// A property sheet that answers as the test says: it records each task shown, lets the test
// change it as an administrator would, and confirms or cancels.
class ScriptedPropertySheet : public TaskPropertySheet {
public:
    bool edit(ScheduledTask &task, QObject *) override
    {
        shown.push_back(task.name());
        flagsWhenShown.push_back(task.Flags());
        if (change)
            change(task);
        return confirm;
    }
    std::vector<QString> shown;
    std::vector<qint32> flagsWhenShown;
    std::function<void(ScheduledTask &)> change;
    bool confirm = false;
};

// A task saved as the scheduling window saves one: daily from `start`, it starts `application`
// with `commandLine`.
inline void saveTask(const QString &name, const QString &application,
                     const QString &commandLine = QStringLiteral("/Silent"),
                     const QDateTime &start = QDateTime(QDate(2026, 1, 1), QTime(2, 30)))
{
    ScriptedPropertySheet sheet;
    const auto scheduler = makeTaskScheduler(sheet);
    const auto task = scheduler->CreateTask(name);
    task->setApplicationName(application);
    task->setCommandLine(commandLine);
    TaskTrigger &trigger = task->addTrigger();
    trigger.BeginDay = trigger.StartTime = start;
    task->Save();
}

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

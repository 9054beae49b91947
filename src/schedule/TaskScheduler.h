#pragma once

#include <QDateTime>
#include <QString>
#include <QVariant>

#include <memory>
#include <vector>

class TaskScheduler;

namespace TaskFlags {
constexpr qint32 Disabled = 4;
}
namespace TriggerTypes {
constexpr qint32 Daily = 1;
}

// When a task runs: daily at StartTime's time of day, on or after BeginDay's date, every
// `everyDays` days.
struct TaskTrigger {
    qint32 TriggerType = TriggerTypes::Daily;
    QDateTime BeginDay;
    QDateTime StartTime;
    int everyDays = 1;

    // One readable line: "At 14:05 every day, starting 06/12/2026".
    QString Text() const;
    // The first time this trigger fires after `after`; invalid when it never does.
    QDateTime nextRunAfter(const QDateTime &after) const;
};

// `text` as it is; Failure (naming `what`) when it holds a line break or another control character,
// which a text the task scheduler keeps on one line cannot carry.
QString checkedLine(const QString &what, const QString &text);

// What a task is: its name, what it starts, as whom, and when. Stored as it is by the backends.
struct TaskSettings {
    QString name;
    QString applicationName;
    QString commandLine;
    QString creator;
    qint32 flags = 0;
    // The account the task runs as; empty means the account that saves it.
    QString account;
    std::vector<TaskTrigger> triggers;
};

// A scheduled task: what it starts, as whom, and when. Texts that the task scheduler stores on one
// line refuse line breaks and other control characters (Failure).
class ScheduledTask {
public:
    ScheduledTask(TaskScheduler &scheduler, QString name);

    const QString &name() const { return m_settings.name; }
    const QString &ApplicationName() const { return m_settings.applicationName; }
    void setApplicationName(const QString &text);
    const QString &CommandLine() const { return m_settings.commandLine; }
    void setCommandLine(const QString &text);
    const QString &Creator() const { return m_settings.creator; }
    void setCreator(const QString &text);
    qint32 Flags() const { return m_settings.flags; }
    void setFlags(qint32 flags) { m_settings.flags = flags; }
    bool enabled() const { return (m_settings.flags & TaskFlags::Disabled) == 0; }
    const QString &account() const { return m_settings.account; }
    void setAccount(const QString &account);

    std::vector<TaskTrigger> &Triggers() { return m_settings.triggers; }
    const std::vector<TaskTrigger> &Triggers() const { return m_settings.triggers; }
    // Triggers.Add: a new daily trigger, appended.
    TaskTrigger &addTrigger();

    // When the task was last started; invalid when it never ran.
    QDateTime LastRunTime() const { return m_lastRun; }
    void setLastRunTime(const QDateTime &when) { m_lastRun = when; }
    // When it runs next; invalid for a disabled task or one without a future run.
    QDateTime NextRunTime() const;
    QDateTime nextRunAfter(const QDateTime &after) const;

    void Save();
    // The property sheet; returns when it is closed (OK saves the task, Cancel changes nothing).
    void ShowProperties();
    void ShowPropertySheet(QObject *owner);

    const TaskSettings &settings() const { return m_settings; }

private:
    TaskScheduler *m_scheduler;
    TaskSettings m_settings;
    QDateTime m_lastRun;
};

// Edits a task in a dialog; true when the administrator confirmed the changes.
class TaskPropertySheet {
public:
    virtual ~TaskPropertySheet() = default;
    virtual bool edit(ScheduledTask &task, QObject *owner) = 0;
};

// The machine's task scheduler. Tasks are listed in the order of their positions (1-based) as of
// the last ReloadTasks. Failures throw Failure.
class TaskScheduler {
public:
    virtual ~TaskScheduler() = default;

    virtual void ReloadTasks() = 0;
    virtual int count() const = 0;
    // By name (a QString, compared as stored) or by 1-based position (a whole number).
    virtual std::shared_ptr<ScheduledTask> GetTask(const QVariant &nameOrPosition) = 0;
    // A new task of that name, not yet stored; null when the name cannot be used.
    virtual std::shared_ptr<ScheduledTask> CreateTask(const QString &name) = 0;
    virtual void RemoveTask(const QVariant &name) = 0;

    // What ScheduledTask's Save and property sheet come down to.
    virtual void saveTask(ScheduledTask &task) = 0;
    virtual void showPropertySheet(ScheduledTask &task, QObject *owner) = 0;

    // Every task, in position order.
    std::vector<std::shared_ptr<ScheduledTask>> tasks();
};

// Marks the start of a scheduled run, when this process is one: the first thing the program does,
// so that a task's last run is a start that happened. Nothing when it is not a scheduled start.
void stampScheduledStart();

// The platform's task scheduler, showing `sheet` as a task's property sheet; defined by the one
// backend that is built. `sheet` must outlive it.
std::unique_ptr<TaskScheduler> makeTaskScheduler(TaskPropertySheet &sheet);

#include "schedule/TaskScheduler.h"

#include "common/Failure.h"
#include "common/TimeText.h"

QString checkedLine(const QString &what, const QString &text)
{
    for (const QChar c : text)
        if (c.category() == QChar::Other_Control)
            throw Failure(5,
                          QStringLiteral("%1 may not hold line breaks or other control characters")
                              .arg(what));
    return text;
}

QString TaskTrigger::Text() const
{
    const QString every = everyDays <= 1 ? QStringLiteral("every day")
                                         : QStringLiteral("every %1 days").arg(everyDays);
    return QStringLiteral("At %1 %2, starting %3")
        .arg(StartTime.time().toString(QStringLiteral("HH:mm")), every,
             shortDateText(BeginDay.date()));
}

QDateTime TaskTrigger::nextRunAfter(const QDateTime &after) const
{
    if (TriggerType != TriggerTypes::Daily || !StartTime.isValid() || !BeginDay.isValid())
        return QDateTime();
    const int step = std::max(1, everyDays);
    const QTime at(StartTime.time().hour(), StartTime.time().minute());
    // Runs fall on the days that are a whole number of steps from the first run.
    const QDate first = BeginDay.date();
    QDate day = std::max(first, after.date());
    const qint64 offset = first.daysTo(day) % step;
    if (offset != 0)
        day = day.addDays(step - offset);
    for (int tries = 0; tries < 3; ++tries, day = day.addDays(step)) {
        const QDateTime run(day, at);
        if (run > after)
            return run;
    }
    return QDateTime();
}

ScheduledTask::ScheduledTask(TaskScheduler &scheduler, QString name)
    : m_scheduler(&scheduler)
{
    m_settings.name = checkedLine(QStringLiteral("The task name"), name);
}

void ScheduledTask::setApplicationName(const QString &text)
{
    m_settings.applicationName = checkedLine(QStringLiteral("The program"), text);
}

void ScheduledTask::setCommandLine(const QString &text)
{
    m_settings.commandLine = checkedLine(QStringLiteral("The command line"), text);
}

void ScheduledTask::setCreator(const QString &text)
{
    m_settings.creator = checkedLine(QStringLiteral("The creator"), text);
}

void ScheduledTask::setAccount(const QString &account)
{
    m_settings.account = checkedLine(QStringLiteral("The account"), account.trimmed());
}

TaskTrigger &ScheduledTask::addTrigger()
{
    m_settings.triggers.emplace_back();
    return m_settings.triggers.back();
}

QDateTime ScheduledTask::nextRunAfter(const QDateTime &after) const
{
    if (!enabled())
        return QDateTime();
    QDateTime next;
    for (const TaskTrigger &trigger : m_settings.triggers) {
        const QDateTime run = trigger.nextRunAfter(after);
        if (run.isValid() && (!next.isValid() || run < next))
            next = run;
    }
    return next;
}

QDateTime ScheduledTask::NextRunTime() const
{
    return nextRunAfter(QDateTime::currentDateTime());
}

void ScheduledTask::Save()
{
    m_scheduler->saveTask(*this);
}

void ScheduledTask::ShowProperties()
{
    m_scheduler->showPropertySheet(*this, nullptr);
}

void ScheduledTask::ShowPropertySheet(QObject *owner)
{
    m_scheduler->showPropertySheet(*this, owner);
}

std::vector<std::shared_ptr<ScheduledTask>> TaskScheduler::tasks()
{
    std::vector<std::shared_ptr<ScheduledTask>> all;
    for (int position = 1; position <= count(); ++position)
        all.push_back(GetTask(position));
    return all;
}

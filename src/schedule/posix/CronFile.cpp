#include "schedule/posix/CronFile.h"

#include "common/Failure.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QStringList>

namespace {

const QByteArray marker =
    "# Sorvik scheduled task. Kept by Sorvik's scheduling window; edit it there.";
const QString keyPrefix = QStringLiteral("# sorvik-");
const QString disabledPrefix = QStringLiteral("#disabled# ");

QString escaped(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else if (c == QLatin1Char('\r'))
            out += QStringLiteral("\\r");
        else
            out += c;
    }
    return out;
}

QString unescaped(const QString &text)
{
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) != QLatin1Char('\\') || i + 1 == text.size()) {
            out += text.at(i);
            continue;
        }
        const QChar next = text.at(++i);
        out += next == QLatin1Char('n')   ? QLatin1Char('\n')
               : next == QLatin1Char('r') ? QLatin1Char('\r')
                                          : next;
    }
    return out;
}

// A word for the shell, whatever it holds.
QString quoted(const QString &word)
{
    QString inner = word;
    inner.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + inner + QLatin1Char('\'');
}

// cron's own reading of a command: a bare % ends it (the rest becomes standard input), and a
// backslash before % or another backslash is taken away; any other backslash stays.
QString cronEscaped(const QString &command)
{
    QString out;
    for (const QChar c : command) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('%'))
            out += QLatin1Char('\\');
        out += c;
    }
    return out;
}

// What the job line runs: the program is there, the guards of the trigger, then the program, told
// where its stamp is.
QString command(const CronTask &task, const TaskTrigger &trigger)
{
    // A program that was uninstalled but whose tasks were kept: skip quietly, as Debian's own
    // cron jobs do, rather than have cron mail a failure every day until the task is deleted.
    QStringList guards{QStringLiteral("[ -x %1 ]").arg(quoted(task.applicationName))};
    guards << QStringLiteral("[ \"$(date +%Y%m%d)\" -ge %1 ]")
                  .arg(trigger.BeginDay.date().toString(QStringLiteral("yyyyMMdd")));
    if (trigger.everyDays > 1) {
        // Every N days counted from the first run: the local date's day number modulo N.
        const qint64 first = QDate(1970, 1, 1).daysTo(trigger.BeginDay.date());
        guards << QStringLiteral(
                      "[ $(( $(date -d \"$(date +%F) 00:00 UTC\" +%s) / 86400 % %1 )) -eq %2 ]")
                      .arg(trigger.everyDays)
                      .arg(first % trigger.everyDays);
    }
    QStringList program{QLatin1String(lastRunStampVariable) + QLatin1Char('=') +
                            quoted(task.lastRunStamp),
                        QStringLiteral("exec"), quoted(task.applicationName)};
    for (const QString &argument : task.commandLine.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        program << quoted(argument);
    return cronEscaped(guards.join(QStringLiteral(" && ")) + QStringLiteral(" && ") +
                       program.join(QLatin1Char(' ')));
}

// An environment line that cron reads back as written: it trims the blanks around a value and
// takes a quote at its start as its own (an inner one then makes it drop the whole file).
QString environmentLine(const QString &name, const QString &value)
{
    checkedLine(name, value);
    if (value != value.trimmed() || value.startsWith(QLatin1Char('"')) ||
        value.startsWith(QLatin1Char('\'')))
        throw Failure(5,
                      QStringLiteral("%1 cannot be handed to a scheduled task: it begins or ends "
                                     "with a blank or a quote")
                          .arg(name));
    return name + QLatin1Char('=') + value;
}

QString triggerText(const TaskTrigger &t)
{
    return QStringLiteral("%1;%2;%3;%4")
        .arg(t.TriggerType)
        .arg(t.BeginDay.toString(Qt::ISODate), t.StartTime.toString(Qt::ISODate))
        .arg(t.everyDays);
}

std::optional<TaskTrigger> parseTrigger(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(';'));
    if (parts.size() != 4)
        return std::nullopt;
    TaskTrigger trigger;
    bool typeOk = false, everyOk = false;
    trigger.TriggerType = parts[0].toInt(&typeOk);
    trigger.BeginDay = QDateTime::fromString(parts[1], Qt::ISODate);
    trigger.StartTime = QDateTime::fromString(parts[2], Qt::ISODate);
    trigger.everyDays = parts[3].toInt(&everyOk);
    if (!typeOk || !everyOk || trigger.everyDays < 1 || trigger.everyDays > 3650 ||
        !trigger.BeginDay.isValid() || !trigger.StartTime.isValid())
        return std::nullopt;
    return trigger;
}

} // namespace

QString cronFileName(const QString &taskName)
{
    QString readable;
    for (const QChar c : taskName.left(40)) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                           (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                           c == QLatin1Char('-');
        readable += plain ? c : QLatin1Char('_');
    }
    // The readable part may be shared by names that differ only in other characters.
    const QByteArray hash =
        QCryptographicHash::hash(taskName.toUtf8(), QCryptographicHash::Sha256).toHex().left(8);
    return QStringLiteral("sorvik-") + readable + QLatin1Char('-') + QString::fromLatin1(hash);
}

QByteArray formatCronFile(const CronTask &task)
{
    // The comment lines escape what they hold; the schedule lines carry these as they are.
    checkedLine(QStringLiteral("The program"), task.applicationName);
    checkedLine(QStringLiteral("The command line"), task.commandLine);
    checkedLine(QStringLiteral("The last-run stamp"), task.lastRunStamp);
    if (checkedLine(QStringLiteral("The account"), task.account).isEmpty() ||
        task.account.contains(QRegularExpression(QStringLiteral("\\s"))))
        throw Failure(5, QStringLiteral("The account \"%1\" is not one word").arg(task.account));
    QStringList lines{QString::fromLatin1(marker)};
    const auto key = [&](const char *name, const QString &value) {
        lines << keyPrefix + QLatin1String(name) + QStringLiteral(": ") + escaped(value);
    };
    key("name", task.name);
    key("application", task.applicationName);
    key("command-line", task.commandLine);
    key("creator", task.creator);
    key("flags", QString::number(task.flags));
    key("account", task.account);
    key("last-run-stamp", task.lastRunStamp);
    for (const TaskTrigger &trigger : task.triggers)
        key("trigger", triggerText(trigger));
    for (const auto &[name, value] : task.environment)
        lines << environmentLine(name, value);
    const bool enabled = (task.flags & TaskFlags::Disabled) == 0;
    for (const TaskTrigger &trigger : task.triggers) {
        if (trigger.TriggerType != TriggerTypes::Daily)
            continue;
        const QString schedule = QStringLiteral("%1 %2 * * * %3 %4")
                                     .arg(trigger.StartTime.time().minute())
                                     .arg(trigger.StartTime.time().hour())
                                     .arg(task.account, command(task, trigger));
        lines << (enabled ? schedule : disabledPrefix + schedule);
    }
    return lines.join(QLatin1Char('\n')).toUtf8() + '\n';
}

std::optional<CronTask> parseCronFile(const QByteArray &bytes)
{
    if (!bytes.startsWith(marker + '\n'))
        return std::nullopt;
    CronTask task;
    bool named = false, flagged = false;
    for (const QString &line : QString::fromUtf8(bytes).split(QLatin1Char('\n'))) {
        // The environment and the schedule lines are made anew from the settings at each save.
        if (!line.startsWith(keyPrefix))
            continue;
        const qsizetype colon = line.indexOf(QStringLiteral(": "), keyPrefix.size());
        if (colon < 0)
            return std::nullopt;
        const QString key = line.mid(keyPrefix.size(), colon - keyPrefix.size());
        const QString value = unescaped(line.mid(colon + 2));
        if (key == QLatin1String("name")) {
            task.name = value;
            named = !value.isEmpty();
        } else if (key == QLatin1String("application")) {
            task.applicationName = value;
        } else if (key == QLatin1String("command-line")) {
            task.commandLine = value;
        } else if (key == QLatin1String("creator")) {
            task.creator = value;
        } else if (key == QLatin1String("flags")) {
            task.flags = value.toInt(&flagged);
        } else if (key == QLatin1String("account")) {
            task.account = value;
        } else if (key == QLatin1String("last-run-stamp")) {
            task.lastRunStamp = value;
        } else if (key == QLatin1String("trigger")) {
            const auto trigger = parseTrigger(value);
            if (!trigger)
                return std::nullopt;
            task.triggers.push_back(*trigger);
        }
    }
    if (!named || !flagged)
        return std::nullopt;
    return task;
}

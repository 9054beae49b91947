#pragma once

#include "schedule/TaskScheduler.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <utility>
#include <vector>

// One scheduled task as a file in the cron.d format: the task's own settings in comment lines
// (which cron ignores), the environment the program needs, and one schedule line per trigger,
// commented out while the task is disabled. Files without our first line are not ours.
struct CronTask : TaskSettings {
    // The file the started program touches first (the job hands its path over in
    // lastRunStampVariable): its time is the task's last run.
    QString lastRunStamp;
    std::vector<std::pair<QString, QString>> environment;
};

inline constexpr char lastRunStampVariable[] = "SORVIK_LAST_RUN_STAMP";

// A file name cron accepts (letters, digits, "_" and "-" only), the same for the same task name.
QString cronFileName(const QString &taskName);

// Every value is checked or escaped for cron and the shell: Failure when one cannot be written so
// that cron reads it back as it is (a line break, an account that is not one word).
QByteArray formatCronFile(const CronTask &task);
// Nothing when the bytes are not a task file of ours, or are damaged.
std::optional<CronTask> parseCronFile(const QByteArray &bytes);

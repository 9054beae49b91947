#pragma once

#include "common/Clock.h"

#include <QString>

#include <functional>

class FileSystem;

// Where a run's files go and what naming them needs from the process.
struct RunFiles {
    FileSystem &fileSystem;
    QString programFolder;
    QString executableName;
    Clock clock;
    // The computer's name; may throw Failure.
    std::function<QString()> computerName;
    // A failing step is told here (a box, or stderr and syslog when nobody is there to ask) and
    // the naming goes on with its next step.
    std::function<void(const QString &text)> tell;
};

// Names this run's log: <program folder>/logs/<exe>_Log__yymmdd_hh_mm_ss.TXT. Makes sure the logs
// folder exists, private, and sweeps the old run logs out of it first. Empty when the folder is
// refused (told like any failing step).
QString GenerateNewLogFileName(const RunFiles &files);

// Names this run's archive: <program folder>/ZIPS/LOG_Archive_<computer>_yymmdd_hh_mm_ss.ZIP,
// after emptying (or creating) the ZIPS folder. Empty when the folder is refused.
QString GenerateBackupDataFileName(const RunFiles &files);

#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

class Program;

// A run at work, as current-run.json in the state folder keeps it: written when a run opens its
// log, removed once the program has recorded how the run ended. One left by a process that is
// gone tells of a run that never ended: killed (kill -9, the kernel short of memory) or stopped
// with the computer, which no process can tell of itself.
struct RunInProgress {
    QDateTime started;
    qint64 pid = 0;
    // The process's start (processStarted), which tells it from a later one of the same id.
    QByteArray processStarted;
    QString runLog;

    bool ofThisProcess() const;
    bool stillRuns() const;
};

// The run recorded; nothing when none is or current-run.json cannot be read.
std::optional<RunInProgress> recordedRun();

// A run of this process opened its log: one an earlier process began and never ended is told on
// stderr and in the system log (the next run is where it is heard), then this one is recorded.
// What cannot be written is not said here: the outcome's record, in the same folder, says it.
void noteRunStart(const Program &program, const QString &runLog);
// Once the outcome is recorded: the record of this process's run goes.
void forgetRunStart();

// What is said of a run that never ended.
QString unfinishedRunText(const RunInProgress &run);

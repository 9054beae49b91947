#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

// A run at work, as current-run.json in the state folder keeps it: written as a run begins, before
// its log is opened, and removed once the program has recorded how the run ended (in a window,
// once the run ends). One left by a process that is gone, of a run whose outcome was not recorded,
// tells of a run killed (kill -9, the kernel short of memory) or stopped with the computer, which
// no process can tell of itself.
struct RunInProgress {
    QDateTime started;
    qint64 pid = 0;
    // The process's start (processStarted), which tells it from a later one of the same id.
    QByteArray processStarted;
    QString runLog;

    bool ofThisProcess() const;
    bool stillRuns() const;
    // last-run.json names its run log: its outcome was recorded, though the record stayed (a
    // process ended between the two).
    bool outcomeRecorded() const;
};

// The run recorded; nothing when none is or current-run.json cannot be read.
std::optional<RunInProgress> recordedRun();

// As a run begins, before its log is opened, so that a kill from then on is heard: a run an
// earlier process began and never saw to its end is told on stderr and in the system log at error
// priority, and this run is recorded in its place. Gives the line this run's log is to hold of
// the earlier one, a warning (not this run's failure); empty when there was none. A record that
// cannot be written is not said here: a state folder that takes no file is said at the end, when
// the outcome cannot be recorded either.
QString recordRunStart(const QDateTime &started, const QString &runLog);
// The record of this process's run goes.
void forgetRunStart();

// What is said of a run whose outcome was never recorded.
QString unfinishedRunText(const RunInProgress &run);

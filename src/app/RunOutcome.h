#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

class Program;

// What one run of the program came to, told where those who do not sit at the window look:
// stderr and the system log (which cron and the journal keep), last-run.json in the account's
// state folder, and a metrics file for a site's monitoring.
struct RunOutcome {
    QDateTime started;
    QDateTime ended;
    int exitStatus = 0;
    qint32 errors = 0;
    // The archive delivered and verified; empty when there is none.
    QString archive;
    qint64 archiveBytes = 0;
    // The entries of the delivered archive; 0 when there is none.
    qint64 entries = 0;
    // From the start of the archive run (of the program, when none began) to the end.
    double durationSeconds = 0;
    // When the last run that ended with status 0 ended, this one or an earlier one: what tells a
    // server that fails every night from one that archives. Invalid while none has.
    QDateTime lastSuccess;
    // Empty when the run wrote none.
    QString runLog;
};

// What an exit status says, in a few words.
QString exitStatusMeaning(int status);

// The account's state folder: $XDG_STATE_HOME/sorvik, by default ~/.local/state/sorvik.
QString stateFolder();
QString lastRunFile();

// last-run.json in the state folder and, when SORVIK_METRICS_DIR names a folder, sorvik.prom
// there: each written whole or not at all. The last success is this run's end when it ended with
// 0, else the one last-run.json held. What cannot be written is told on stderr and in the system
// log; it does not change the run's exit status.
void recordRunOutcome(RunOutcome outcome);

// Far more than a file of the state folder ever takes: a larger one is not ours.
constexpr qsizetype stateFileLimit = 64 * 1024;
// A file of the state folder, read whole (up to one byte past stateFileLimit), never through a
// link, the folder's own name included; nothing when there is none. Throws FileSystemError.
std::optional<QByteArray> readStateFile(const QString &name);

// The outcome last recorded; nothing when none was. Throws Failure when last-run.json cannot be
// read or is not one of ours.
std::optional<RunOutcome> lastRunOutcome();

// The first `count` "(error)" lines of the outcome's run log, as they stand there; none when
// there is no run log or it cannot be read.
QStringList firstErrorLines(const RunOutcome &outcome, int count);

// The lines that tell a failed unattended run where cron mails it: what the status means, the
// number of "(error)" lines and the first ten of them (read back from the run log), and the run
// log's path or that there is none.
QStringList outcomeSummary(const RunOutcome &outcome);

// A start refused before any run: why, on stderr and in the system log, as a failure.
void tellRefusal(const QString &text);

// How the process that ends was started.
struct StartFacts {
    QDateTime started;
    bool unattended = false;
};

// The end of the process, with `status`: a run that has something to record records it, and an
// unattended one that failed tells its summary. A run is an unattended start, a start refused
// with status 2, or a window in which an archive run began; a window merely opened and closed, or
// a second start that brought the running window to the front, leaves the last outcome as it was.
void reportProgramEnd(Program &program, const StartFacts &start, int status);

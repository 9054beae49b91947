#pragma once

#include "common/Clock.h"
#include "platform/TextStream.h"
#include "runlog/LogPane.h"

#include <QString>
#include <QStringList>

#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class Failure;

class FileSystem;

// The run log of an archive run: a UTF-16 file per run and the live pane, both fed line by line by
// WriteLogLine, with the count of "(error)" lines of the current run. Nothing here ever throws: a
// log that cannot be written must not stop the run it describes. But such a run is not one to
// trust either: from the line that could not be written on, every line goes to stderr and the
// system log instead, and the run counts as failed (complete() is false). Handed from thread to
// thread: the archive run's while it runs, the window's before and after (takeOver).
class RunLog {
public:
    enum class StreamState { Empty, Open, Closed };

    RunLog(FileSystem &fs, QString executableName, Clock clock = systemClock());
    // Writes the lines still held.
    ~RunLog();

    void OpenRunLog(const QString &path);
    // Control characters in the event are shown escaped (see escapeControls).
    void WriteLogLine(const QString &event, bool timeStamp = true);
    // Several lines, one after the other, as WriteLogLine writes each; they reach the file with
    // one write, so that the few lines of one step cost one.
    void WriteLogLines(const QStringList &events, bool timeStamp = true);
    // Lines that may wait until the work they announce begins, stamped now: they reach the file
    // and the pane with the next lines written, at WriteHeldLines, CloseRunLog or takeOver,
    // whichever comes first, so that the lines of many files cost one write. A line that tells of
    // a problem is not held.
    void HoldLogLines(const QStringList &events);
    void WriteHeldLines();
    void CloseRunLog();
    // From now on only `owner` writes, opens and closes the log (any thread when it is the
    // default id); what another thread writes is dropped. The hand-over is under the log's lock:
    // a run that does not come back from a system call can no longer add to a log the window
    // has taken back.
    void takeOver(std::thread::id owner);

    qint32 ErrorCount() const;
    // False once a line of the current run could not reach its file.
    bool complete() const;
    StreamState state() const;
    LogPane &pane() { return m_pane; }
    // Nobody sees the pane of an unattended run: its lines then go to the file alone, which
    // spares a folder of many small files a copy of every line.
    void setPaneShown(bool shown);

private:
    // Under the lock.
    bool ownedElsewhere() const;
    void writeLine(const QString &event, bool timeStamp);
    void writeLines(const QStringList &events, bool timeStamp, bool hold = false);
    void writeHeld();
    // The same where nothing may throw (the ends and hand-overs of the log): what cannot be
    // written stays held.
    void writeHeldQuietly();
    void showInPane(const QStringList &lines, const std::vector<quint32> &colours);
    void writeToFile(const QStringList &lines);
    // The time stamp of a line written now.
    QString stamp();
    // The file is lost for the rest of this run: say why, once, where an administrator looks.
    void loseFile(const QString &reason);

    mutable std::mutex m_mutex;
    std::thread::id m_owner;
    FileSystem &m_fs;
    QString m_executableName;
    Clock m_clock;
    // Empty until the first run log of the process is opened; closed, never reset, afterwards.
    std::unique_ptr<TextStream> LogStream;
    qint32 m_errorCount = 0;
    bool m_complete = true;
    // Lines before the first run log of the process belong to no run.
    bool m_started = false;
    QString m_path;
    LogPane m_pane;
    bool m_paneShown = true;
    QStringList m_held;
    std::vector<quint32> m_heldColours;
    std::time_t m_stampSecond = 0;
    QString m_stamp;
};

// How the archive run's procedures report what they trap: one line, "(error) in <procedure> on
// frmMain:" directly followed by the failure's description.
std::function<void(const Failure &)> logFailureIn(RunLog &log, const char *procedure);

#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class DiagLineFormatter;
class File;
class FileSystem;
class Run;
struct DiagFormatTimeLimit;

// What formatting one raw file came to: the run-log lines it costs, in the order they are to be
// written, and whether the copy was written.
struct DiagFormatOutcome {
    QStringList lines;
    bool formatted = false;
    // The copy itself, when it was made in memory rather than written.
    std::optional<QByteArray> copy;
    // The formatter did not answer within the file's time limit.
    bool timedOut = false;
};

// Gives the formatter a file is formatted with; throws Failure when there is none to be had.
using DiagFormatterSource = std::function<DiagLineFormatter &()>;

// Writes the readable copy of a raw diagnostic file, line by line, through the served product's
// line formatter. Formatted when the raw file was read to its end and the copy written; not when
// the raw file is missing or cannot be read, the copy cannot be written, or the formatter cannot be
// had or fails itself (crashes, does not answer in time): the caller then archives the raw file.
// A line the formatter rejects is kept raw in the copy and costs an "(error)" line, for the first
// 100 such lines of a file; one more line counts the rest.
//
// Writes nothing to the run log, so that files can be formatted on threads of their own, each with
// a formatter of its own: the caller writes the outcome's lines. Once `stop` is set the file ends
// early, not formatted. The copy of a raw file up to `inMemoryUpTo` bytes is made in memory and
// handed back, not written at `formattedPath`: creating thousands of small files costs far more
// than formatting them; one that outgrows that (its raw file grew while it was read) is written.
// Given `rawFile` (the raw file as a listing found it), the raw file is read through the folder the
// listing opened. `withholdRaw`: a copy for a cleaned archive (see DiagWithheld).
DiagFormatOutcome formatDiagFile(const DiagFormatterSource &formatter, FileSystem &fs,
                                 const DiagFormatTimeLimit &limit, const QString &rawPath,
                                 const QString &formattedPath,
                                 const std::atomic<bool> *stop = nullptr, qint64 inMemoryUpTo = -1,
                                 const File *rawFile = nullptr, bool withholdRaw = false);

// One raw file of a group (see formatDiagFiles): the raw file, as a listing found it when
// `rawFile` is given, and its readable copy.
struct DiagFileJob {
    QString rawPath;
    QString formattedPath;
    const File *rawFile = nullptr;
    bool withholdRaw = false;
};

// What formatDiagFiles tells its caller and asks of it, the files named by their place in `jobs`.
struct DiagGroupCalls {
    // The formatter did not answer in time on a file; false: the files after it are left alone.
    std::function<bool(size_t index)> timedOut;
    // Whether the files read so far, from `index` on, are wanted now: the run waits for them.
    std::function<bool(size_t index)> wanted;
    // A file's outcome, as soon as it is known; none for a file left alone.
    std::function<void(size_t index, std::optional<DiagFormatOutcome> outcome)> done;
};

// The thread a group's files are read on (formatDiagFiles), kept from group to group by a caller
// that formats many: starting a thread for each group cost more than reading its files.
class DiagGroupReading {
public:
    DiagGroupReading();
    ~DiagGroupReading();
    DiagGroupReading(const DiagGroupReading &) = delete;
    DiagGroupReading &operator=(const DiagGroupReading &) = delete;

    // Runs `job` on the thread (on the caller's, when none could be started); the job before it
    // must have ended (finish).
    void start(std::function<void()> job);
    // Waits until the job ends.
    void finish();

private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::function<void()> m_job;
    bool m_busy = false;
    bool m_quitting = false;
    std::thread m_thread;
};

// Formats small raw files as formatDiagFile formats each (their copies in memory, up to
// `inMemoryUpTo`, at least `smallFile`), with one round trip to the formatter for the lines of
// many: each file is read whole, on a thread of its own, and the files read go to the formatter
// together once all are read, or sooner when the caller wants them, even while a read stalls. The
// calls come on the calling thread, which alone uses the formatter. Each file keeps its own time
// limit, and a formatter that crashes or hangs costs only the file whose line it failed on: the
// others are given again, to a fresh one. A file larger than `smallFile` bytes, or with a line
// longer than a block, is formatted alone.
void formatDiagFiles(const DiagFormatterSource &formatter, FileSystem &fs,
                     const DiagFormatTimeLimit &limit, const std::vector<DiagFileJob> &jobs,
                     const std::atomic<bool> *stop, qint64 smallFile, qint64 inMemoryUpTo,
                     const DiagGroupCalls &calls, DiagGroupReading *reading = nullptr);

// The same with the run's one formatter, its lines then written to the run log.
bool strFormatDiagFile(Run &run, const QString &rawPath, const QString &formattedPath);

// The outcome of a raw file that is not handed to the formatter at all; `reason`, unless empty, is
// its "(error)" line.
DiagFormatOutcome diagFileNotFormatted(const QString &rawPath, const QString &reason);

#pragma once

#include "archive/DiagFormatting.h"
#include "common/Failure.h"
#include "platform/Components.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class File;
class FileSystem;
class Run;

// Formats the run's diagnostic files on worker threads, each with a formatter of its own, a few
// files ahead of the main thread, which takes the outcomes strictly in file order: the run log and
// the pane read exactly as if each file were formatted when its turn came. Small files go to the
// formatter several at a time (formatDiagFiles), each keeping its own time limit.
class FormattingAhead {
public:
    // `rawFiles`, from the folder's listing, which must outlive this, are formatted in this order
    // into copies in `copyFolder`; copies of raw files up to `inMemoryUpTo` bytes are made in
    // memory (see formatDiagFile); for a cleaned archive, without their raw parts.
    FormattingAhead(Run &run, std::vector<const File *> rawFiles, QString copyFolder,
                    qint64 inMemoryUpTo, bool withholdRaw);
    ~FormattingAhead() { stop(); }
    FormattingAhead(const FormattingAhead &) = delete;
    FormattingAhead &operator=(const FormattingAhead &) = delete;

    // The readable copy of a raw file named `name`.
    static QString copyPath(const QString &copyFolder, const QString &name);

    // The outcome of the next file, waiting for it when it is not formatted yet and calling
    // `waiting` meanwhile, so that a window goes on answering; it may stop the work.
    DiagFormatOutcome takeNext(const std::function<void()> &waiting);

    // Ends the work at the next line of each file in progress and waits for the workers; their
    // formatters and helper processes end with them.
    void stop();

private:
    // Whether a worker may take the next file with at most `files` and `bytes` formatted ahead of
    // the main thread. Called with the mutex held.
    bool mayTake(size_t files, qint64 bytes) const;
    // Wakes the workers waiting for room ahead once the run has taken enough, in files or in the
    // bytes of copies held, for them to go on. Called with the mutex held.
    void wakeIfRoom();
    // The files a worker takes at once from the next one on: several small ones, or one. Called
    // with the mutex held.
    size_t groupAt(size_t first) const;
    void work(size_t worker);
    // Formats files `first` to `first + count`, telling `done` of each (by its place among them);
    // a group of them is read on the worker's `reading` thread.
    void format(size_t worker, size_t first, size_t count, DiagGroupReading &reading,
                const std::function<void(size_t, std::optional<DiagFormatOutcome>)> &done);
    // Notes whether the formatter timed out on file `index`, giving it up after too many in a
    // row; false once it is given up. Called with the mutex held.
    bool noteTimeOut(size_t index, bool timedOut);
    // The files in file order around `index` whose formatter timed out, `index` among them.
    // Called with the mutex held.
    size_t timedOutInARow(size_t index) const;
    // Where the outcome of file `index` waits until it is taken.
    DiagFormatOutcome &slot(size_t index) { return m_outcomes[index % m_outcomes.size()]; }

    FileSystem &m_fs;
    const qint64 m_inMemoryUpTo;
    const bool m_withholdRaw;
    const DiagFormatTimeLimit m_limit;
    const std::vector<const File *> m_files;
    const QString m_copyFolder;
    std::vector<std::unique_ptr<DiagLineFormatter>> m_formatters;
    std::vector<std::optional<Failure>> m_failures;
    std::vector<std::thread> m_threads;
    size_t m_alwaysAhead = 1;

    std::mutex m_mutex;
    std::condition_variable m_wake;     // a worker may take the next file, or stop
    std::condition_variable m_finished; // a file is done, or the work stops
    // The outcomes of the files between the one the main thread takes next and the last one a
    // worker took, in a ring as long as the look-ahead allows.
    std::vector<DiagFormatOutcome> m_outcomes;
    std::vector<bool> m_done;
    std::vector<bool> m_timedOut;      // the formatter timed out on the file
    bool m_givenUp = false;            // no file taken from now on is formatted
    QString m_givenUpReason;           // said on the first of them
    std::vector<qint64> m_bytesBefore; // the raw bytes of the files before each one
    qint64 m_heldBytes = 0;            // the copies done ahead in memory, not yet taken
    size_t m_idle = 0;                 // workers waiting for room ahead
    size_t m_next = 0;                 // the next file a worker takes
    size_t m_taken = 0;                // the files the main thread took or waits for
    // m_taken, for a group's reading thread to look at after each file without the lock.
    std::atomic<size_t> m_asked = 0;
    bool m_stopping = false;
    std::atomic<bool> m_cancel = false;
};

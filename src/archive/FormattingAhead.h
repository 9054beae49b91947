#pragma once

#include "app/Run.h"
#include "archive/DiagFormatting.h"
#include "common/Failure.h"
#include "platform/Components.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// One diagnostic file to format: its raw file, its readable copy, and the raw file's size when
// the folder was read.
struct FormattingJob {
    QString raw;
    QString formatted;
    qint64 bytes = 0;
    // The raw file as the listing found it: read through the folder the listing opened.
    std::optional<File> rawFile;
};

// Formats the run's diagnostic files on worker threads, each with a formatter of its own, a few
// files ahead of the main thread, which takes the outcomes strictly in file order: the run log and
// the pane read exactly as if each file were formatted when its turn came.
class FormattingAhead {
public:
    // Copies of raw files up to `inMemoryUpTo` bytes are made in memory (see formatDiagFile).
    FormattingAhead(Run &run, std::vector<FormattingJob> jobs, qint64 inMemoryUpTo)
        : m_fs(run.fileSystem())
        , m_inMemoryUpTo(inMemoryUpTo)
        , m_limit(run.FormatTimeLimit)
        , m_jobs(std::move(jobs))
        , m_outcomes(m_jobs.size())
        , m_done(m_jobs.size(), false)
        , m_timedOut(m_jobs.size(), false)
        , m_bytesBefore(m_jobs.size() + 1, 0)
    {
        for (size_t i = 0; i < m_jobs.size(); ++i)
            m_bytesBefore[i + 1] = m_bytesBefore[i] + std::max<qint64>(m_jobs[i].bytes, 0);
        const size_t workers =
            std::min<size_t>(std::max(std::thread::hardware_concurrency(), 1U), m_jobs.size());
        // A few files ahead whatever their size, so that no worker waits while the main thread
        // adds one.
        m_alwaysAhead = workers + 2;
        // Made here, on the main thread, where the registry and the loader are read: each file
        // that cannot have one says why, as it would have with the program's own.
        m_formatters.resize(workers);
        m_failures.resize(workers);
        for (size_t i = 0; i < workers; ++i)
            trap([&] { m_formatters[i] = run.createDiagLineFormatter(); },
                 [&](const Failure &f) { m_failures[i].emplace(f); });
        // Their helper processes too, before any worker thread (ours or the archive's) runs: a
        // process started among running threads is what once made a run hang. One that cannot
        // start now is tried again, and reported, at its first file.
        for (const auto &formatter : m_formatters)
            if (formatter)
                trapSilently([&] { formatter->start(); });
        m_threads.reserve(workers);
        for (size_t i = 0; i < workers; ++i)
            m_threads.emplace_back([this, i] { work(i); });
    }
    ~FormattingAhead() { stop(); }
    FormattingAhead(const FormattingAhead &) = delete;
    FormattingAhead &operator=(const FormattingAhead &) = delete;

    // The outcome of the next file, waiting for it when it is not formatted yet and calling
    // `waiting` meanwhile, so that a window goes on answering; it may stop the work.
    DiagFormatOutcome takeNext(const std::function<void()> &waiting)
    {
        std::unique_lock lock(m_mutex);
        const size_t index = m_taken++;
        if (m_idle > 0 && mayTake(resumeFiles, resumeBytes))
            m_wake.notify_all();
        const auto ready = [&] { return m_stopping || index >= m_jobs.size() || m_done[index]; };
        while (!m_finished.wait_for(lock, std::chrono::milliseconds(20), ready)) {
            lock.unlock();
            waiting();
            lock.lock();
        }
        if (index >= m_jobs.size() || !m_done[index])
            return {};
        return std::move(m_outcomes[index]);
    }

    // Ends the work at the next line of each file in progress and waits for the workers; their
    // formatters and helper processes end with them.
    void stop()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_cancel.store(true);
        for (const auto &formatter : m_formatters)
            if (formatter)
                formatter->interrupt();
        m_wake.notify_all();
        m_finished.notify_all();
        for (std::thread &thread : m_threads)
            if (thread.joinable())
                thread.join();
        m_formatters.clear();
    }

private:
    // Small files are formatted far ahead, so that the workers and the main thread do not take
    // turns file by file; what the copies made ahead may hold in memory stays bounded by the raw
    // bytes ahead.
    static constexpr size_t aheadFiles = 64;
    static constexpr qint64 aheadBytes = 8 << 20;
    static constexpr size_t resumeFiles = aheadFiles / 2;
    static constexpr qint64 resumeBytes = aheadBytes / 2;
    // A formatter that did not answer in time on this many files in a row is given up for the
    // rest of the run: waiting out its time limit on every file would hold the run for hours.
    static constexpr size_t givenUpAfter = 3;

    // Whether a worker may take the next file with at most `files` and `bytes` formatted ahead of
    // the main thread. Called with the mutex held.
    bool mayTake(size_t files, qint64 bytes) const
    {
        if (m_next >= m_jobs.size() || m_next < m_taken + m_alwaysAhead)
            return true;
        const size_t from = std::min(m_taken, m_next);
        return m_next - from < files && m_bytesBefore[m_next + 1] - m_bytesBefore[from] <= bytes;
    }

    void work(size_t worker)
    {
        const DiagFormatterSource formatter = [&]() -> DiagLineFormatter & {
            if (m_failures[worker])
                throw *m_failures[worker];
            return *m_formatters[worker];
        };
        std::unique_lock lock(m_mutex);
        for (;;) {
            // A worker that finds the look-ahead full sleeps until it has half emptied: one
            // wake-up for many files, not one per file the main thread takes.
            if (!mayTake(aheadFiles, aheadBytes)) {
                ++m_idle;
                m_wake.wait(lock, [&] {
                    return m_stopping || m_next >= m_jobs.size() ||
                           mayTake(resumeFiles, resumeBytes);
                });
                --m_idle;
            }
            if (m_stopping || m_next >= m_jobs.size())
                return;
            const size_t index = m_next++;
            if (m_givenUp) {
                m_outcomes[index] = diagFileNotFormatted(m_jobs[index].raw,
                                                         std::exchange(m_givenUpReason, QString()));
                m_done[index] = true;
                m_finished.notify_all();
                continue;
            }
            lock.unlock();
            DiagFormatOutcome outcome;
            try {
                const FormattingJob &job = m_jobs[index];
                outcome =
                    formatDiagFile(formatter, m_fs, m_limit, job.raw, job.formatted, &m_cancel,
                                   m_inMemoryUpTo, job.rawFile ? &*job.rawFile : nullptr);
            } catch (...) {
                // Nothing may leave a worker; the file goes in raw, its failure untold.
                outcome = DiagFormatOutcome{};
            }
            lock.lock();
            m_timedOut[index] = outcome.timedOut;
            if (outcome.timedOut && !m_givenUp && timedOutInARow(index) >= givenUpAfter) {
                m_givenUp = true;
                m_givenUpReason =
                    QStringLiteral("The diagnostic line formatter of Orvel did not answer in time "
                                   "on %1 diagnostic files in a row and is not used for the rest "
                                   "of this run: this file and the diagnostic files after it go "
                                   "into the archive unformatted")
                        .arg(givenUpAfter);
            }
            m_outcomes[index] = std::move(outcome);
            m_done[index] = true;
            m_finished.notify_all();
        }
    }

    // The files in file order around `index` whose formatter timed out, `index` among them.
    // Called with the mutex held.
    size_t timedOutInARow(size_t index) const
    {
        size_t first = index;
        while (first > 0 && m_timedOut[first - 1])
            --first;
        size_t last = index;
        while (last + 1 < m_jobs.size() && m_timedOut[last + 1])
            ++last;
        return last - first + 1;
    }

    FileSystem &m_fs;
    const qint64 m_inMemoryUpTo;
    const DiagFormatTimeLimit m_limit;
    const std::vector<FormattingJob> m_jobs;
    std::vector<std::unique_ptr<DiagLineFormatter>> m_formatters;
    std::vector<std::optional<Failure>> m_failures;
    std::vector<std::thread> m_threads;
    size_t m_alwaysAhead = 1;

    std::mutex m_mutex;
    std::condition_variable m_wake;     // a worker may take the next file, or stop
    std::condition_variable m_finished; // a file is done, or the work stops
    std::vector<DiagFormatOutcome> m_outcomes;
    std::vector<bool> m_done;
    std::vector<bool> m_timedOut;      // the formatter timed out on the file
    bool m_givenUp = false;            // no file taken from now on is formatted
    QString m_givenUpReason;           // said on the first of them
    std::vector<qint64> m_bytesBefore; // the raw bytes of the files before each one
    size_t m_idle = 0;                 // workers waiting for room ahead
    size_t m_next = 0;                 // the next file a worker takes
    size_t m_taken = 0;                // the files the main thread took or waits for
    bool m_stopping = false;
    std::atomic<bool> m_cancel = false;
};

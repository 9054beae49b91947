#include "archive/FormattingAhead.h"

#include "app/Run.h"
#include "platform/FileSystem.h"

#include <QStringBuilder>

#include <algorithm>
#include <chrono>
#include <system_error>

namespace {

// Small files are formatted far ahead, so that the workers and the main thread do not take turns
// file by file. The bytes bound both the raw files ahead, as listed, and the copies made ahead and
// held in memory, as made: a file that grew after the listing, or a copy longer than its raw
// file, must not let 512 copies of a megabyte wait. With 200,000 files of 200 bytes, 512 ahead and
// groups of 64 (against 128 and 32) halve the run's context switches and take a tenth off its time.
constexpr size_t aheadFiles = 512;
constexpr qint64 aheadBytes = 8 << 20;
constexpr size_t resumeFiles = aheadFiles / 2;
constexpr qint64 resumeBytes = aheadBytes / 2;
// Files up to `groupedUpTo` bytes go to the formatter up to `groupFiles` and `groupBytes` at once:
// a round trip to its helper for every small file cost more than formatting it.
constexpr qint64 groupedUpTo = 64 << 10;
constexpr size_t groupFiles = 64;
constexpr qint64 groupBytes = 256 << 10;
// A formatter that did not answer in time on this many files in a row is given up for the rest
// of the run: waiting out its time limit on every file would hold the run for hours.
constexpr size_t givenUpAfter = 3;

} // namespace

QString FormattingAhead::copyPath(const QString &copyFolder, const QString &name)
{
    return copyFolder % QLatin1Char('/') % name % QLatin1String(".fmtd.txt");
}

FormattingAhead::FormattingAhead(Run &run, std::vector<const File *> rawFiles, QString copyFolder,
                                 qint64 inMemoryUpTo, bool withholdRaw)
    : m_fs(run.fileSystem())
    , m_inMemoryUpTo(inMemoryUpTo)
    , m_withholdRaw(withholdRaw)
    , m_limit(run.FormatTimeLimit)
    , m_files(std::move(rawFiles))
    , m_copyFolder(std::move(copyFolder))
    , m_done(m_files.size(), false)
    , m_timedOut(m_files.size(), false)
    , m_bytesBefore(m_files.size() + 1, 0)
{
    for (size_t i = 0; i < m_files.size(); ++i)
        m_bytesBefore[i + 1] = m_bytesBefore[i] + std::max<qint64>(m_files[i]->Size(), 0);
    const size_t workers =
        std::min<size_t>(std::max(std::thread::hardware_concurrency(), 1U), m_files.size());
    // A few files ahead whatever their size, so that no worker waits while the main thread adds
    // one.
    m_alwaysAhead = workers + 2;
    // The files taken and not yet handed over, and the one being handed over.
    m_outcomes.resize(std::max(m_alwaysAhead, aheadFiles) + 2);
    // Made here, on the main thread, where the registry and the loader are read: each file that
    // cannot have one says why, as it would have with the program's own.
    m_formatters.resize(workers);
    m_failures.resize(workers);
    for (size_t i = 0; i < workers; ++i)
        trap([&] { m_formatters[i] = run.createDiagLineFormatter(); },
             [&](const Failure &f) { m_failures[i].emplace(f); });
    // Their helper processes too, before any worker thread (ours or the archive's) runs: a
    // process started among running threads is what once made a run hang. One that cannot start
    // now is tried again, and reported, at its first file.
    for (const auto &formatter : m_formatters)
        if (formatter)
            trapSilently([&] { formatter->start(); });
    m_threads.reserve(workers);
    // Fewer workers where the system will not start more; with none, the files go in raw, and
    // the first of them says why.
    try {
        for (size_t i = 0; i < workers; ++i)
            m_threads.emplace_back([this, i] { work(i); });
    } catch (const std::system_error &error) {
        if (m_threads.empty())
            m_givenUpReason = QStringLiteral("No thread could be started to format the diagnostic "
                                             "files, which go into the archive unformatted: %1")
                                  .arg(QString::fromLocal8Bit(error.code().message()));
    }
}

DiagFormatOutcome FormattingAhead::takeNext(const std::function<void()> &waiting)
{
    std::unique_lock lock(m_mutex);
    const size_t index = m_taken++;
    if (m_threads.empty())
        return index < m_files.size() ? diagFileNotFormatted(m_files[index]->Path(),
                                                             std::exchange(m_givenUpReason, {}))
                                      : DiagFormatOutcome{};
    m_asked.store(m_taken, std::memory_order_relaxed);
    wakeIfRoom();
    const auto ready = [&] { return m_stopping || index >= m_files.size() || m_done[index]; };
    while (!m_finished.wait_for(lock, std::chrono::milliseconds(20), ready)) {
        lock.unlock();
        waiting();
        lock.lock();
    }
    if (index >= m_files.size() || !m_done[index])
        return {};
    DiagFormatOutcome outcome = std::move(slot(index));
    m_heldBytes -= outcome.copy ? outcome.copy->size() : 0;
    wakeIfRoom();
    return outcome;
}

void FormattingAhead::wakeIfRoom()
{
    if (m_idle > 0 && mayTake(resumeFiles, resumeBytes))
        m_wake.notify_all();
}

void FormattingAhead::stop()
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

bool FormattingAhead::mayTake(size_t files, qint64 bytes) const
{
    if (m_next >= m_files.size() || m_next < m_taken + m_alwaysAhead)
        return true;
    const size_t from = std::min(m_taken, m_next);
    return m_next - from < files && m_bytesBefore[m_next + 1] - m_bytesBefore[from] <= bytes &&
           m_heldBytes <= bytes;
}

size_t FormattingAhead::groupAt(size_t first) const
{
    const auto bytesOf = [&](size_t i) { return m_bytesBefore[i + 1] - m_bytesBefore[i]; };
    if (m_givenUp || bytesOf(first) > groupedUpTo || m_inMemoryUpTo < groupedUpTo)
        return 1;
    size_t count = 1;
    qint64 bytes = bytesOf(first);
    // Each further file must fit the look-ahead as if taken alone.
    for (size_t next = first + 1; next < m_files.size() && count < groupFiles; ++next, ++count) {
        const size_t ahead = next - std::min(m_taken, next);
        bytes += bytesOf(next);
        if (bytesOf(next) > groupedUpTo || bytes > groupBytes ||
            (next >= m_taken + m_alwaysAhead &&
             (ahead >= aheadFiles ||
              m_bytesBefore[next + 1] - m_bytesBefore[m_taken] > aheadBytes)))
            break;
    }
    return count;
}

void FormattingAhead::work(size_t worker)
{
    DiagGroupReading reading;
    std::unique_lock lock(m_mutex);
    for (;;) {
        // A worker that finds the look-ahead full sleeps until it has half emptied: one wake-up
        // for many files, not one per file the main thread takes.
        if (!mayTake(aheadFiles, aheadBytes)) {
            ++m_idle;
            m_wake.wait(lock, [&] {
                return m_stopping || m_next >= m_files.size() || mayTake(resumeFiles, resumeBytes);
            });
            --m_idle;
        }
        if (m_stopping || m_next >= m_files.size())
            return;
        const size_t first = m_next;
        const size_t count = groupAt(first);
        m_next += count;
        if (m_givenUp) {
            slot(first) = diagFileNotFormatted(m_files[first]->Path(),
                                               std::exchange(m_givenUpReason, QString()));
            m_done[first] = true;
            m_finished.notify_all();
            continue;
        }
        lock.unlock();
        std::vector<bool> told(count, false);
        const auto done = [&](size_t i, std::optional<DiagFormatOutcome> outcome) {
            const std::lock_guard held(m_mutex);
            const size_t index = first + i;
            told[i] = true;
            if (!outcome) {
                // Left alone once the formatter was given up.
                slot(index) = diagFileNotFormatted(m_files[index]->Path(),
                                                   std::exchange(m_givenUpReason, QString()));
            } else {
                noteTimeOut(index, outcome->timedOut);
                m_heldBytes += outcome->copy ? outcome->copy->size() : 0;
                slot(index) = std::move(*outcome);
            }
            m_done[index] = true;
            m_finished.notify_all();
        };
        try {
            format(worker, first, count, reading, done);
        } catch (...) {
            // Nothing may leave a worker; the files go in raw, their failure untold.
            for (size_t i = 0; i < count; ++i)
                if (!told[i])
                    done(i, DiagFormatOutcome{});
        }
        lock.lock();
    }
}

bool FormattingAhead::noteTimeOut(size_t index, bool timedOut)
{
    m_timedOut[index] = timedOut;
    if (timedOut && !m_givenUp && timedOutInARow(index) >= givenUpAfter) {
        m_givenUp = true;
        m_givenUpReason =
            QStringLiteral("The diagnostic line formatter of Orvel did not answer in time on %1 "
                           "diagnostic files in a row and is not used for the rest of this run: "
                           "this file and the diagnostic files after it go into the archive "
                           "unformatted")
                .arg(givenUpAfter);
    }
    return !m_givenUp;
}

void FormattingAhead::format(
    size_t worker, size_t first, size_t count, DiagGroupReading &reading,
    const std::function<void(size_t, std::optional<DiagFormatOutcome>)> &done)
{
    const DiagFormatterSource formatter = [&]() -> DiagLineFormatter & {
        if (m_failures[worker])
            throw *m_failures[worker];
        return *m_formatters[worker];
    };
    std::vector<DiagFileJob> jobs;
    jobs.reserve(count);
    for (size_t i = first; i < first + count; ++i)
        jobs.push_back({m_files[i]->Path(), copyPath(m_copyFolder, m_files[i]->Name()), m_files[i],
                        m_withholdRaw});
    if (count == 1) {
        done(0, formatDiagFile(formatter, m_fs, m_limit, jobs[0].rawPath, jobs[0].formattedPath,
                               &m_cancel, m_inMemoryUpTo, jobs[0].rawFile, m_withholdRaw));
        return;
    }
    DiagGroupCalls calls;
    calls.timedOut = [&](size_t i) {
        const std::lock_guard lock(m_mutex);
        return noteTimeOut(first + i, true);
    };
    // The run waits for a file of the group already read: those read go to the formatter now.
    calls.wanted = [&](size_t i) { return m_asked.load(std::memory_order_relaxed) > first + i; };
    calls.done = done;
    formatDiagFiles(formatter, m_fs, m_limit, jobs, &m_cancel, groupedUpTo, m_inMemoryUpTo, calls,
                    &reading);
}

size_t FormattingAhead::timedOutInARow(size_t index) const
{
    size_t first = index;
    while (first > 0 && m_timedOut[first - 1])
        --first;
    size_t last = index;
    while (last + 1 < m_files.size() && m_timedOut[last + 1])
        ++last;
    return last - first + 1;
}

#include "archive/DiagFile.h"
#include "archive/DiagFormatting.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// A file of a group, from its first look to its outcome.
struct Member {
    const DiagFileJob *job;
    DiagFormatOutcome outcome;
    qint64 bytes = 0;
    std::unique_ptr<DiagFile> file;
    std::unique_ptr<DiagCopy> copy;
    // Read whole and waiting for the formatter's answers.
    bool waiting = false;
    // Not a file to hold whole after all (larger, or a line past a block): formatted alone.
    bool alone = false;
};

// Reads a file of the group whole, as formatDiagFile would read it, up to where its lines go to
// the formatter.
void readWhole(Member &m, const DiagFormatterSource &formatter, FileSystem &fs,
               const DiagFormatTimeLimit &limit, const std::atomic<bool> *stop, qint64 smallFile,
               qint64 inMemoryUpTo)
{
    const DiagFileJob &job = *m.job;
    QStringList &log = m.outcome.lines;
    // A file of the listing is opened first and its size taken from what was opened: one look
    // in the folder fewer than asking its size by name and opening it after (200,000 small
    // files, a folder's worth of lookups). A file that will not open is looked at and opened as
    // before, which says why.
    std::unique_ptr<TextStream> in;
    if (job.rawFile)
        trapSilently([&] { in = fs.OpenListedTextFile(*job.rawFile); });
    if (!diagFirstLook(log, fs, job.rawPath, job.rawFile, m.bytes, in.get()))
        return;
    if (m.bytes > smallFile) {
        m.alone = true;
        return;
    }
    m.file = std::make_unique<DiagFile>(formatter, job.rawPath, log, true, job.withholdRaw);
    if (!m.file->begin(limit, m.bytes)) {
        m.outcome.timedOut = m.file->timedOut();
        return;
    }
    const auto report = [&](const Failure &f) { m.file->report(f); };
    m.copy = std::make_unique<DiagCopy>(fs, job.formattedPath, inMemoryUpTo);
    if (!trap(
            [&] {
                if (!in)
                    in = job.rawFile ? fs.OpenListedTextFile(*job.rawFile)
                                     : fs.OpenTextFile(job.rawPath);
            },
            report) ||
        !trap([&] { m.copy->open(true); }, report))
        return;
    const bool readToEnd = readDiagLines(*m.file, *in, m.bytes, *m.copy, stop, report, job.rawFile);
    trapSilently([&] { in->Close(); });
    if (m.file->tooLong()) {
        m.alone = true;
        return;
    }
    m.waiting = readToEnd;
    if (!readToEnd)
        m.file->reportUnlisted();
}

// The answers for a file of the group (from `from` on) go into its copy, which is then done.
void finish(Member &m, const std::vector<FormattedLine> &answers, size_t from)
{
    bool written = m.file->write(answers, from, *m.copy);
    m.file->reportUnlisted();
    // A copy that outgrew memory went on in its file: what is buffered must reach it.
    if (written && !trap([&] { m.copy->flush(); }, [&](const Failure &f) { m.file->report(f); }))
        written = false;
    if (written) {
        m.outcome.lines << QStringLiteral("    Formatting complete to:") +
                               shownPath(m.job->formattedPath);
        m.outcome.copy = m.copy->take();
        m.outcome.formatted = true;
    }
    trapSilently([&] { m.copy->close(); });
    m.outcome.timedOut = m.file->timedOut();
}

} // namespace

namespace {

// One round trip for the lines of the files of `members` that wait for the formatter; when it
// fails on a file's line, that file is lost and the others are given again, to a fresh formatter.
// Gives the first file from which the rest are left alone (the formatter was given up), or
// `members.size()`.
size_t formatWaiting(std::vector<Member> &members, size_t begin, size_t end,
                     const DiagFormatterSource &formatter, const DiagFormatTimeLimit &limit,
                     const DiagGroupCalls &calls)
{
    size_t givenUpFrom = members.size();
    for (;;) {
        std::vector<Member *> waiting;
        QStringList lines;
        std::vector<DiagLineFormatter::FileLines> spans;
        for (size_t i = begin; i < std::min(end, givenUpFrom); ++i) {
            Member &m = members[i];
            if (!m.waiting)
                continue;
            for (const DiagLine &line : m.file->held())
                lines << line.current;
            waiting.push_back(&m);
            spans.push_back({lines.size(), limit.forBytes(m.bytes)});
        }
        if (waiting.empty())
            return givenUpFrom;
        std::vector<FormattedLine> answers;
        const bool answered =
            lines.isEmpty() ||
            trap([&] { answers = formatter().FormatFiles(lines, spans); },
                 [&](const Failure &f) {
                     const auto *failed = dynamic_cast<const FormatterFailure *>(&f);
                     const qsizetype at = std::clamp<qsizetype>(
                         failed ? failed->line() : 0, 0, std::max<qsizetype>(lines.size(), 1) - 1);
                     size_t culprit = 0;
                     while (spans[culprit].end <= at && culprit + 1 < spans.size())
                         ++culprit;
                     const qsizetype first = culprit == 0 ? 0 : spans[culprit - 1].end;
                     Member &lost = *waiting[culprit];
                     lost.file->failedOn(f, size_t(at - first));
                     lost.file->reportUnlisted();
                     lost.outcome.timedOut = lost.file->timedOut();
                     trapSilently([&] { lost.copy->close(); });
                     lost.waiting = false;
                     const size_t index = size_t(&lost - members.data());
                     if (lost.outcome.timedOut && calls.timedOut && !calls.timedOut(index))
                         givenUpFrom = index + 1;
                 });
        if (!answered)
            continue;
        if (answers.size() != size_t(lines.size())) {
            for (Member *m : waiting)
                m->waiting = false;
            return givenUpFrom;
        }
        qsizetype from = 0;
        for (size_t i = 0; i < waiting.size(); ++i) {
            finish(*waiting[i], answers, size_t(from));
            waiting[i]->waiting = false;
            from = spans[i].end;
        }
    }
}

} // namespace

namespace {

// The reading side of a group: reads its files whole, in order, on a thread of its own, and hands
// each over to the calling thread once read, so that a read that stalls (a file on a hung mount)
// holds up only the files after it: those read before it go to the formatter when the run asks.
class GroupReader {
public:
    GroupReader(std::vector<Member> &members, const std::function<void(Member &)> &read,
                const std::function<bool(size_t)> &wanted, DiagGroupReading &reading)
        : m_members(members)
        , m_read(read)
        , m_wanted(wanted)
        , m_leaveFrom(members.size())
        , m_reading(reading)
    {
        m_reading.start([this] { readAll(); });
    }
    ~GroupReader()
    {
        told(m_members.size(), 0);
        m_reading.finish();
    }
    GroupReader(const GroupReader &) = delete;
    GroupReader &operator=(const GroupReader &) = delete;

    // Waits until more than `handed` files are handed over and one of them is formatted alone or
    // the last, or, when `eager`, any; or for a short while at most, so that the caller can ask
    // again whether the run waits. Gives how many files are handed over: the caller's from then on.
    size_t wait(size_t handed, bool eager)
    {
        std::unique_lock lock(m_mutex);
        m_eager = eager;
        m_handedOver.wait_for(lock, std::chrono::milliseconds(5),
                              [&] { return m_signalled || (eager && m_handed > handed); });
        m_signalled = false;
        m_eager = false;
        return m_handed;
    }

    // The files before `told` are told of; those from `leaveFrom` on are handed over unread.
    void told(size_t told, size_t leaveFrom)
    {
        const std::lock_guard lock(m_mutex);
        m_told = told;
        m_leaveFrom = std::min(m_leaveFrom, leaveFrom);
    }

private:
    void readAll()
    {
        for (size_t i = 0; i < m_members.size(); ++i) {
            bool read = false;
            {
                const std::lock_guard lock(m_mutex);
                read = i < m_leaveFrom;
            }
            try {
                if (read)
                    m_read(m_members[i]);
            } catch (...) {
                // Nothing may leave the thread; the files from here on go in raw, untold.
                hand(m_members.size(), true);
                return;
            }
            hand(i + 1, m_members[i].alone);
        }
    }

    // A file read is handed over at once when the run waits for it or one before it.
    void hand(size_t handed, bool alone)
    {
        size_t told = 0;
        {
            const std::lock_guard lock(m_mutex);
            told = m_told;
        }
        const bool wanted = m_wanted && told < handed && m_wanted(told);
        const std::lock_guard lock(m_mutex);
        m_handed = handed;
        if (alone || wanted || m_eager || handed == m_members.size()) {
            m_signalled = true;
            m_handedOver.notify_one();
        }
    }

    std::vector<Member> &m_members;
    const std::function<void(Member &)> &m_read;
    const std::function<bool(size_t)> &m_wanted;
    std::mutex m_mutex;
    std::condition_variable m_handedOver;
    size_t m_handed = 0;
    size_t m_told = 0;
    size_t m_leaveFrom;
    bool m_eager = false;
    bool m_signalled = false;
    DiagGroupReading &m_reading;
};

} // namespace

DiagGroupReading::DiagGroupReading()
{
    // Where the system starts no more threads, the reading is done by the caller, before its
    // group goes to the formatter: slower, never lost.
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error &) {
    }
}

DiagGroupReading::~DiagGroupReading()
{
    if (!m_thread.joinable())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_quitting = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void DiagGroupReading::start(std::function<void()> job)
{
    if (!m_thread.joinable()) {
        job();
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_job = std::move(job);
        m_busy = true;
    }
    m_changed.notify_all();
}

void DiagGroupReading::finish()
{
    if (!m_thread.joinable())
        return;
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return !m_busy; });
}

void DiagGroupReading::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return m_quitting || m_busy; });
        if (!m_busy)
            return;
        const std::function<void()> job = std::move(m_job);
        lock.unlock();
        job();
        lock.lock();
        m_busy = false;
        m_changed.notify_all();
    }
}

void formatDiagFiles(const DiagFormatterSource &formatter, FileSystem &fs,
                     const DiagFormatTimeLimit &limit, const std::vector<DiagFileJob> &jobs,
                     const std::atomic<bool> *stop, qint64 smallFile, qint64 inMemoryUpTo,
                     const DiagGroupCalls &calls, DiagGroupReading *reading)
{
    std::vector<Member> members(jobs.size());
    for (size_t i = 0; i < jobs.size(); ++i)
        members[i].job = &jobs[i];
    if (members.empty())
        return;
    // The formatter is had here, on this thread, which alone uses it; the reading thread only
    // asks for it again, to tell a file that there is none.
    trapSilently([&] { formatter(); });
    const std::function<void(Member &)> read = [&](Member &m) {
        readWhole(m, formatter, fs, limit, stop, smallFile, inMemoryUpTo);
    };
    // Files from here on are left alone: the formatter was given up.
    size_t givenUpFrom = jobs.size();
    // The files read and not yet told of, from `begin`; `seen` those looked at.
    size_t begin = 0;
    size_t seen = 0;
    size_t handed = 0;
    std::optional<DiagGroupReading> own;
    GroupReader reader(members, read, calls.wanted, reading ? *reading : own.emplace());
    const auto send = [&](size_t end) {
        givenUpFrom =
            std::min(givenUpFrom, formatWaiting(members, begin, end, formatter, limit, calls));
        for (; begin < end; ++begin) {
            Member &m = members[begin];
            if (begin >= givenUpFrom) {
                calls.done(begin, std::nullopt);
                continue;
            }
            if (m.alone)
                m.outcome =
                    formatDiagFile(formatter, fs, limit, m.job->rawPath, m.job->formattedPath, stop,
                                   inMemoryUpTo, m.job->rawFile, m.job->withholdRaw);
            // A file of the group that timed out was told of already.
            if (m.alone && m.outcome.timedOut && calls.timedOut && !calls.timedOut(begin))
                givenUpFrom = begin + 1;
            calls.done(begin, std::move(m.outcome));
        }
        reader.told(begin, givenUpFrom);
    };
    for (;;) {
        // The files read so far go to the formatter at the end, before a file formatted alone,
        // and as soon as the run waits for one of them.
        while (seen < handed) {
            const Member &m = members[seen++];
            if (m.alone || seen == members.size())
                send(seen);
        }
        if (begin == members.size())
            return;
        const bool wanted = calls.wanted && calls.wanted(begin);
        if (wanted && handed > begin)
            send(handed);
        else
            handed = reader.wait(handed, wanted);
    }
}

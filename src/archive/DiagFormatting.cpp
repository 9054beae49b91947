#include "archive/DiagFormatting.h"

#include "app/Run.h"
#include "archive/DiagFile.h"
#include "common/Failure.h"

#include <algorithm>
#include <memory>
#include <vector>

using namespace DiagCopyLimits;

namespace {

// The first line of a raw file's outcome, and whether the file is there to be formatted; its
// size in `bytes`. A missing file costs one more line.
bool firstLook(QStringList &log, FileSystem &fs, const QString &rawPath, const File *rawFile,
               qint64 &bytes)
{
    log << QStringLiteral("    Formatting diagnostic log file:") + rawPath;
    std::optional<qint64> size;
    if (rawFile) {
        // A size that cannot be read says nothing of whether the file is there.
        if (!trapSilently([&] { size = fs.ListedFileSize(*rawFile); }))
            size = 0;
    } else if (fs.FileExists(rawPath)) {
        size = 0;
        trapSilently([&] { size = fs.FileSize(rawPath); });
    }
    if (!size) {
        log << QStringLiteral(
                   "(error) raw diagnostic file path is invalid in strFormatDiagFile on frmMain:") +
                   rawPath;
        return false;
    }
    bytes = *size;
    return true;
}

// Reads the lines of `in` into `file`, up to the end (true) or until the file cannot go on or
// the work is stopped.
bool readLines(DiagFile &file, TextStream &in, DiagCopy &out, const std::atomic<bool> *stop,
               const std::function<void(const Failure &)> &report)
{
    for (;;) {
        bool atEnd = false;
        if (stop && stop->load(std::memory_order_relaxed))
            return false;
        if (!trap([&] { atEnd = in.AtEndOfStream(); }, report))
            return false;
        if (atEnd)
            return true;
        if (!file.formatLine(in, out))
            return false;
    }
}

} // namespace

DiagFormatOutcome formatDiagFile(const DiagFormatterSource &formatter, FileSystem &fs,
                                 const DiagFormatTimeLimit &limit, const QString &rawPath,
                                 const QString &formattedPath, const std::atomic<bool> *stop,
                                 qint64 inMemoryUpTo, const File *rawFile)
{
    DiagFormatOutcome outcome;
    QStringList &log = outcome.lines;
    qint64 bytes = 0;
    if (!firstLook(log, fs, rawPath, rawFile, bytes))
        return outcome;
    DiagFile file(formatter, rawPath, log);
    if (!file.begin(limit, bytes)) {
        outcome.timedOut = file.timedOut();
        return outcome;
    }
    const auto report = [&](const Failure &f) { file.report(f); };
    const bool inMemory = bytes <= inMemoryUpTo;
    if (!inMemory)
        trap(
            [&] {
                if (fs.FileExists(formattedPath))
                    fs.DeleteFile(formattedPath, true);
            },
            report);

    std::unique_ptr<TextStream> in;
    DiagCopy out(fs, formattedPath, inMemoryUpTo);
    if (!trap([&] { in = rawFile ? fs.OpenListedTextFile(*rawFile) : fs.OpenTextFile(rawPath); },
              report) ||
        !trap([&] { out.open(inMemory); }, report))
        return outcome;

    bool readToEnd = readLines(file, *in, out, stop, report) && file.flush(out);
    file.reportUnlisted();
    // What is still buffered must reach the disk: a copy cut short is no copy, and the raw file
    // goes in instead.
    if (readToEnd && !trap([&] { out.flush(); }, report))
        readToEnd = false;
    if (readToEnd)
        log << QStringLiteral("    Formatting complete to:") + formattedPath;
    if (readToEnd)
        outcome.copy = out.take();
    trapSilently([&] { out.close(); });
    trapSilently([&] { in->Close(); });
    outcome.formatted = readToEnd;
    outcome.timedOut = file.timedOut();
    return outcome;
}

DiagFormatOutcome diagFileNotFormatted(const QString &rawPath, const QString &reason)
{
    DiagFormatOutcome outcome;
    outcome.lines << QStringLiteral("    Formatting diagnostic log file:") + rawPath;
    if (!reason.isEmpty())
        outcome.lines << diagErrorLine(rawPath) + reason;
    return outcome;
}

bool strFormatDiagFile(Run &run, const QString &rawPath, const QString &formattedPath)
{
    const DiagFormatOutcome outcome =
        formatDiagFile([&]() -> DiagLineFormatter & { return run.diagLineFormatter(); },
                       run.fileSystem(), run.FormatTimeLimit, rawPath, formattedPath);
    for (const QString &line : outcome.lines)
        run.runLog().WriteLogLine(line);
    return outcome.formatted;
}

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
    if (!firstLook(log, fs, job.rawPath, job.rawFile, m.bytes))
        return;
    if (m.bytes > smallFile) {
        m.alone = true;
        return;
    }
    m.file = std::make_unique<DiagFile>(formatter, job.rawPath, log, true);
    if (!m.file->begin(limit, m.bytes)) {
        m.outcome.timedOut = m.file->timedOut();
        return;
    }
    const auto report = [&](const Failure &f) { m.file->report(f); };
    std::unique_ptr<TextStream> in;
    m.copy = std::make_unique<DiagCopy>(fs, job.formattedPath, inMemoryUpTo);
    if (!trap(
            [&] {
                in = job.rawFile ? fs.OpenListedTextFile(*job.rawFile)
                                 : fs.OpenTextFile(job.rawPath);
            },
            report) ||
        !trap([&] { m.copy->open(true); }, report))
        return;
    const bool readToEnd = readLines(*m.file, *in, *m.copy, stop, report);
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
        m.outcome.lines << QStringLiteral("    Formatting complete to:") + m.job->formattedPath;
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

void formatDiagFiles(const DiagFormatterSource &formatter, FileSystem &fs,
                     const DiagFormatTimeLimit &limit, const std::vector<DiagFileJob> &jobs,
                     const std::atomic<bool> *stop, qint64 smallFile, qint64 inMemoryUpTo,
                     const DiagGroupCalls &calls)
{
    std::vector<Member> members(jobs.size());
    // Files from here on are left alone: the formatter was given up.
    size_t givenUpFrom = jobs.size();
    // The files read and not yet told of.
    size_t begin = 0;
    for (size_t i = 0; i < jobs.size(); ++i) {
        members[i].job = &jobs[i];
        if (i < givenUpFrom)
            readWhole(members[i], formatter, fs, limit, stop, smallFile, inMemoryUpTo);
        // The files read so far go to the formatter at the end, before a file formatted alone,
        // and as soon as the run waits for one of them: a slow read of a later file must not
        // hold it up.
        if (i + 1 < jobs.size() && !members[i].alone && !(calls.wanted && calls.wanted(begin)))
            continue;
        givenUpFrom =
            std::min(givenUpFrom, formatWaiting(members, begin, i + 1, formatter, limit, calls));
        for (; begin <= i; ++begin) {
            Member &m = members[begin];
            if (begin >= givenUpFrom) {
                calls.done(begin, std::nullopt);
                continue;
            }
            if (m.alone)
                m.outcome =
                    formatDiagFile(formatter, fs, limit, m.job->rawPath, m.job->formattedPath, stop,
                                   inMemoryUpTo, m.job->rawFile);
            // A file of the group that timed out was told of already.
            if (m.alone && m.outcome.timedOut && calls.timedOut && !calls.timedOut(begin))
                givenUpFrom = begin + 1;
            calls.done(begin, std::move(m.outcome));
        }
    }
}

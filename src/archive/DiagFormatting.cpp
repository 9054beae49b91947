#include "archive/DiagFormatting.h"

#include "app/Run.h"
#include "archive/DiagFile.h"
#include "common/ControlText.h"
#include "common/Failure.h"

#include <memory>

using namespace DiagCopyLimits;

bool diagFirstLook(QStringList &log, FileSystem &fs, const QString &rawPath, const File *rawFile,
                   qint64 &bytes, const TextStream *opened)
{
    log << QStringLiteral("    Formatting diagnostic log file:") + shownPath(rawPath);
    std::optional<qint64> size;
    if (opened) {
        size = opened->SizeAtOpening().value_or(0);
    } else if (rawFile) {
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
                   shownPath(rawPath);
        return false;
    }
    bytes = *size;
    return true;
}

bool readDiagLines(DiagFile &file, TextStream &in, qint64 size, DiagCopy &out,
                   const std::atomic<bool> *stop,
                   const std::function<void(const Failure &)> &report, const File *listed)
{
    // A file cut short while it is read (a rotation that copies, then truncates) would otherwise
    // give a readable copy that ends mid-record, or, written again past its old end, holds zeros,
    // as if it were whole.
    if (listed && in.RotatedSinceListed(*listed)) {
        file.logError(cutShortAndWrittenAgain());
        return false;
    }
    const bool holeFree = !in.HoleBelow(size, true);
    for (;;) {
        bool atEnd = false;
        if (stop && stop->load(std::memory_order_relaxed))
            return false;
        if (!trap([&] { atEnd = in.AtEndOfStream(); }, report))
            return false;
        if (atEnd)
            break;
        if (!file.formatLine(in, out))
            return false;
    }
    if (in.BytesRead() < size)
        file.logError(cutShortWhileRead(quint64(in.BytesRead()), quint64(size)));
    else if (holeFree && !in.ReadToOpenedEndBeforeAnyCut(size) && in.HoleBelow(size))
        file.logError(cutShortAndWrittenAgain());
    else
        return true;
    return false;
}

DiagFormatOutcome formatDiagFile(const DiagFormatterSource &formatter, FileSystem &fs,
                                 const DiagFormatTimeLimit &limit, const QString &rawPath,
                                 const QString &formattedPath, const std::atomic<bool> *stop,
                                 qint64 inMemoryUpTo, const File *rawFile, bool withholdRaw)
{
    DiagFormatOutcome outcome;
    QStringList &log = outcome.lines;
    qint64 bytes = 0;
    if (!diagFirstLook(log, fs, rawPath, rawFile, bytes))
        return outcome;
    DiagFile file(formatter, rawPath, log, false, withholdRaw);
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

    bool readToEnd = readDiagLines(file, *in, bytes, out, stop, report, rawFile) && file.flush(out);
    file.reportUnlisted();
    // What is still buffered must reach the disk: a copy cut short is no copy, and the raw file
    // goes in instead.
    if (readToEnd && !trap([&] { out.flush(); }, report))
        readToEnd = false;
    if (readToEnd)
        log << QStringLiteral("    Formatting complete to:") + shownPath(formattedPath);
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
    outcome.lines << QStringLiteral("    Formatting diagnostic log file:") + shownPath(rawPath);
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

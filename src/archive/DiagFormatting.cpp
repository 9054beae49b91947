#include "archive/DiagFormatting.h"

#include "app/Program.h"
#include "common/Failure.h"
#include "runlog/LineCleaner.h"

#include <algorithm>
#include <vector>

namespace {
// The formatter takes at most this much of a line; the rest is copied through as it is.
constexpr qsizetype formattedPart = 510;
// A line is read, and its rest copied, in blocks of this size: memory does not grow with it.
constexpr qsizetype block = 64 * 1024;
// Lines go to the formatter in batches of at most this many lines and characters: the formatter
// runs in another process, and a round trip for every line would cost more than the formatting.
constexpr qsizetype batchLines = 256;
constexpr qsizetype batchCharacters = 256 * 1024;
// A file's lines the formatter rejects are listed one by one up to this many; the rest are only
// counted, so that a corrupt file cannot fill the disk with its run log.
constexpr int listedRejections = 100;

// One cleaned line: the part the formatter takes, and its rest as far as it is kept.
struct Line {
    QString current;
    QString rest;
    // Characters of the rest past `rest`, copied through without being kept.
    qsizetype restLeftOut = 0;
};

// One raw file being formatted.
class DiagFile {
public:
    DiagFile(const DiagFormatterSource &formatter, const QString &rawPath, QStringList &log)
        : m_source(formatter)
        , m_log(log)
        , m_rawPath(rawPath)
    {
    }

    // The "(error)" line of a failed step.
    void logError(const QString &description)
    {
        m_log << QStringLiteral("(error) in strFormatDiagFile on frmMain for file=") + m_rawPath +
                     QStringLiteral(", error=") + description;
    }

    // The three run-log lines of a failed step.
    void report(const Failure &failure, const Line &line)
    {
        logError(failure.description());
        m_log << QStringLiteral("    RawLine='") + line.current + QLatin1Char('\'');
        QString rest = QStringLiteral("    RestOfLine='") + line.rest + QLatin1Char('\'');
        if (line.restLeftOut > 0)
            rest += QStringLiteral(" \u2026 [%1 more characters not shown]").arg(line.restLeftOut);
        m_log << rest;
    }
    void report(const Failure &failure) { report(failure, m_line); }

    // Starts the formatter on this file. False when there is none to be had: no line of the file
    // can be formatted, and one line says why.
    bool begin(const DiagFormatTimeLimit &limit, qint64 bytes)
    {
        return trap(
            [&] {
                m_formatter = &m_source();
                m_formatter->beginFile(limit.forBytes(bytes));
            },
            [&](const Failure &f) { logError(f.description()); });
    }

    // Reads the next line of `in`. A line that ends within its first block waits in the batch; a
    // longer one is formatted at once, after the batch, and its rest copied through to `out`.
    // False when the file cannot go on: reading failed (the stream cannot be trusted to move on),
    // writing failed (the copy is no copy) or the formatter itself failed.
    bool formatLine(TextStream &in, TextStream &out)
    {
        m_line = Line();
        m_cleaner.reset();
        m_restStreaming = false;

        // Read until the line has ended or its rest is known to hold more than trailing blanks.
        bool ended = false;
        while (!ended && m_line.rest.isEmpty()) {
            if (!readPart(in, out, ended))
                return false;
        }
        if (m_line.current.isEmpty())
            return true;
        if (ended) {
            m_batchCharacters += m_line.current.size() + m_line.rest.size();
            m_batch.push_back(std::move(m_line));
            return (qsizetype(m_batch.size()) < batchLines &&
                    m_batchCharacters < batchCharacters) ||
                   flush(out);
        }

        std::vector<FormattedLine> answers;
        if (!flush(out) || !formatBatch({m_line}, answers))
            return false;
        if (!write([&] { out.Write(text(m_line, answers.front())); }))
            return false;
        m_restStreaming = true;
        while (!ended) {
            if (!readPart(in, out, ended))
                return false;
        }
        if (!write([&] { out.WriteLine(QString()); }))
            return false;
        // Reported once the whole line is read, so that the report knows how long its rest was.
        rejected(answers.front(), m_line);
        return true;
    }

    // Formats the lines waiting in the batch and writes them.
    bool flush(TextStream &out)
    {
        std::vector<Line> batch;
        batch.swap(m_batch);
        m_batchCharacters = 0;
        std::vector<FormattedLine> answers;
        if (batch.empty())
            return true;
        if (!formatBatch(batch, answers))
            return false;
        for (size_t i = 0; i < batch.size(); ++i) {
            m_line = std::move(batch[i]);
            if (!write([&] { out.WriteLine(text(m_line, answers[i])); }))
                return false;
            rejected(answers[i], m_line);
        }
        return true;
    }

    // The one line for the rejected lines that were not listed.
    void reportUnlisted()
    {
        if (m_rejections > listedRejections)
            logError(QStringLiteral("%1 more lines of this file could not be formatted; they are "
                                    "kept raw in the formatted copy and not listed one by one")
                         .arg(m_rejections - listedRejections));
    }

private:
    // False when the formatter itself failed: the line it failed on is reported.
    bool formatBatch(const std::vector<Line> &lines, std::vector<FormattedLine> &answers)
    {
        QStringList parts;
        for (const Line &line : lines)
            parts << line.current;
        return trap([&] { answers = m_formatter->FormatLines(parts); },
                    [&](const Failure &f) {
                        const auto *failed = dynamic_cast<const FormatterFailure *>(&f);
                        const qsizetype at = failed ? failed->line() : 0;
                        report(f, lines.at(size_t(
                                      std::clamp<qsizetype>(at, 0, qsizetype(lines.size()) - 1))));
                    }) &&
               answers.size() == lines.size();
    }

    // What goes into the copy: a line the formatter rejects is kept as it was read, so that
    // nothing of it is lost.
    static QString text(const Line &line, const FormattedLine &answer)
    {
        if (answer.rejection)
            return line.current + line.rest;
        return line.rest.isEmpty() ? answer.text : answer.text + QLatin1Char(' ') + line.rest;
    }

    void rejected(const FormattedLine &answer, const Line &line)
    {
        if (answer.rejection && ++m_rejections <= listedRejections)
            report(*answer.rejection, line);
    }

    bool readPart(TextStream &in, TextStream &out, bool &ended)
    {
        if (!trap([&] { m_part = in.ReadLinePart(block, ended); },
                  [&](const Failure &f) { report(f); }))
            return false;
        m_cleaner.feed(m_part, [&](QStringView kept) { keep(kept, out); });
        return !m_writeFailed;
    }

    void keep(QStringView kept, TextStream &out)
    {
        const qsizetype room = formattedPart - m_line.current.size();
        // A line the cleaner left whole is shared, not copied.
        if (m_line.current.isEmpty() && kept.size() <= room && kept.data() == m_part.constData() &&
            kept.size() == m_part.size()) {
            m_line.current = m_part;
            return;
        }
        if (room > 0) {
            m_line.current += kept.left(room);
            kept = kept.mid(std::min(room, kept.size()));
        }
        if (kept.isEmpty())
            return;
        if (m_restStreaming) {
            m_line.restLeftOut += kept.size();
            write([&] { out.Write(kept.toString()); });
        } else {
            m_line.rest += kept;
        }
    }

    // The first failed write is reported and ends the file: a copy with a hole in it is no copy.
    bool write(const std::function<void()> &step)
    {
        if (!m_writeFailed && !trap(step, [&](const Failure &f) { report(f); }))
            m_writeFailed = true;
        return !m_writeFailed;
    }

    const DiagFormatterSource &m_source;
    QStringList &m_log;
    const QString &m_rawPath;
    DiagLineFormatter *m_formatter = nullptr;
    LineCleaner m_cleaner;
    // The part of the line read last.
    QString m_part;
    Line m_line;
    bool m_restStreaming = false;
    bool m_writeFailed = false;
    std::vector<Line> m_batch;
    qsizetype m_batchCharacters = 0;
    int m_rejections = 0;
};

} // namespace

DiagFormatOutcome formatDiagFile(const DiagFormatterSource &formatter, FileSystem &fs,
                                 const DiagFormatTimeLimit &limit, const QString &rawPath,
                                 const QString &formattedPath, const std::atomic<bool> *stop,
                                 qint64 inMemoryUpTo, const File *rawFile)
{
    DiagFormatOutcome outcome;
    QStringList &log = outcome.lines;
    log << QStringLiteral("    Formatting diagnostic log file:") + rawPath;
    if (!fs.FileExists(rawPath)) {
        log << QStringLiteral(
                   "(error) raw diagnostic file path is invalid in strFormatDiagFile on frmMain:") +
                   rawPath;
        return outcome;
    }

    DiagFile file(formatter, rawPath, log);
    qint64 bytes = 0;
    trapSilently([&] { bytes = fs.FileSize(rawPath); });
    if (!file.begin(limit, bytes))
        return outcome;
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
    std::unique_ptr<TextStream> out;
    if (!trap([&] { in = rawFile ? fs.OpenListedTextFile(*rawFile) : fs.OpenTextFile(rawPath); },
              report) ||
        !trap(
            [&] {
                out = inMemory ? TextStream::inMemory(formattedPath)
                               : fs.CreateTextFile(formattedPath, true, false);
            },
            report))
        return outcome;

    // Nobody reads the copy while it is written: it may wait in memory a while.
    out->setBuffered(true);
    bool readToEnd = false;
    for (;;) {
        bool atEnd = false;
        if (stop && stop->load(std::memory_order_relaxed))
            break;
        if (!trap([&] { atEnd = in->AtEndOfStream(); }, report))
            break;
        if (atEnd) {
            readToEnd = file.flush(*out);
            break;
        }
        if (!file.formatLine(*in, *out))
            break;
    }
    file.reportUnlisted();
    // What is still buffered must reach the disk: a copy cut short is no copy, and the raw file
    // goes in instead.
    if (readToEnd && !trap([&] { out->Flush(); }, report))
        readToEnd = false;
    if (readToEnd)
        log << QStringLiteral("    Formatting complete to:") + formattedPath;
    if (readToEnd && inMemory)
        outcome.copy = out->takeWritten();
    trapSilently([&] { out->Close(); });
    trapSilently([&] { in->Close(); });
    outcome.formatted = readToEnd;
    return outcome;
}

bool strFormatDiagFile(Program &program, const QString &rawPath, const QString &formattedPath)
{
    const DiagFormatOutcome outcome =
        formatDiagFile([&]() -> DiagLineFormatter & { return program.diagLineFormatter(); },
                       program.fileSystem(), program.FormatTimeLimit, rawPath, formattedPath);
    for (const QString &line : outcome.lines)
        program.runLog().WriteLogLine(line);
    return outcome.formatted;
}

#include "archive/DiagFormatting.h"

#include "app/Run.h"
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
// A formatted line is less than twice its raw record (the shortest record, 27 bytes with its line
// feed, gives at most 52 with CR LF), so a copy in memory grows past twice its raw file's bound
// only when the raw file grew while it was read; it then goes on in its file.
constexpr qint64 copyGrowth = 2;

const QString errorPrefix = QStringLiteral("(error) in strFormatDiagFile on frmMain for file=");

// One cleaned line: the part the formatter takes, and its rest as far as it is kept.
struct Line {
    QString current;
    QString rest;
    // Characters of the rest past `rest`, copied through without being kept.
    qsizetype restLeftOut = 0;
};

// Where a copy goes: into memory for a small raw file, else into its file. A copy in memory that
// outgrows its bound moves to its file, so that a raw file that grows while it is read cannot
// fill the memory.
class Copy {
public:
    Copy(FileSystem &fs, const QString &path, qint64 memoryUpTo)
        : m_fs(fs)
        , m_path(path)
        , m_memoryUpTo(memoryUpTo)
    {
    }

    // Throws when the copy cannot be made.
    void open(bool inMemory)
    {
        m_inMemory = inMemory;
        m_stream = inMemory ? TextStream::inMemory(m_path) : create();
    }
    void write(const QString &text)
    {
        room(text.size());
        m_stream->Write(text);
    }
    void writeLine(const QString &text)
    {
        room(text.size() + 2);
        m_stream->WriteLine(text);
    }
    void flush() { m_stream->Flush(); }
    void close() { m_stream->Close(); }
    // The copy, when it is in memory.
    std::optional<QByteArray> take()
    {
        if (!m_inMemory)
            return std::nullopt;
        return m_stream->takeWritten();
    }

private:
    std::unique_ptr<TextStream> create()
    {
        std::unique_ptr<TextStream> stream = m_fs.CreateTextFile(m_path, true, false);
        // Nobody reads the copy while it is written: it may wait in memory a while.
        stream->setBuffered(true);
        return stream;
    }

    void room(qsizetype bytes)
    {
        if (!m_inMemory)
            return;
        m_held += bytes;
        if (m_held <= copyGrowth * m_memoryUpTo)
            return;
        std::unique_ptr<TextStream> file = create();
        file->Write(QString::fromLatin1(m_stream->takeWritten()));
        m_stream = std::move(file);
        m_inMemory = false;
    }

    FileSystem &m_fs;
    const QString &m_path;
    const qint64 m_memoryUpTo;
    std::unique_ptr<TextStream> m_stream;
    bool m_inMemory = false;
    qint64 m_held = 0;
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
        m_log << errorPrefix + m_rawPath + QStringLiteral(", error=") + description;
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
            [&](const Failure &f) {
                noteTimeOut(f);
                logError(f.description());
            });
    }

    // Reads the next line of `in`. A line that ends within its first block waits in the batch; a
    // longer one is not held: once its first block is read, the lines waiting are written, its
    // start formatted and written, and its rest copied through to `out` as it is read.
    // False when the file cannot go on: reading failed (the stream cannot be trusted to move on),
    // writing failed (the copy is no copy) or the formatter itself failed.
    bool formatLine(TextStream &in, Copy &out)
    {
        m_line = Line();
        m_cleaner.reset();
        m_answer.reset();
        m_streaming = false;
        m_separatorDue = false;
        bool ended = false;
        while (!ended) {
            if (!readPart(in, out, ended))
                return false;
            if (!ended && !m_streaming && m_line.current.size() == formattedPart &&
                !startStreaming(out))
                return false;
        }
        if (m_streaming) {
            if (!write(m_line, [&] { out.writeLine(QString()); }))
                return false;
            // Reported once the whole line is read, so that the report knows how long its rest was.
            rejected(*m_answer, m_line);
            return true;
        }
        if (m_line.current.isEmpty())
            return true;
        m_batchCharacters += m_line.current.size() + m_line.rest.size();
        m_batch.push_back(std::move(m_line));
        return (qsizetype(m_batch.size()) < batchLines && m_batchCharacters < batchCharacters) ||
               flush(out);
    }

    // Formats the lines waiting in the batch and writes them.
    bool flush(Copy &out)
    {
        std::vector<Line> batch;
        batch.swap(m_batch);
        m_batchCharacters = 0;
        if (batch.empty())
            return true;
        std::vector<FormattedLine> answers;
        if (!formatBatch(batch, answers))
            return false;
        for (size_t i = 0; i < batch.size(); ++i) {
            if (!write(batch[i], [&] { out.writeLine(text(batch[i], answers[i])); }))
                return false;
            rejected(answers[i], batch[i]);
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

    bool timedOut() const { return m_timedOut; }

private:
    // False when the formatter itself failed: the line it failed on is reported.
    bool formatBatch(const std::vector<Line> &lines, std::vector<FormattedLine> &answers)
    {
        QStringList parts;
        for (const Line &line : lines)
            parts << line.current;
        if (!trap([&] { answers = m_formatter->FormatLines(parts); },
                  [&](const Failure &f) {
                      const auto *failed = dynamic_cast<const FormatterFailure *>(&f);
                      const qsizetype at = failed ? failed->line() : 0;
                      noteTimeOut(f);
                      report(f, lines.at(size_t(
                                    std::clamp<qsizetype>(at, 0, qsizetype(lines.size()) - 1))));
                  }) ||
            answers.size() != lines.size())
            m_failed = true;
        return !m_failed;
    }

    void noteTimeOut(const Failure &f)
    {
        const auto *failed = dynamic_cast<const FormatterFailure *>(&f);
        m_timedOut = m_timedOut || (failed && failed->timedOut());
    }

    // The line read so far has filled the formatter's part and goes on past its first block.
    bool startStreaming(Copy &out)
    {
        m_streaming = true;
        std::vector<FormattedLine> answers;
        if (!flush(out) || !formatBatch({m_line}, answers))
            return false;
        m_answer = std::move(answers.front());
        QString start;
        if (m_answer->rejection) {
            start = m_line.current + m_line.rest;
        } else if (m_line.rest.isEmpty()) {
            // Whether a rest follows the text, and with it the blank between, is not known yet.
            start = m_answer->text;
            m_separatorDue = true;
        } else {
            start = m_answer->text + QLatin1Char(' ') + m_line.rest;
        }
        return write(m_line, [&] { out.write(start); });
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

    bool readPart(TextStream &in, Copy &out, bool &ended)
    {
        if (!trap([&] { m_part = in.ReadLinePart(block, ended); },
                  [&](const Failure &f) { report(f); }))
            m_failed = true;
        else
            m_cleaner.feed(m_part, [&](QStringView kept) { keep(kept, out); });
        return !m_failed;
    }

    void keep(QStringView kept, Copy &out)
    {
        if (m_failed)
            return;
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
        if (!m_streaming) {
            m_line.rest += kept;
            // Blanks held back in the middle of a line come out at once: a rest that grows past
            // a block is not held either.
            if (m_line.rest.size() >= block)
                startStreaming(out);
            return;
        }
        m_line.restLeftOut += kept.size();
        write(m_line, [&] {
            if (std::exchange(m_separatorDue, false))
                out.write(QStringLiteral(" "));
            out.write(kept.toString());
        });
    }

    // The first failed write is reported and ends the file: a copy with a hole in it is no copy.
    bool write(const Line &line, const std::function<void()> &step)
    {
        if (!m_failed && !trap(step, [&](const Failure &f) { report(f, line); }))
            m_failed = true;
        return !m_failed;
    }

    const DiagFormatterSource &m_source;
    QStringList &m_log;
    const QString &m_rawPath;
    DiagLineFormatter *m_formatter = nullptr;
    LineCleaner m_cleaner;
    // The part of the line read last.
    QString m_part;
    // The line being read. Lines waiting in the batch are apart from it.
    Line m_line;
    // The line is longer than a block: its start is written, its rest goes out as it is read.
    bool m_streaming = false;
    std::optional<FormattedLine> m_answer;
    bool m_separatorDue = false;
    // Reading, writing or the formatter failed: the file goes no further.
    bool m_failed = false;
    bool m_timedOut = false;
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
    Copy out(fs, formattedPath, inMemoryUpTo);
    if (!trap([&] { in = rawFile ? fs.OpenListedTextFile(*rawFile) : fs.OpenTextFile(rawPath); },
              report) ||
        !trap([&] { out.open(inMemory); }, report))
        return outcome;

    bool readToEnd = false;
    for (;;) {
        bool atEnd = false;
        if (stop && stop->load(std::memory_order_relaxed))
            break;
        if (!trap([&] { atEnd = in->AtEndOfStream(); }, report))
            break;
        if (atEnd) {
            readToEnd = file.flush(out);
            break;
        }
        if (!file.formatLine(*in, out))
            break;
    }
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
        outcome.lines << errorPrefix + rawPath + QStringLiteral(", error=") + reason;
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

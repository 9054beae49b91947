#include "archive/DiagFormatting.h"

#include "app/Program.h"
#include "common/Failure.h"
#include "runlog/LineCleaner.h"

#include <optional>

namespace {
// The formatter takes at most this much of a line; the rest is copied through as it is.
constexpr qsizetype formattedPart = 510;
// A line is read, and its rest copied, in blocks of this size: memory does not grow with it.
constexpr qsizetype block = 64 * 1024;
// A file's lines the formatter rejects are listed one by one up to this many; the rest are only
// counted, so that a corrupt file cannot fill the disk with its run log.
constexpr int listedRejections = 100;

// One raw file being formatted.
class DiagFile {
public:
    DiagFile(Program &program, const QString &rawPath)
        : m_program(program)
        , m_log(program.runLog())
        , m_rawPath(rawPath)
    {
    }

    // The "(error)" line of a failed step.
    void logError(const QString &description)
    {
        m_log.WriteLogLine(QStringLiteral("(error) in strFormatDiagFile on frmMain for file=") +
                           m_rawPath + QStringLiteral(", error=") + description);
    }

    // The three run-log lines of a failed step.
    void report(const Failure &failure)
    {
        logError(failure.description());
        m_log.WriteLogLine(QStringLiteral("    RawLine='") + m_current + QLatin1Char('\''));
        QString rest = QStringLiteral("    RestOfLine='") + m_rest + QLatin1Char('\'');
        if (m_restLeftOut > 0)
            rest += QStringLiteral(" \u2026 [%1 more characters not shown]").arg(m_restLeftOut);
        m_log.WriteLogLine(rest);
    }

    // Starts the formatter on this file. False when there is none to be had: no line of the file
    // can be formatted, and one line says why.
    bool begin(qint64 bytes)
    {
        return trap(
            [&] {
                m_formatter = &m_program.diagLineFormatter();
                m_formatter->beginFile(m_program.FormatTimeLimit.forBytes(bytes));
            },
            [&](const Failure &f) { logError(f.description()); });
    }

    // Formats the next line of `in` into `out`. False when the file cannot go on: reading failed
    // (the stream cannot be trusted to move on), writing failed (the copy is no copy) or the
    // formatter itself failed.
    bool formatLine(TextStream &in, TextStream &out)
    {
        m_current.clear();
        m_rest.clear();
        m_cleaner.reset();
        m_restStreaming = false;
        m_restLeftOut = 0;

        // Read until the line has ended or its rest is known to hold more than trailing blanks.
        bool ended = false;
        while (!ended && m_rest.isEmpty()) {
            if (!readPart(in, out, ended))
                return false;
        }
        if (m_current.isEmpty())
            return true;

        QString text;
        std::optional<Failure> rejected;
        bool formatterFailed = false;
        trap([&] { text = m_formatter->FormatLine(m_current); },
             [&](const Failure &f) {
                 formatterFailed = dynamic_cast<const FormatterFailure *>(&f) != nullptr;
                 if (formatterFailed)
                     report(f);
                 else
                     rejected.emplace(f);
             });
        if (formatterFailed)
            return false;
        // A line the formatter rejects is kept as it was read: nothing of it is lost.
        if (rejected)
            text = m_current + m_rest;
        else if (!m_rest.isEmpty())
            text += QLatin1Char(' ') + m_rest;
        if (!write([&] { out.Write(text); }))
            return false;
        m_restStreaming = true;
        while (!ended) {
            if (!readPart(in, out, ended))
                return false;
        }
        if (!write([&] { out.WriteLine(QString()); }))
            return false;
        // Reported once the whole line is read, so that the report knows how long its rest was.
        if (rejected && ++m_rejections <= listedRejections)
            report(*rejected);
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
    bool readPart(TextStream &in, TextStream &out, bool &ended)
    {
        QString part;
        if (!trap([&] { part = in.ReadLinePart(block, ended); },
                  [&](const Failure &f) { report(f); }))
            return false;
        m_cleaner.feed(part, [&](QStringView kept) { keep(kept, out); });
        return !m_writeFailed;
    }

    void keep(QStringView kept, TextStream &out)
    {
        const qsizetype room = formattedPart - m_current.size();
        if (room > 0) {
            m_current += kept.left(room);
            kept = kept.mid(std::min(room, kept.size()));
        }
        if (kept.isEmpty())
            return;
        if (m_restStreaming) {
            m_restLeftOut += kept.size();
            write([&] { out.Write(kept.toString()); });
        } else {
            m_rest += kept;
        }
    }

    // The first failed write is reported and ends the file: a copy with a hole in it is no copy.
    bool write(const std::function<void()> &step)
    {
        if (!m_writeFailed && !trap(step, [&](const Failure &f) { report(f); }))
            m_writeFailed = true;
        return !m_writeFailed;
    }

    Program &m_program;
    RunLog &m_log;
    const QString &m_rawPath;
    DiagLineFormatter *m_formatter = nullptr;
    LineCleaner m_cleaner;
    QString m_current;
    QString m_rest;
    // Characters of the line's rest past m_rest, copied through without being kept.
    qsizetype m_restLeftOut = 0;
    bool m_restStreaming = false;
    bool m_writeFailed = false;
    int m_rejections = 0;
};

} // namespace

bool strFormatDiagFile(Program &program, const QString &rawPath, const QString &formattedPath)
{
    RunLog &log = program.runLog();
    FileSystem &fs = program.fileSystem();
    log.WriteLogLine(QStringLiteral("    Formatting diagnostic log file:") + rawPath);
    if (!fs.FileExists(rawPath)) {
        log.WriteLogLine(
            QStringLiteral(
                "(error) raw diagnostic file path is invalid in strFormatDiagFile on frmMain:") +
            rawPath);
        return false;
    }

    DiagFile file(program, rawPath);
    qint64 bytes = 0;
    trapSilently([&] { bytes = fs.FileSize(rawPath); });
    if (!file.begin(bytes))
        return false;
    const auto report = [&](const Failure &f) { file.report(f); };
    trap(
        [&] {
            if (fs.FileExists(formattedPath))
                fs.DeleteFile(formattedPath, true);
        },
        report);

    std::unique_ptr<TextStream> in;
    std::unique_ptr<TextStream> out;
    if (!trap([&] { in = fs.OpenTextFile(rawPath); }, report) ||
        !trap([&] { out = fs.CreateTextFile(formattedPath, true, false); }, report))
        return false;

    // Nobody reads the copy while it is written: it may wait in memory a while.
    out->setBuffered(true);
    bool readToEnd = false;
    for (;;) {
        bool atEnd = false;
        if (!trap([&] { atEnd = in->AtEndOfStream(); }, report))
            break;
        if (atEnd) {
            readToEnd = true;
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
        log.WriteLogLine(QStringLiteral("    Formatting complete to:") + formattedPath);
    trapSilently([&] { out->Close(); });
    trapSilently([&] { in->Close(); });
    return readToEnd;
}

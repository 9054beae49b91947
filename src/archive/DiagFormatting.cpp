#include "archive/DiagFormatting.h"

#include "app/Program.h"
#include "common/Failure.h"
#include "runlog/LineCleaner.h"

namespace {
// The formatter takes at most this much of a line; the rest is copied through as it is.
constexpr qsizetype formattedPart = 510;
// A line is read, and its rest copied, in blocks of this size: memory does not grow with it.
constexpr qsizetype block = 64 * 1024;

// One raw file being formatted.
class DiagFile {
public:
    DiagFile(Program &program, const QString &rawPath)
        : m_program(program)
        , m_log(program.runLog())
        , m_rawPath(rawPath)
    {
    }

    // The three run-log lines of a failed step.
    void report(const Failure &failure)
    {
        m_log.WriteLogLine(QStringLiteral("(error) in strFormatDiagFile on frmMain for file=") +
                           m_rawPath + QStringLiteral(", error=") + failure.description());
        m_log.WriteLogLine(QStringLiteral("    RawLine='") + m_current + QLatin1Char('\''));
        m_log.WriteLogLine(QStringLiteral("    RestOfLine='") + m_rest + QLatin1Char('\''));
    }

    // Formats the next line of `in` into `out`. False when reading failed: the stream cannot be
    // trusted to move on.
    bool formatLine(TextStream &in, TextStream &out)
    {
        m_current.clear();
        m_rest.clear();
        m_cleaner.reset();
        m_restStreaming = false;
        m_writeFailed = false;

        // Read until the line has ended or its rest is known to hold more than trailing blanks.
        bool ended = false;
        while (!ended && m_rest.isEmpty()) {
            if (!readPart(in, out, ended))
                return false;
        }
        if (m_current.isEmpty())
            return true;

        QString text;
        trap([&] { text = m_program.diagLineFormatter().FormatLine(m_current); },
             [&](const Failure &f) { report(f); });
        if (m_rest.isEmpty()) {
            write([&] { out.WriteLine(text); });
            return true;
        }
        write([&] { out.Write(text + QLatin1Char(' ') + m_rest); });
        m_restStreaming = true;
        while (!ended) {
            if (!readPart(in, out, ended))
                return false;
        }
        write([&] { out.WriteLine(QString()); });
        return true;
    }

private:
    bool readPart(TextStream &in, TextStream &out, bool &ended)
    {
        QString part;
        if (!trap([&] { part = in.ReadLinePart(block, ended); },
                  [&](const Failure &f) { report(f); }))
            return false;
        m_cleaner.feed(part, [&](QStringView kept) { keep(kept, out); });
        return true;
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
        if (m_restStreaming)
            write([&] { out.Write(kept.toString()); });
        else
            m_rest += kept;
    }

    // A line whose writing failed is reported once; the rest of it is still read, so that the
    // next line starts where it should.
    void write(const std::function<void()> &step)
    {
        if (m_writeFailed)
            return;
        if (!trap(step, [&](const Failure &f) { report(f); }))
            m_writeFailed = true;
    }

    Program &m_program;
    RunLog &m_log;
    const QString &m_rawPath;
    LineCleaner m_cleaner;
    QString m_current;
    QString m_rest;
    bool m_restStreaming = false;
    bool m_writeFailed = false;
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

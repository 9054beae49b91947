#include "archive/DiagFile.h"

#include "common/ControlText.h"
#include "common/Failure.h"
#include "platform/FileSystem.h"
#include "platform/NativePath.h"

#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

using namespace DiagCopyLimits;

QString diagErrorLine(const QString &rawPath)
{
    return QStringLiteral("(error) in strFormatDiagFile on frmMain for file=") +
           shownPath(rawPath) + QStringLiteral(", error=");
}

DiagCopy::DiagCopy(FileSystem &fs, const QString &path, qint64 memoryUpTo)
    : m_fs(fs)
    , m_path(path)
    , m_memoryUpTo(memoryUpTo)
{
}

void DiagCopy::open(bool inMemory)
{
    // A copy held in memory still goes into the archive under its name: one the disk would refuse
    // is refused alike, or its entry could be extracted nowhere.
    if (inMemory && nativePath(QFileInfo(m_path).fileName()).size() > NAME_MAX)
        throw FileSystemError(ENAMETOOLONG, QStringLiteral("Cannot create file"), m_path);
    m_inMemory = inMemory;
    m_stream = inMemory ? TextStream::inMemory(m_path) : create();
}

void DiagCopy::write(const QString &text)
{
    room(text.size());
    m_stream->Write(text);
}

void DiagCopy::writeLine(const QString &text)
{
    room(text.size() + 2);
    m_stream->WriteLine(text);
}

std::optional<QByteArray> DiagCopy::take()
{
    if (!m_inMemory)
        return std::nullopt;
    return m_stream->takeWritten();
}

std::unique_ptr<TextStream> DiagCopy::create()
{
    std::unique_ptr<TextStream> stream = m_fs.CreateTextFile(m_path, true, false);
    // Nobody reads the copy while it is written: it may wait in memory a while.
    stream->setBuffered(true);
    return stream;
}

void DiagCopy::room(qsizetype bytes)
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

DiagFile::DiagFile(const DiagFormatterSource &formatter, const QString &rawPath, QStringList &log,
                   bool heldWhole, bool withholdRaw)
    : m_source(formatter)
    , m_log(log)
    , m_rawPath(rawPath)
    , m_heldWhole(heldWhole)
    , m_withholdRaw(withholdRaw)
{
}

void DiagFile::logError(const QString &description)
{
    m_log << diagErrorLine(m_rawPath) + description;
}

void DiagFile::report(const Failure &failure, const DiagLine &line)
{
    logError(failure.description());
    m_log << QStringLiteral("    RawLine='") + line.current + QLatin1Char('\'');
    QString rest = QStringLiteral("    RestOfLine='") + line.rest + QLatin1Char('\'');
    if (line.restLeftOut > 0)
        rest += QStringLiteral(" \u2026 [%1 more characters not shown]").arg(line.restLeftOut);
    m_log << rest;
}

bool DiagFile::begin(const DiagFormatTimeLimit &limit, qint64 bytes)
{
    return trap(
        [&] {
            m_formatter = &m_source();
            if (!m_heldWhole)
                m_formatter->beginFile(limit.forBytes(bytes));
        },
        [&](const Failure &f) {
            noteTimeOut(f);
            logError(f.description());
        });
}

bool DiagFile::formatLine(TextStream &in, DiagCopy &out)
{
    m_line = DiagLine();
    m_cleaner.reset();
    m_answer.reset();
    m_streaming = false;
    m_separatorDue = false;
    m_heldTail.clear();
    bool ended = false;
    while (!ended) {
        if (!readPart(in, out, ended))
            return false;
        if (!ended && !m_streaming && m_line.current.size() == formattedPart &&
            !startStreaming(out))
            return false;
    }
    if (m_streaming) {
        // No rest followed: the text's last word was whole after all.
        if (!write(m_line, [&] {
                out.writeLine(std::exchange(m_separatorDue, false) ? m_heldTail : QString());
            }))
            return false;
        // Reported once the whole line is read, so that the report knows how long its rest was.
        rejected(*m_answer, m_line);
        return true;
    }
    if (m_line.current.isEmpty())
        return true;
    m_batchCharacters += m_line.current.size() + m_line.rest.size();
    m_batch.push_back(std::move(m_line));
    return m_heldWhole ||
           (qsizetype(m_batch.size()) < batchLines && m_batchCharacters < batchCharacters) ||
           flush(out);
}

bool DiagFile::flush(DiagCopy &out)
{
    std::vector<DiagLine> batch;
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

bool DiagFile::write(const std::vector<FormattedLine> &answers, size_t from, DiagCopy &out)
{
    for (size_t i = 0; i < m_batch.size(); ++i) {
        const FormattedLine &answer = answers[from + i];
        if (!write(m_batch[i], [&] { out.writeLine(text(m_batch[i], answer)); }))
            return false;
        rejected(answer, m_batch[i]);
    }
    return true;
}

void DiagFile::failedOn(const Failure &failure, size_t at)
{
    noteTimeOut(failure);
    report(failure, m_batch.at(std::min(at, m_batch.size() - 1)));
    m_failed = true;
}

void DiagFile::reportUnlisted()
{
    if (m_rejections > listedRejections)
        logError(QStringLiteral("%1 more lines of this file could not be formatted; they are kept "
                                "raw in the formatted copy and not listed one by one")
                     .arg(m_rejections - listedRejections));
}

bool DiagFile::formatBatch(const std::vector<DiagLine> &lines, std::vector<FormattedLine> &answers)
{
    QStringList parts;
    for (const DiagLine &line : lines)
        parts << line.current;
    if (!trap([&] { answers = m_formatter->FormatLines(parts); },
              [&](const Failure &f) {
                  const auto *failed = dynamic_cast<const FormatterFailure *>(&f);
                  const qsizetype at = failed ? failed->line() : 0;
                  noteTimeOut(f);
                  report(f, lines.at(
                                size_t(std::clamp<qsizetype>(at, 0, qsizetype(lines.size()) - 1))));
              }) ||
        answers.size() != lines.size())
        m_failed = true;
    return !m_failed;
}

void DiagFile::noteTimeOut(const Failure &f)
{
    const auto *failed = dynamic_cast<const FormatterFailure *>(&f);
    m_timedOut = m_timedOut || (failed && failed->timedOut());
}

bool DiagFile::startStreaming(DiagCopy &out)
{
    if (m_heldWhole) {
        m_tooLong = true;
        m_failed = true;
        return false;
    }
    m_streaming = true;
    std::vector<FormattedLine> answers;
    if (!flush(out) || !formatBatch({m_line}, answers))
        return false;
    m_answer = std::move(answers.front());
    QString start;
    if (m_answer->rejection || !m_line.rest.isEmpty()) {
        start = text(m_line, *m_answer);
    } else {
        // Whether a rest follows the text, and with it the blank between, is not known yet.
        start = m_withholdRaw ? beforeLastBlank(m_answer->text) : m_answer->text;
        m_heldTail = m_answer->text.mid(start.size());
        m_separatorDue = true;
    }
    return write(m_line, [&] { out.write(start); });
}

QString DiagFile::text(const DiagLine &line, const FormattedLine &answer) const
{
    if (answer.rejection)
        return m_withholdRaw ? DiagWithheld::record.toString() : line.current + line.rest;
    if (line.rest.isEmpty())
        return answer.text;
    if (m_withholdRaw)
        return beforeLastBlank(answer.text) + QLatin1Char(' ') + DiagWithheld::rest.toString();
    return answer.text + QLatin1Char(' ') + line.rest;
}

QString DiagFile::beforeLastBlank(const QString &text)
{
    return text.left(std::max<qsizetype>(text.lastIndexOf(QLatin1Char(' ')), 0));
}

void DiagFile::rejected(const FormattedLine &answer, const DiagLine &line)
{
    if (answer.rejection && ++m_rejections <= listedRejections)
        report(*answer.rejection, line);
}

bool DiagFile::readPart(TextStream &in, DiagCopy &out, bool &ended)
{
    if (!trap([&] { m_part = in.ReadLinePart(block, ended); },
              [&](const Failure &f) { report(f); }))
        m_failed = true;
    else
        m_cleaner.feed(m_part, [&](QStringView kept) { keep(kept, out); });
    return !m_failed;
}

void DiagFile::keep(QStringView kept, DiagCopy &out)
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
        // Blanks held back in the middle of a line come out at once: a rest that grows past a
        // block is not held either.
        if (m_line.rest.size() >= block)
            startStreaming(out);
        return;
    }
    m_line.restLeftOut += kept.size();
    write(m_line, [&] {
        // A withheld rest is said once, where it begins.
        if (std::exchange(m_separatorDue, false))
            out.write(m_withholdRaw ? QLatin1Char(' ') + DiagWithheld::rest.toString()
                                    : QStringLiteral(" "));
        if (!m_withholdRaw)
            out.write(kept.toString());
    });
}

bool DiagFile::write(const DiagLine &line, const std::function<void()> &step)
{
    if (!m_failed && !trap(step, [&](const Failure &f) { report(f, line); }))
        m_failed = true;
    return !m_failed;
}

#pragma once

#include "archive/DiagFormatting.h"
#include "platform/Components.h"
#include "platform/TextStream.h"
#include "runlog/LineCleaner.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class Failure;
class File;
class FileSystem;

// The parts formatDiagFile and formatDiagFiles make a readable copy of: the raw file's lines as
// they are read and cleaned, the copy they go to, and the file between the two.
namespace DiagCopyLimits {
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
} // namespace DiagCopyLimits

// The "(error)" line of a raw file that could not be formatted, up to the description.
QString diagErrorLine(const QString &rawPath);

class DiagFile;
class DiagCopy;

// The first line of a raw file's outcome, and whether the file is there to be formatted; its
// size in `bytes`. A missing file costs one more line. A caller that opened the file already
// gives the stream: its size is the open file's.
bool diagFirstLook(QStringList &log, FileSystem &fs, const QString &rawPath, const File *rawFile,
                   qint64 &bytes, const TextStream *opened = nullptr);
// Reads the lines of `in` into `file`, up to the end (true) or until the file cannot go on or
// the work is stopped. An end met before `size` bytes, the size first seen, is a file cut short,
// and a file cut and written again (since `listed` was listed, or while it is read) is no file to
// read: false, and one "(error)" line.
bool readDiagLines(DiagFile &file, TextStream &in, qint64 size, DiagCopy &out,
                   const std::atomic<bool> *stop,
                   const std::function<void(const Failure &)> &report, const File *listed);

// One cleaned line: the part the formatter takes, and its rest as far as it is kept.
struct DiagLine {
    QString current;
    QString rest;
    // Characters of the rest past `rest`, copied through without being kept.
    qsizetype restLeftOut = 0;
};

// Where a copy goes: into memory for a small raw file, else into its file. A copy in memory that
// outgrows its bound moves to its file, so that a raw file that grows while it is read cannot
// fill the memory.
class DiagCopy {
public:
    DiagCopy(FileSystem &fs, const QString &path, qint64 memoryUpTo);

    // Throws when the copy cannot be made.
    void open(bool inMemory);
    void write(const QString &text);
    void writeLine(const QString &text);
    void flush() { m_stream->Flush(); }
    void close() { m_stream->Close(); }
    // The copy, when it is in memory.
    std::optional<QByteArray> take();

private:
    std::unique_ptr<TextStream> create();
    void room(qsizetype bytes);

    FileSystem &m_fs;
    const QString &m_path;
    const qint64 m_memoryUpTo;
    std::unique_ptr<TextStream> m_stream;
    bool m_inMemory = false;
    qint64 m_held = 0;
};

// What of a raw file a copy for a cleaned archive leaves out: the raw parts, which the formatter
// did not read, hold a record's message as hexadecimal digits that no cleaning rule can see into.
namespace DiagWithheld {
inline constexpr QStringView rest =
    u"[the rest of this record is left out: raw, it cannot be cleaned]";
inline constexpr QStringView record =
    u"[a line the formatter could not read is left out: raw, it cannot be cleaned]";
} // namespace DiagWithheld

// One raw file being formatted. Its lines go to the formatter in batches of their own, or, held
// whole (`heldWhole`), in one batch with the lines of other small files (formatDiagFiles). For a
// cleaned archive (`withholdRaw`), what the formatter does not turn into text stays out
// (DiagWithheld).
class DiagFile {
public:
    DiagFile(const DiagFormatterSource &formatter, const QString &rawPath, QStringList &log,
             bool heldWhole = false, bool withholdRaw = false);

    // The "(error)" line of a failed step.
    void logError(const QString &description);
    // The three run-log lines of a failed step.
    void report(const Failure &failure, const DiagLine &line);
    void report(const Failure &failure) { report(failure, m_line); }

    // Takes the formatter and, unless the file's lines are held whole, starts it on this file.
    // False when there is none to be had: no line of the file can be formatted, and one line
    // says why.
    bool begin(const DiagFormatTimeLimit &limit, qint64 bytes);

    // Reads the next line of `in`. A line that ends within its first block waits in the batch; a
    // longer one is not held: once its first block is read, the lines waiting are written, its
    // start formatted and written, and its rest copied through to `out` as it is read (a file
    // held whole cannot do that: it stops, tooLong()).
    // False when the file cannot go on: reading failed (the stream cannot be trusted to move on),
    // writing failed (the copy is no copy) or the formatter itself failed.
    bool formatLine(TextStream &in, DiagCopy &out);
    // Formats the lines waiting in the batch and writes them.
    bool flush(DiagCopy &out);
    // The one line for the rejected lines that were not listed.
    void reportUnlisted();

    // A file held whole: the lines waiting for the formatter, and its answers for them, written.
    const std::vector<DiagLine> &held() const { return m_batch; }
    bool write(const std::vector<FormattedLine> &answers, size_t from, DiagCopy &out);
    // The formatter failed on held line `at`, or on another file's line, which costs this file
    // nothing but being given again.
    void failedOn(const Failure &failure, size_t at);

    bool timedOut() const { return m_timedOut; }
    // A line of a file held whole turned out longer than a block: the file is formatted alone.
    bool tooLong() const { return m_tooLong; }

private:
    // False when the formatter itself failed: the line it failed on is reported.
    bool formatBatch(const std::vector<DiagLine> &lines, std::vector<FormattedLine> &answers);
    void noteTimeOut(const Failure &f);
    // The line read so far has filled the formatter's part and goes on past its first block.
    bool startStreaming(DiagCopy &out);
    // What goes into the copy: a line the formatter rejects is kept as it was read, so that
    // nothing of it is lost, unless raw parts are withheld.
    QString text(const DiagLine &line, const FormattedLine &answer) const;
    // A text a withheld rest follows loses its last word, which the cut may have split: the part
    // before the cut would not be found as what it is (an address cut in two).
    static QString beforeLastBlank(const QString &text);
    void rejected(const FormattedLine &answer, const DiagLine &line);
    bool readPart(TextStream &in, DiagCopy &out, bool &ended);
    void keep(QStringView kept, DiagCopy &out);
    // The first failed write is reported and ends the file: a copy with a hole in it is no copy.
    bool write(const DiagLine &line, const std::function<void()> &step);

    const DiagFormatterSource &m_source;
    QStringList &m_log;
    const QString &m_rawPath;
    const bool m_heldWhole;
    const bool m_withholdRaw;
    DiagLineFormatter *m_formatter = nullptr;
    LineCleaner m_cleaner;
    // The part of the line read last.
    QString m_part;
    // The line being read. Lines waiting in the batch are apart from it.
    DiagLine m_line;
    // The line is longer than a block: its start is written, its rest goes out as it is read.
    bool m_streaming = false;
    std::optional<FormattedLine> m_answer;
    bool m_separatorDue = false;
    // The formatted text's last word while it is not known whether a withheld rest follows it.
    QString m_heldTail;
    // Reading, writing or the formatter failed: the file goes no further.
    bool m_failed = false;
    bool m_timedOut = false;
    bool m_tooLong = false;
    std::vector<DiagLine> m_batch;
    qsizetype m_batchCharacters = 0;
    int m_rejections = 0;
};

#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>
#include <sys/stat.h>
#include <sys/types.h>
#include <utility>

class File;

// Writes `text` as ISO-8859-1 to `out` (room for text.size() bytes), a character it has no byte
// for as '?', as QString::toLatin1 gives it; without a conversion object or an allocation.
void latin1Into(char *out, QStringView text);

// An open text file, written or read line by line.
//
// Written lines go straight to the file with one write() each: the run log is read by other
// programs (and by the text editor the run offers to open) while it is still open, so nothing may
// wait in a buffer of ours. Reading is buffered and single-byte (ISO-8859-1: every byte is one
// character, so every byte round-trips unchanged).
class TextStream {
public:
    enum class Encoding { SingleByte, Utf16LE };

    TextStream(int fd, QString path, Encoding encoding);
    // A single-byte stream written to memory only, named after `path` in what it reports: for a
    // small copy that would cost more as a file than it holds.
    static std::unique_ptr<TextStream> inMemory(QString path);
    // What a stream in memory holds, taken out of it.
    QByteArray takeWritten() { return std::exchange(m_pending, {}); }
    ~TextStream();
    TextStream(const TextStream &) = delete;
    TextStream &operator=(const TextStream &) = delete;

    // Starts a UTF-16 file with its byte-order mark (FF FE).
    void writeByteOrderMark();
    // Appends text as it is (in UTF-16, a lone surrogate as U+FFFD). Throws FileSystemError when
    // the stream is closed or the write fails; unbuffered, a write that failed part-way is taken
    // back from the file.
    void Write(const QString &text);
    // Appends text + CR LF. Throws FileSystemError when the stream is closed or the write fails.
    void WriteLine(const QString &text);
    // The next line without its terminator (LF or CR LF; a lone CR stays part of the line).
    QString ReadLine();
    // Reads at most `maxChars` characters of the current line. `lineEnded` tells whether the
    // line's terminator (or the end of the file) was reached, in which case it has been consumed.
    // Lets a caller walk a line of any length in bounded memory.
    QString ReadLinePart(qsizetype maxChars, bool &lineEnded);
    bool AtEndOfStream();
    // Flushes what is buffered, then closes; a failure to flush throws, the file closed all the
    // same.
    void Close();

    // Buffered, written lines wait in memory (64 KiB at most) until Flush or Close: for files that
    // nobody reads while they are written. Off by default.
    void setBuffered(bool buffered) { m_buffered = buffered; }
    void Flush();

    bool isOpen() const { return m_fd >= 0 || m_inMemory; }
    // What the file was when the file-system layer opened it: the size and holes then need no
    // call of their own (a small file costs few calls, and each counts by the thousand).
    void setOpenedAs(const struct stat &st) { m_opened = st; }
    // The size when opened, where that was kept, else as it is now; none for a stream in memory
    // or when it cannot be told.
    std::optional<qint64> SizeAtOpening() const;
    const QString &path() const { return m_path; }
    // The bytes read from the file so far, buffered or taken.
    qint64 BytesRead() const { return m_bytesRead; }
    // Whether the file has a hole below `size` (see fileHoleBelow), now or, where kept, when it
    // was opened; false for a stream in memory.
    bool HoleBelow(qint64 size, bool whenOpened = false) const;
    // Whether the file was cut and written again between the listing that saw it as `listed` and
    // its opening (see rotatedSinceListed); false where its status at the opening was not kept.
    bool RotatedSinceListed(const File &listed) const;
    // Whether the last byte of the file's first `size` bytes, `size` being its size at the opening,
    // was read and was not zero. A file cut and written again past its old end reads as zeros
    // there from the cut on, and the stream reads in order, so all it read came before any such
    // cut: its holes need no call to ask.
    bool ReadToOpenedEndBeforeAnyCut(qint64 size) const
    {
        return m_openedEndNotZero && m_opened && size == qint64(m_opened->st_size);
    }

private:
    void writeAll(const char *data, qsizetype size);
    bool fill();
    void dropUnfinishedTail();
    void requireOpen(const char *action) const;

    int m_fd;
    QString m_path;
    Encoding m_encoding;
    QByteArray m_buffer;
    QByteArray m_pending;
    bool m_buffered = false;
    bool m_inMemory = false;
    qsizetype m_pos = 0;
    bool m_eof = false;
    qint64 m_bytesRead = 0;
    std::optional<struct stat> m_opened;
    bool m_openedEndNotZero = false;
    // Where an unbuffered file written line by line ends: -1 until asked.
    off_t m_end = -1;
};

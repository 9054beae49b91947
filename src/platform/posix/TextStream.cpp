#include "platform/TextStream.h"

#include "platform/FileHoles.h"
#include "platform/FileSystemError.h"
#include "platform/WholeTransfer.h"

#include <QScopeGuard>

#include <algorithm>
#include <cerrno>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr qsizetype readBlock = 64 * 1024;
constexpr qsizetype pendingLimit = 64 * 1024;

void appendLatin1(QByteArray &to, QStringView text)
{
    const qsizetype at = to.size();
    to.resize(at + text.size());
    latin1Into(to.data() + at, text);
}
bool hasSurrogate(QStringView text)
{
    for (const QChar c : text)
        if (c.isSurrogate())
            return true;
    return false;
}

} // namespace

void latin1Into(char *out, QStringView text)
{
    const char16_t *in = text.utf16();
    const qsizetype n = text.size();
    const auto byteOf = [](char16_t c) { return c < 0x100 ? char(c) : '?'; };
    qsizetype i = 0;
#ifdef __SSE2__
    // Sixteen characters at a time where all have a byte: every readable copy passes through here
    // twice, and the compiler leaves the plain loop one character at a time.
    const __m128i high = _mm_set1_epi16(short(0xff00));
    for (; i + 16 <= n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i + 8));
        const __m128i above = _mm_and_si128(_mm_or_si128(a, b), high);
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(above, _mm_setzero_si128())) == 0xffff)
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_packus_epi16(a, b));
        else
            for (qsizetype j = i; j < i + 16; ++j)
                out[j] = byteOf(in[j]);
    }
#endif
    for (; i < n; ++i)
        out[i] = byteOf(in[i]);
}

TextStream::TextStream(int fd, QString path, Encoding encoding)
    : m_fd(fd)
    , m_path(std::move(path))
    , m_encoding(encoding)
{
}

std::unique_ptr<TextStream> TextStream::inMemory(QString path)
{
    auto stream = std::make_unique<TextStream>(-1, std::move(path), Encoding::SingleByte);
    stream->m_inMemory = true;
    stream->m_buffered = true;
    return stream;
}

bool TextStream::RotatedSinceListed(const File &listed) const
{
    return m_fd >= 0 && m_opened && rotatedSinceListed(m_fd, *m_opened, listed);
}

std::optional<qint64> TextStream::SizeAtOpening() const
{
    if (m_opened)
        return qint64(m_opened->st_size);
    struct stat st;
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return std::nullopt;
    return qint64(st.st_size);
}

TextStream::~TextStream()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void TextStream::requireOpen(const char *action) const
{
    if (m_fd < 0 && !m_inMemory)
        throw FileSystemError(EBADF, QString::fromLatin1(action), m_path);
}

void TextStream::writeAll(const char *data, qsizetype size)
{
    // Only Write counts where the file ends; anything else written makes it unknown.
    m_end = -1;
    const Transferred moved = transferWhole(
        size_t(size), [&](size_t done) { return ::write(m_fd, data + done, size_t(size) - done); });
    if (moved.bytes < size_t(size))
        throw FileSystemError(moved.error ? moved.error : EIO,
                              QStringLiteral("Cannot write to file"), m_path);
}

void TextStream::writeByteOrderMark()
{
    requireOpen("Cannot write to file");
    writeAll("\xFF\xFE", 2);
}

void TextStream::Write(const QString &text)
{
    requireOpen("Cannot write to file");
    QByteArray bytes;
    if (m_encoding == Encoding::Utf16LE) {
        // A lone surrogate (a name byte that is not UTF-8, see decodeNativePath) is written as
        // U+FFFD: the file stays well-formed UTF-16 for every reader.
        bytes.resize(text.size() * 2);
        char *out = bytes.data();
        // Nearly always so: the characters as they are held are the file's bytes.
        if (Q_BYTE_ORDER == Q_LITTLE_ENDIAN && !hasSurrogate(text))
            std::memcpy(out, text.constData(), size_t(bytes.size()));
        else
            for (qsizetype i = 0; i < text.size(); ++i) {
                char16_t c = text.at(i).unicode();
                const bool paired =
                    QChar::isHighSurrogate(c)
                        ? i + 1 < text.size() && text.at(i + 1).isLowSurrogate()
                        : i > 0 && QChar::isLowSurrogate(c) && text.at(i - 1).isHighSurrogate();
                if (QChar::isSurrogate(c) && !paired)
                    c = 0xFFFD;
                *out++ = char(c & 0xFF);
                *out++ = char(c >> 8);
            }
    } else if (m_buffered) {
        // Straight into what is pending: a copy is written line by line.
        appendLatin1(m_pending, text);
        if (m_pending.size() >= pendingLimit)
            Flush();
        return;
    } else {
        bytes = text.toLatin1();
    }
    if (!m_buffered) {
        // A line goes in whole or not at all: what a write that failed part-way (a full disk, a
        // size limit) left of it is taken back, so that no reader takes a cut line for a whole.
        // Where the file ends is asked once and then counted.
        const off_t before = m_end >= 0 ? m_end : ::lseek(m_fd, 0, SEEK_CUR);
        try {
            writeAll(bytes.constData(), bytes.size());
        } catch (const FileSystemError &) {
            if (before >= 0 && ::ftruncate(m_fd, before) == 0)
                ::lseek(m_fd, before, SEEK_SET);
            throw;
        }
        if (before >= 0)
            m_end = before + bytes.size();
        return;
    }
    m_pending += bytes;
    if (m_pending.size() >= pendingLimit)
        Flush();
}

void TextStream::Flush()
{
    if (m_pending.isEmpty() || m_inMemory)
        return;
    // Emptied whether or not the write succeeds, its memory kept for the next lines.
    const auto empty = qScopeGuard([&] { m_pending.resize(0); });
    writeAll(m_pending.constData(), m_pending.size());
}

void TextStream::WriteLine(const QString &text)
{
    if (m_buffered && m_encoding == Encoding::SingleByte) {
        requireOpen("Cannot write to file");
        appendLatin1(m_pending, text);
        m_pending.append("\r\n", 2);
        if (m_pending.size() >= pendingLimit)
            Flush();
        return;
    }
    Write(text + QLatin1String("\r\n"));
}

bool TextStream::HoleBelow(qint64 size, bool whenOpened) const
{
    return m_fd >= 0 && size > 0 &&
           fileHoleBelow(m_fd, quint64(size), whenOpened && m_opened ? &*m_opened : nullptr);
}

bool TextStream::fill()
{
    if (m_eof)
        return false;
    if (m_pos > 0) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    const qsizetype old = m_buffer.size();
    m_buffer.resize(old + readBlock);
    for (;;) {
        const ssize_t n = ::read(m_fd, m_buffer.data() + old, size_t(readBlock));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            m_buffer.resize(old);
            throw FileSystemError(errno, QStringLiteral("Cannot read file"), m_path);
        }
        m_buffer.resize(old + n);
        m_bytesRead += n;
        if (m_opened && m_opened->st_size > 0 && m_bytesRead >= m_opened->st_size &&
            m_bytesRead - n < m_opened->st_size)
            m_openedEndNotZero =
                m_buffer.at(old + qsizetype(m_opened->st_size - (m_bytesRead - n)) - 1) != 0;
        // A short read of a regular file met its end. Once past the size the file was opened
        // with, asking again only to hear so would cost a call for every small file; short of it,
        // the next read tells (a file cut short meanwhile, or one that reads in parts).
        if (n == 0 || (n < readBlock && m_opened && m_bytesRead >= m_opened->st_size)) {
            m_eof = true;
            dropUnfinishedTail();
        }
        return m_buffer.size() > old;
    }
}

void TextStream::dropUnfinishedTail()
{
    // Past the size the file was opened with, its writer goes on: a last line it has not ended
    // yet is not taken for a whole one (its record would read as another), but left for the next
    // run. What was there at the opening stays, and what was already taken.
    if (!m_opened || m_buffer.isEmpty() || m_buffer.endsWith('\n'))
        return;
    const qint64 bufferStart = m_bytesRead - m_buffer.size();
    const qint64 opened = qint64(m_opened->st_size);
    if (m_bytesRead <= opened)
        return;
    const qsizetype keep = std::max({m_buffer.lastIndexOf('\n') + 1, m_pos,
                                     qsizetype(std::max<qint64>(opened - bufferStart, 0))});
    m_buffer.truncate(keep);
}

QString TextStream::ReadLinePart(qsizetype maxChars, bool &lineEnded)
{
    requireOpen("Cannot read file");
    lineEnded = false;
    // Most lines end within what is buffered: they become text without a copy between.
    if (m_pos < m_buffer.size()) {
        const qsizetype want = std::min(m_buffer.size() - m_pos, maxChars);
        const char *start = m_buffer.constData() + m_pos;
        if (const char *lf = static_cast<const char *>(std::memchr(start, '\n', size_t(want)))) {
            m_pos += (lf - start) + 1;
            lineEnded = true;
            const qsizetype length = lf - start - (lf > start && lf[-1] == '\r' ? 1 : 0);
            return QString::fromLatin1(start, length);
        }
    }
    QByteArray part;
    while (part.size() < maxChars) {
        if (m_pos >= m_buffer.size() && !fill()) {
            lineEnded = true;
            break;
        }
        const qsizetype available = m_buffer.size() - m_pos;
        const qsizetype want = std::min(available, maxChars - part.size());
        const char *start = m_buffer.constData() + m_pos;
        const char *lf = static_cast<const char *>(std::memchr(start, '\n', size_t(want)));
        if (lf) {
            part.append(start, lf - start);
            m_pos += (lf - start) + 1;
            if (part.endsWith('\r'))
                part.chop(1);
            lineEnded = true;
            break;
        }
        part.append(start, want);
        m_pos += want;
    }
    // A CR that ends the part may be the first half of the line's CR LF: look one byte ahead.
    if (!lineEnded && part.endsWith('\r')) {
        if (m_pos >= m_buffer.size())
            fill();
        if (m_pos < m_buffer.size() && m_buffer.at(m_pos) == '\n') {
            part.chop(1);
            ++m_pos;
            lineEnded = true;
        }
    }
    // The line may end exactly where the part is full.
    if (!lineEnded) {
        if (m_pos >= m_buffer.size())
            fill();
        if (m_pos >= m_buffer.size()) {
            lineEnded = true;
        } else if (m_buffer.at(m_pos) == '\n') {
            ++m_pos;
            lineEnded = true;
        } else if (m_buffer.at(m_pos) == '\r') {
            if (m_pos + 1 >= m_buffer.size())
                fill();
            if (m_pos + 1 < m_buffer.size() && m_buffer.at(m_pos + 1) == '\n') {
                m_pos += 2;
                lineEnded = true;
            }
        }
    }
    return QString::fromLatin1(part);
}

QString TextStream::ReadLine()
{
    QString line;
    bool ended = false;
    while (!ended)
        line += ReadLinePart(readBlock, ended);
    return line;
}

bool TextStream::AtEndOfStream()
{
    requireOpen("Cannot read file");
    if (m_pos < m_buffer.size())
        return false;
    return !fill();
}

void TextStream::Close()
{
    if (m_fd < 0)
        return;
    std::optional<FileSystemError> lost;
    try {
        Flush();
    } catch (const FileSystemError &error) {
        lost = error;
    }
    const int fd = std::exchange(m_fd, -1);
    if (::close(fd) != 0 && !lost)
        lost = FileSystemError(errno, QStringLiteral("Cannot close file"), m_path);
    if (lost)
        throw *lost;
}

#include "archive/ZipWriter.h"

#include "archive/LittleEndian.h"
#include "archive/ZipEncryption.h"
#include "common/TimeText.h"
#include "platform/FileSystem.h"
#include "platform/WholeTransfer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Records are written through this much memory: an archive of 70,000 small entries costs a few
// hundred system calls, not two for every entry.
constexpr qsizetype bufferSize = 1 << 20;
constexpr quint32 max32 = 0xffffffffu;
// An entry this large gets the ZIP64 sizes in its local header before its data is written: its
// compressed data could pass 4 GiB even though the file did not.
constexpr quint64 zip64Size = 0xf0000000u;
// Made on Unix by the ZIP version 4.5 rules; 2.0 suffices to read an entry without ZIP64.
constexpr quint16 madeBy = 3 << 8 | 45;
constexpr quint16 plainVersion = 20;
constexpr quint16 zip64Version = 45;
constexpr quint16 utf8Flag = 1 << 11;
// A regular file its owner may write and everyone read, once it is taken out of the archive.
constexpr quint32 unixAttributes = quint32(0100644) << 16;
// The central directory is kept in blocks of this size.
constexpr qsizetype directoryBlock = 1 << 20;
// Seconds from 1601, where the NTFS times count from, to 1970.
constexpr qint64 ntfsEpoch = 11644473600;

// The exact modification time, for the local header and the central directory alike. The DOS
// time of the headers is local, by two seconds, and ends in 1980 and 2107. The extended
// timestamp holds seconds since 1970 in 32 bits, which readers take as unsigned: 1970 to 2106.
// Times outside that go as NTFS times, 100 ns since 1601, which hold any date a file can have;
// the access and creation slots repeat the modification time, the only one kept.
QByteArray timeExtra(qint64 modified)
{
    QByteArray out;
    out.reserve(36);
    if (modified >= 0 && modified <= qint64(max32)) {
        put16(out, 0x5455);
        put16(out, 5);
        out += char(1); // the modification time only
        put32(out, quint32(modified));
        return out;
    }
    const qint64 earliest = -ntfsEpoch;
    const qint64 latest = (std::numeric_limits<qint64>::max() / 10000000) - ntfsEpoch;
    const quint64 ticks = quint64(std::clamp(modified, earliest, latest) + ntfsEpoch) * 10000000;
    put16(out, 0x000a);
    put16(out, 32);
    put32(out, 0); // reserved
    put16(out, 1); // the times
    put16(out, 24);
    for (int i = 0; i < 3; ++i)
        put64(out, ticks);
    return out;
}

// What an encrypted entry changes in its headers: flag, method, version, CRC and extra field.
quint16 flagsOf(const ZipWriter::Entry &entry)
{
    return (entry.utf8 ? utf8Flag : 0) | (entry.encrypted ? ZipEncryption::encryptedFlag : 0);
}
quint16 methodOf(const ZipWriter::Entry &entry)
{
    return entry.encrypted ? ZipEncryption::method : entry.method;
}
quint16 versionOf(const ZipWriter::Entry &entry, bool zip64)
{
    return entry.encrypted ? ZipEncryption::versionNeeded : zip64 ? zip64Version : plainVersion;
}
quint32 crcOf(const ZipWriter::Entry &entry, quint32 crc)
{
    return entry.encrypted ? 0 : crc;
}
QByteArray extraOf(const ZipWriter::Entry &entry)
{
    return entry.encrypted ? ZipEncryption::extraField(entry.method) : QByteArray();
}

// The fields a local header and its central record share, in the order both hold them.
void putShared(QByteArray &out, const ZipWriter::Entry &entry, quint32 dosTime, bool zip64,
               quint32 crc, quint32 compressedSize, quint32 size, const QByteArray &extra)
{
    put16(out, versionOf(entry, zip64));
    put16(out, flagsOf(entry));
    put16(out, methodOf(entry));
    put32(out, dosTime);
    put32(out, crcOf(entry, crc));
    put32(out, compressedSize);
    put32(out, size);
    put16(out, quint16(entry.name.size()));
    put16(out, quint16(extra.size()));
}

// A write that moved nothing without an error is a device that takes no more.
int errorOf(const Transferred &moved)
{
    return moved.error ? moved.error : EIO;
}

} // namespace

ZipWriter::~ZipWriter()
{
    discard();
}

bool ZipWriter::madeFileAt(const QString &path) const
{
    struct stat named {};
    return m_made.second != 0 && ::lstat(nativePath(path).constData(), &named) == 0 &&
           quint64(named.st_dev) == m_made.first && quint64(named.st_ino) == m_made.second;
}

bool ZipWriter::open(const QString &path, quint64 after)
{
    discard();
    m_failure.clear();
    try {
        // Made exclusively: whatever stands at the name (a temporary of a killed run, a file
        // someone else holds open) goes, and is never written into.
        ::unlink(nativePath(path).constData());
        m_fd = createPrivateFile(path, false);
    } catch (const FileSystemError &error) {
        m_failure = error.description();
        return false;
    }
    m_path = path;
    struct stat made {};
    m_made = ::fstat(m_fd, &made) == 0 ? std::pair{quint64(made.st_dev), quint64(made.st_ino)}
                                       : std::pair{quint64(0), quint64(0)};
    if (after > 0 &&
        (::ftruncate(m_fd, off_t(after)) != 0 || ::lseek(m_fd, off_t(after), SEEK_SET) < 0))
        fail(QStringLiteral("Cannot write the archive"), errno);
    m_offset = m_fileOffset = m_writebackFrom = after;
    m_directory.clear();
    m_directorySize = 0;
    m_count = 0;
    m_buffer.reserve(bufferSize);
    return true;
}

void ZipWriter::fail(const QString &what, int error)
{
    if (m_failure.isEmpty())
        m_failure = QStringLiteral("%1 %2: %3")
                        .arg(what, m_path, QString::fromLocal8Bit(std::strerror(error)));
}

QByteArray ZipWriter::localHeader(const Entry &entry, quint32 crc, quint64 compressedSize,
                                  bool zip64) const
{
    QByteArray extra;
    extra.reserve(64);
    if (zip64) {
        put16(extra, 0x0001);
        put16(extra, 16);
        put64(extra, entry.size);
        put64(extra, compressedSize);
    }
    extra += timeExtra(entry.modified);
    extra += extraOf(entry);
    QByteArray out;
    out.reserve(30 + entry.name.size() + extra.size());
    put32(out, 0x04034b50);
    putShared(out, entry, m_entryDosTime, zip64, crc, zip64 ? max32 : quint32(compressedSize),
              zip64 ? max32 : quint32(entry.size), extra);
    out += entry.name;
    out += extra;
    return out;
}

void ZipWriter::beginEntry(const Entry &entry)
{
    m_entry = entry;
    m_entryOffset = m_offset;
    m_entryZip64 = std::max(entry.size, entry.sizeBound) >= zip64Size;
    m_entryRecoverable = !failed();
    // Worked out once: both headers of the entry hold it.
    m_entryDosTime = dosDateTime(entry.modified);
    const QByteArray header = localHeader(entry, 0, 0, m_entryZip64);
    m_entryHeaderLength = quint64(header.size());
    put(header);
}

void ZipWriter::write(const char *data, size_t length)
{
    if (failed() || m_fd < 0)
        return;
    m_offset += length;
    if (m_buffer.size() + qsizetype(length) > bufferSize)
        flush();
    if (failed())
        return;
    if (qsizetype(length) < bufferSize) {
        m_buffer.append(data, qsizetype(length));
        return;
    }
    const Transferred moved = transferWhole(
        length, [&](size_t done) { return ::write(m_fd, data + done, length - done); });
    m_fileOffset += moved.bytes;
    if (moved.bytes < length)
        fail(QStringLiteral("Cannot write the archive"), errorOf(moved));
    startWriteback();
}

void ZipWriter::flush()
{
    if (m_buffer.isEmpty() || failed())
        return;
    // What could not be written stays: an entry taken back out may make room for it.
    const size_t length = size_t(m_buffer.size());
    const Transferred moved = transferWhole(length, [&](size_t done) {
        return ::write(m_fd, m_buffer.constData() + done, length - done);
    });
    m_fileOffset += moved.bytes;
    m_buffer.remove(0, qsizetype(moved.bytes));
    if (moved.bytes < length)
        fail(QStringLiteral("Cannot write the archive"), errorOf(moved));
    startWriteback();
}

// What is written starts for the disk as the archive grows, so that the fsync at its end waits for
// the last part, not the whole. Only a start: the fsync alone says the archive is there.
void ZipWriter::startWriteback()
{
    constexpr quint64 step = 8 << 20;
    if (m_fileOffset - m_writebackFrom < step)
        return;
    ::sync_file_range(m_fd, off_t(m_writebackFrom), off_t(m_fileOffset - m_writebackFrom),
                      SYNC_FILE_RANGE_WRITE);
    m_writebackFrom = m_fileOffset;
}

void ZipWriter::finishEntry(quint32 crc, quint64 compressedSize)
{
    if (failed())
        return;
    // The header now says what it could not say before the data was compressed.
    const QByteArray header = localHeader(m_entry, crc, compressedSize, m_entryZip64);
    if (m_entryOffset >= m_fileOffset)
        std::memcpy(m_buffer.data() + (m_entryOffset - m_fileOffset), header.constData(),
                    size_t(header.size()));
    else if (const Transferred moved = transferWhole(
                 size_t(header.size()),
                 [&](size_t done) {
                     return ::pwrite(m_fd, header.constData() + done, size_t(header.size()) - done,
                                     off_t(m_entryOffset + done));
                 });
             moved.bytes < size_t(header.size()))
        fail(QStringLiteral("Cannot write the archive"), errorOf(moved));

    const bool bigSize = m_entry.size >= max32;
    const bool bigCompressed = compressedSize >= max32;
    const bool bigOffset = m_entryOffset >= max32;
    QByteArray zip64;
    zip64.reserve(24);
    if (bigSize)
        put64(zip64, m_entry.size);
    if (bigCompressed)
        put64(zip64, compressedSize);
    if (bigOffset)
        put64(zip64, m_entryOffset);
    QByteArray extra;
    extra.reserve(64);
    if (!zip64.isEmpty()) {
        put16(extra, 0x0001);
        put16(extra, quint16(zip64.size()));
        extra += zip64;
    }
    extra += timeExtra(m_entry.modified);
    extra += extraOf(m_entry);
    QByteArray record;
    record.reserve(46 + m_entry.name.size() + extra.size());
    put32(record, 0x02014b50);
    put16(record, madeBy);
    putShared(record, m_entry, m_entryDosTime, !zip64.isEmpty() || m_entryZip64, crc,
              bigCompressed ? max32 : quint32(compressedSize),
              bigSize ? max32 : quint32(m_entry.size), extra);
    put32(record, 0); // comment length, disk number
    put16(record, 0); // internal attributes
    put32(record, unixAttributes);
    put32(record, bigOffset ? max32 : quint32(m_entryOffset));
    record += m_entry.name;
    record += extra;
    addToDirectory(record);
}

void ZipWriter::addToDirectory(const QByteArray &record)
{
    if (m_directory.empty() || m_directory.back().size() + record.size() > directoryBlock) {
        m_directory.emplace_back();
        m_directory.back().reserve(std::max(directoryBlock, record.size()));
    }
    m_directory.back() += record;
    m_directorySize += quint64(record.size());
    ++m_count;
}

void ZipWriter::dropEntry()
{
    // A failure before the entry began is the archive's, not the entry's.
    if (!m_entryRecoverable || m_fd < 0)
        return;
    m_failure.clear();
    if (m_entryOffset >= m_fileOffset) {
        m_buffer.truncate(qsizetype(m_entryOffset - m_fileOffset));
    } else {
        m_buffer.clear();
        if (::ftruncate(m_fd, off_t(m_entryOffset)) != 0 ||
            ::lseek(m_fd, off_t(m_entryOffset), SEEK_SET) < 0)
            fail(QStringLiteral("Cannot take an entry back out of the archive"), errno);
        m_fileOffset = m_entryOffset;
        m_writebackFrom = std::min(m_writebackFrom, m_fileOffset);
    }
    m_offset = m_entryOffset;
}

bool ZipWriter::finish()
{
    if (m_fd < 0)
        return false;
    const quint64 directoryOffset = m_offset;
    for (QByteArray &block : m_directory) {
        put(block);
        block = QByteArray();
    }
    const quint64 directorySize = m_offset - directoryOffset;
    const quint64 count = m_count;
    m_directory = {};
    const bool zip64 = count >= 0xffff || directoryOffset >= max32 || directorySize >= max32;
    QByteArray end;
    if (zip64) {
        const quint64 recordOffset = m_offset;
        put32(end, 0x06064b50);
        put64(end, 44);
        put16(end, madeBy);
        put16(end, zip64Version);
        put64(end, 0); // this disk, the directory's disk
        put64(end, count);
        put64(end, count);
        put64(end, directorySize);
        put64(end, directoryOffset);
        put32(end, 0x07064b50);
        put32(end, 0);
        put64(end, recordOffset);
        put32(end, 1);
    }
    put32(end, 0x06054b50);
    put32(end, 0); // this disk, the directory's disk
    put16(end, zip64 ? 0xffff : quint16(count));
    put16(end, zip64 ? 0xffff : quint16(count));
    put32(end, zip64 ? max32 : quint32(directorySize));
    put32(end, zip64 ? max32 : quint32(directoryOffset));
    put16(end, 0);
    put(end);
    flush();
    // The archive reaches the disk before its name does: a crash leaves the old one or this.
    if (!failed() && ::fsync(m_fd) != 0)
        fail(QStringLiteral("Cannot write to disk the archive"), errno);
    if (::close(m_fd) != 0 && !failed())
        fail(QStringLiteral("Cannot write the archive"), errno);
    m_fd = -1;
    return !failed();
}

void ZipWriter::discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
        ::unlink(nativePath(m_path).constData());
    }
    m_buffer.clear();
    m_failure.clear();
}

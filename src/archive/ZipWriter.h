#pragma once

#include <QByteArray>
#include <QString>

#include <deque>

// Writes a ZIP archive front to back into one file, entry after entry, each entry's compressed
// data as it comes; the sizes and CRC of an entry whose data came in several pieces are put into
// its local header once it is complete. ZIP64 records appear only where sizes, offsets or the
// number of entries need them. Every failure is kept: once one write failed, nothing more is
// written and `failure()` says why.
class ZipWriter {
public:
    ~ZipWriter();
    ZipWriter() = default;
    ZipWriter(const ZipWriter &) = delete;
    ZipWriter &operator=(const ZipWriter &) = delete;

    // Creates the file, private to its owner; false with `failure()` when it cannot be.
    bool open(const QString &path);
    bool isOpen() const { return m_fd >= 0; }

    struct Entry {
        QByteArray name; // the name's own bytes
        bool utf8 = false;
        quint32 dosTime = 0;
        quint16 method = 8; // 0 stored, 8 deflated
        // Its data is encrypted (see ZipEncryption): `method` is then the real one, which the
        // headers name in the encryption's extra field.
        bool encrypted = false;
        // The size of the data, known before it is compressed.
        quint64 size = 0;
    };
    // Starts an entry; its data follows with `write`, and `finishEntry` or `dropEntry` ends it.
    void beginEntry(const Entry &entry);
    void write(const char *data, size_t length);
    // Describes the entry in its local header and the central directory.
    void finishEntry(quint32 crc, quint64 compressedSize);
    // Takes back everything of the current entry: the archive ends as it did before it. A write
    // that failed within the entry (a file size limit, a full disk) is forgiven with it.
    void dropEntry();

    // Writes the central directory and the end records, and makes the file reach the disk.
    bool finish();
    // Closes the file, finished or not, and removes it.
    void discard();

    bool failed() const { return !m_failure.isEmpty(); }
    QString failure() const { return m_failure; }

private:
    struct Written {
        Entry entry;
        quint32 crc;
        quint64 compressedSize;
        quint64 offset;
    };

    void put(const QByteArray &bytes) { write(bytes.constData(), size_t(bytes.size())); }
    void flush();
    void fail(const QString &what, int error);
    QByteArray localHeader(const Entry &entry, quint32 crc, quint64 compressedSize,
                           bool zip64) const;

    QString m_path;
    int m_fd = -1;
    QString m_failure;
    // Where the next byte goes in the archive, counting what waits in the buffer, and how much
    // of it is in the file; the buffer holds what lies between.
    quint64 m_offset = 0;
    quint64 m_fileOffset = 0;
    QByteArray m_buffer;
    // A deque: it grows without copying what it holds, 70,000 entries and more.
    std::deque<Written> m_central;
    // The entry being written.
    Entry m_entry;
    quint64 m_entryOffset = 0;
    quint64 m_entryHeaderLength = 0;
    bool m_entryZip64 = false;
    bool m_entryRecoverable = false;
};

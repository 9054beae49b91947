#pragma once

#include <QByteArray>
#include <QString>

#include <utility>

#include <vector>

// Writes a ZIP archive front to back into one file, entry after entry, each entry's compressed
// data as it comes; the sizes and CRC of an entry whose data came in several pieces are put into
// its local header once it is complete. ZIP64 records appear only where sizes, offsets or the
// number of entries need them. Every failure is kept: once one write failed, nothing more is
// written and `failure()` says why. Of an entry written, only its record in the central
// directory is kept, as the bytes that will be written.
class ZipWriter {
public:
    ~ZipWriter();
    ZipWriter() = default;
    ZipWriter(const ZipWriter &) = delete;
    ZipWriter &operator=(const ZipWriter &) = delete;

    // Creates the file, private to its owner; false with `failure()` when it cannot be. `after`
    // bytes of zeros (a hole, never written) go before the archive, whose offsets count them: an
    // archive appended to a stub, or one whose offsets pass 4 GiB without 4 GiB written.
    bool open(const QString &path, quint64 after = 0);
    bool isOpen() const { return m_fd >= 0; }

    struct Entry {
        QByteArray name; // the name's own bytes
        bool utf8 = false;
        // When the file was last modified, in seconds since 1970 (UTC).
        qint64 modified = 0;
        quint16 method = 8; // 0 stored, 8 deflated
        // Its data is encrypted (see ZipEncryption): `method` is then the real one, which the
        // headers name in the encryption's extra field.
        bool encrypted = false;
        // The size of the data, known before it is compressed.
        quint64 size = 0;
        // Of data rewritten before it is compressed: the most it may come to, which decides the
        // room in its headers; its size is told by setEntrySize before the entry is finished.
        quint64 sizeBound = 0;
    };
    // Starts an entry; its data follows with `write`, and `finishEntry` or `dropEntry` ends it.
    void beginEntry(const Entry &entry);
    void write(const char *data, size_t length);
    // The size of the current entry's data, when it was not known when it began.
    void setEntrySize(quint64 size) { m_entry.size = size; }
    // Describes the entry in its local header and the central directory.
    void finishEntry(quint32 crc, quint64 compressedSize);
    // How many entries are finished, and the bytes their central directory takes.
    quint64 entryCount() const { return m_count; }
    quint64 directorySize() const { return m_directorySize; }
    // Takes back everything of the current entry: the archive ends as it did before it. A write
    // that failed within the entry (a file size limit, a full disk) is forgiven with it.
    void dropEntry();

    // Writes the central directory and the end records, and makes the file reach the disk.
    bool finish();
    // Closes the file, finished or not, and removes it.
    void discard();

    bool failed() const { return !m_failure.isEmpty(); }
    QString failure() const { return m_failure; }
    // Whether `path` names the file this writer made (also once it is finished and closed): a
    // name can be taken over while the file is written, by another run in the same folder.
    bool madeFileAt(const QString &path) const;

private:
    void put(const QByteArray &bytes) { write(bytes.constData(), size_t(bytes.size())); }
    void flush();
    void startWriteback();
    void fail(const QString &what, int error);
    QByteArray localHeader(const Entry &entry, quint32 crc, quint64 compressedSize,
                           bool zip64) const;
    void addToDirectory(const QByteArray &record);

    QString m_path;
    int m_fd = -1;
    std::pair<quint64, quint64> m_made{0, 0};
    QString m_failure;
    // Where the next byte goes in the archive, counting what waits in the buffer, and how much
    // of it is in the file; the buffer holds what lies between.
    quint64 m_offset = 0;
    quint64 m_fileOffset = 0;
    // Where the file's part not yet sent on its way to the disk begins.
    quint64 m_writebackFrom = 0;
    QByteArray m_buffer;
    // The central directory's records, in blocks that are filled and never moved: it grows by
    // what a record takes, 200,000 entries and more.
    std::vector<QByteArray> m_directory;
    quint64 m_directorySize = 0;
    quint64 m_count = 0;
    // The entry being written.
    Entry m_entry;
    quint64 m_entryOffset = 0;
    quint64 m_entryHeaderLength = 0;
    bool m_entryZip64 = false;
    quint32 m_entryDosTime = 0;
    bool m_entryRecoverable = false;
};

#pragma once

#include <QByteArray>
#include <QString>

#include <map>
#include <optional>

// What independent readers find in an archive: the strict check of the container, 7z t where
// 7-Zip is installed, and Python's zipfile with its CRC check.
struct ArchiveEntry {
    qint64 size = 0;
    QByteArray sha256; // hex
    int method = -1;   // 8 = deflate
    qint64 compressedSize = 0;
    // The DOS date and time of its headers, "yyyy-MM-dd hh:mm:ss".
    QString modified;
    // The content, not how it was compressed.
    bool operator==(const ArchiveEntry &other) const
    {
        return size == other.size && sha256 == other.sha256 && method == other.method;
    }
};
// By name, decoded as the program decodes file names (decodeNativePath).
using ArchiveContent = std::map<QString, ArchiveEntry>;

// Nothing when the archive cannot be read or an entry fails its check. `prefix`: bytes of a stub
// before the archive.
std::optional<ArchiveContent> readArchive(const QString &path, quint64 prefix = 0);

// The headers alone, as the strict check reads them, the data unread: its summary, and each
// entry's sizes and offset.
struct EntryHeader {
    quint64 size = 0;
    quint64 compressedSize = 0;
    quint64 offset = 0;
    bool operator==(const EntryHeader &) const = default;
};
struct ArchiveHeaders {
    QString summary;
    std::map<QString, EntryHeader> entries;
};
std::optional<ArchiveHeaders> readHeaders(const QString &path, quint64 prefix = 0);

// The SHA-256 of a file, hex, as the reader gives it for an entry.
QByteArray fileDigest(const QString &path);

// What two readers independent of the program find in an archive of encrypted entries: 7-Zip,
// and ae2read.py, which reads the format from its rules alone and checks every field. Nothing
// when either refuses the archive or an entry, or when they disagree.
std::optional<ArchiveContent> readEncryptedArchive(const QString &path,
                                                   const QByteArray &passphrase);

// How many entries each reader refuses when given `passphrase`.
struct Refusals {
    int sevenZip = 0;
    int reference = 0;
    bool operator==(const Refusals &) const = default;
};
Refusals refusedEntries(const QString &path, const QByteArray &passphrase);

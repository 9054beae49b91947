#pragma once

#include "platform/Registry.h"

#include <QMap>
#include <QString>

#include <map>
#include <vector>

// The keys and values of a registry file in the `.reg` text format ("Windows Registry Editor
// Version 5.00" or "REGEDIT4"; UTF-16LE with or without a byte-order mark, UTF-8, or any
// single-byte encoding, whose bytes are kept as they are). Keys are held under
// their full path ("HKEY_LOCAL_MACHINE\SOFTWARE\..."), case-folded; every key's ancestors exist.
// Whatever cannot be read is left out: any bytes at all give some hive and never a crash.
class RegFile {
public:
    // A map rather than a hash: an empty hash's first table is kilobytes, and a file of many
    // small keys would pay that per key.
    using Values = QMap<QString, RegistryValue>;

    // One pass over the bytes; memory grows with their size, however deep the keys are nested.
    static RegFile parse(const QByteArray &bytes);

    // Null when the key is not in the file. A key that is only an ancestor of one in the file
    // has no values.
    const Values *key(quint32 root, const QString &path) const;
    // The values of the key and of every key below it.
    std::vector<NamedRegistryValue> valuesBelow(quint32 root, const QString &path) const;
    // The keys the file names (not counting their ancestors).
    qsizetype keyCount() const { return qsizetype(m_keys.size()); }
    // False when the file does not start with one of the two header lines: then it has no keys.
    bool hasHeader() const { return m_hasHeader; }

private:
    // Sorted, so that the keys below an ancestor follow one another: ancestors need not be stored,
    // which would take the square of a deep key's length.
    std::map<QString, Values> m_keys;
    bool m_hasHeader = false;
};

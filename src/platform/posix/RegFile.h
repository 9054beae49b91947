#pragma once

#include "platform/Registry.h"

#include <QHash>
#include <QString>

// The keys and values of a registry file in the `.reg` text format ("Windows Registry Editor
// Version 5.00" or "REGEDIT4"; UTF-8, or UTF-16LE with a byte-order mark). Keys are held under
// their full path ("HKEY_LOCAL_MACHINE\SOFTWARE\..."), case-folded; every key's ancestors exist.
// Whatever cannot be read is left out: any bytes at all give some hive and never a crash.
class RegFile {
public:
    using Values = QHash<QString, RegistryValue>;

    static RegFile parse(const QByteArray &bytes);

    // Null when the key is not in the file.
    const Values *key(quint32 root, const QString &path) const;
    qsizetype keyCount() const { return m_keys.size(); }

private:
    QHash<QString, Values> m_keys;
};

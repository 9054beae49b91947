#pragma once

#include <QVariant>

class Registry;

namespace RegistryKind {
constexpr qint16 String = 1;
constexpr qint16 Binary = 3;
constexpr qint16 Number = 4;
} // namespace RegistryKind

// Reads one value as the requested kind: a QString for String, a QByteArray for Binary, a qint32
// for Number. Whatever cannot be read yields `defaultValue`. Raises Failure 1001 "Unsupported value
// type" for another kind when the key exists, and the argument error for String or Binary data of
// zero bytes.
QVariant ReadRegistryValue(const Registry &registry, quint32 root, const QString &keyPath,
                           const QString &valueName, qint16 kind, const QVariant &defaultValue);

// Whether a string value is there but larger than the 1,024 bytes (terminating zero included) a
// string query takes, so that it reads as the default: a caller can then say it is too long
// rather than missing.
bool RegistryStringTooLong(const Registry &registry, quint32 root, const QString &keyPath,
                           const QString &valueName);

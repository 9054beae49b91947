#pragma once

#include <QByteArray>
#include <QString>

// The byte form of a path as the system takes it, and back. Names are bytes: valid UTF-8 decodes
// as text, and every other byte becomes the lone surrogate U+DC00 + byte, which nativePath turns
// back into that byte. So a name that is not UTF-8 still opens, under the bytes it was listed as.
QByteArray nativePath(const QString &path);
QString decodeNativePath(const QByteArray &native);

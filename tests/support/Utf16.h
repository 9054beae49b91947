#pragma once

#include <QByteArray>
#include <QString>

// Text as the served product's tools and the run log write it: UTF-16LE after its byte-order mark
// (or without it, where a file was saved so).
inline QByteArray utf16Le(const QString &text, bool mark = true)
{
    QByteArray bytes = mark ? QByteArray("\xFF\xFE") : QByteArray();
    for (const QChar c : text)
        bytes.append(char(c.unicode() & 0xFF)).append(char(c.unicode() >> 8));
    return bytes;
}

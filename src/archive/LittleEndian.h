#pragma once

#include <QByteArray>
#include <QtEndian>

// The archive's fields are little-endian, whatever the machine: appended in that order.
template <typename T> void putField(QByteArray &out, T value)
{
    const qsizetype at = out.size();
    out.resize(at + qsizetype(sizeof value));
    qToLittleEndian(value, out.data() + at);
}

inline void put16(QByteArray &out, quint16 value)
{
    putField(out, value);
}

inline void put32(QByteArray &out, quint32 value)
{
    putField(out, value);
}

inline void put64(QByteArray &out, quint64 value)
{
    putField(out, value);
}

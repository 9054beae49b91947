#pragma once

#include <QByteArray>

#include <random>

// Bytes deflate cannot shrink, the same for the same seed.
inline QByteArray noise(qsizetype size, unsigned seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    std::mt19937 random(seed);
    for (char &byte : bytes)
        byte = char(random());
    return bytes;
}

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

// Log lines, `size` bytes of them, numbered in steps of `step`: text deflate shrinks.
inline QByteArray logText(qsizetype size, int step)
{
    QByteArray text;
    for (int i = 0; text.size() < size; ++i)
        text += "line " + QByteArray::number(i * step) + " of the log\r\n";
    return text.left(size);
}

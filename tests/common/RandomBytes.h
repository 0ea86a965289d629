#pragma once

#include <QByteArray>
#include <QRandomGenerator>

// `size` bytes that the same seed always gives again.
inline QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

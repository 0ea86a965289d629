#pragma once

#include <QFile>
#include <QtTest>

// The resident memory of a process (VmRSS), in bytes; -1 when unreadable.
inline qint64 residentBytes(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

// A process's memory says something about an attack only in a plain build:
// a sanitizer's shadow memory and its quarantine of freed blocks grow every
// process by hundreds of MiB. Sanitizer builds check everything else.
#ifdef WIVORA_SANITIZED
#define QVERIFY_MEMORY_BOUND(condition, message) \
    do { \
        (void)(condition); \
        (void)(message); \
    } while (false)
#else
#define QVERIFY_MEMORY_BOUND(condition, message) QVERIFY2(condition, message)
#endif

#pragma once

#include <QDir>
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

// How many descriptors a process holds open; -1 when unreadable.
inline int openDescriptors(qint64 pid)
{
    const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(pid));
    if (!descriptors.exists())
        return -1;
    // Sockets show as links to nowhere: System lists them too.
    return int(descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
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

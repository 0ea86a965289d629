// Encode and decode rates of command records, each beside a QDataStream of a
// QMap<QString, QByteArray> holding the same entries, measured in the same run.
// Ratios above 1 mean the record is faster.

#include "BenchFigures.h"
#include "KvrConfig.h"

#include <QDataStream>
#include <QElapsedTimer>
#include <QMap>
#include <QUuid>

#include <cstdio>
#include <functional>
#include <utility>

namespace {

using Entries = QVector<std::pair<QString, QByteArray>>;

constexpr qint64 kRunNs = 700 * 1000 * 1000; // per figure and side

// Calls work until kRunNs have passed; gives the calls per second.
double rate(const std::function<void()> &work)
{
    for (int i = 0; i < 3; ++i) // warm up caches and allocator
        work();
    QElapsedTimer timer;
    timer.start();
    qint64 calls = 0;
    qint64 elapsed = 0;
    do {
        for (int i = 0; i < 16; ++i)
            work();
        calls += 16;
        elapsed = timer.nsecsElapsed();
    } while (elapsed < kRunNs);
    return double(calls) * 1e9 / double(elapsed);
}

// A typical command: nine keys, 274 bytes in the binary form.
Entries commandEntries()
{
    Entries e{
        {QStringLiteral("ID"), QUuid::createUuid().toString().toUtf8()},
        {QStringLiteral("command"), "wftp:::listDirectory"},
        {QStringLiteral("user"), "alice"},
        {QStringLiteral("receiver"), "bob"},
        {QStringLiteral("path"), "/vls/bob/holidays/2011/pictures"},
        {QStringLiteral("getThumbnails"), "true"},
        {QStringLiteral("discType"), "vls"},
        {QStringLiteral("result"), "0"},
        {QStringLiteral("note"), QByteArray()},
    };
    int size = 4;
    for (const auto &[key, value] : e)
        size += 8 + key.toUtf8().size() + value.size();
    e.last().second = QByteArray(274 - size, 'n');
    return e;
}

// A file chunk: a few keys and a 252864-byte payload.
Entries chunkEntries()
{
    QByteArray payload(252864, Qt::Uninitialized);
    for (int i = 0; i < payload.size(); ++i)
        payload[i] = char(i * 131 + 7);
    return {{QStringLiteral("ID"), QUuid::createUuid().toString().toUtf8()},
            {QStringLiteral("command"), "wftp:::fileChunk"},
            {QStringLiteral("offset"), "1011456"},
            {QStringLiteral("data"), payload}};
}

KvrConfig recordOf(const Entries &entries)
{
    KvrConfig record;
    for (const auto &[key, value] : entries)
        record.SetValue(key, value);
    return record;
}

QMap<QString, QByteArray> mapOf(const Entries &entries)
{
    QMap<QString, QByteArray> map;
    for (const auto &[key, value] : entries)
        map.insert(key, value);
    return map;
}

QByteArray streamOf(const QMap<QString, QByteArray> &map)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_6);
    out << map;
    return bytes;
}

void measure(const char *name, const Entries &entries)
{
    const KvrConfig record = recordOf(entries);
    const QMap<QString, QByteArray> map = mapOf(entries);
    const QByteArray recordBytes = record.SerializeConfigBinary();
    const QByteArray streamBytes = streamOf(map);
    qint64 sink = 0;

    const double encode = rate([&] { sink += record.SerializeConfigBinary().size(); });
    const double encodeBase = rate([&] { sink += streamOf(map).size(); });

    const double decode = rate([&] {
        KvrConfig read;
        read.DeserializeConfigBinary(recordBytes);
        sink += read.size();
    });
    const double decodeBase = rate([&] {
        QDataStream in(streamBytes);
        in.setVersion(QDataStream::Qt_4_6);
        QMap<QString, QByteArray> read;
        in >> read;
        sink += read.size();
    });

    const QByteArray label = QByteArray(name) + " (" + QByteArray::number(recordBytes.size()) + " bytes)";
    const char *baseline = "QDataStream QMap<QString,QByteArray>";
    BenchFigures::printFigure((label + " encode").constData(), encode, "records/s", baseline, encodeBase, 0);
    BenchFigures::printFigure((label + " decode").constData(), decode, "records/s", baseline, decodeBase, 0);
    if (sink == 42) // keeps the work from being optimised away
        std::printf(" \n");
}

} // namespace

int main()
{
    measure("9-key record", commandEntries());
    measure("record with 252864-byte payload", chunkEntries());
    return 0;
}

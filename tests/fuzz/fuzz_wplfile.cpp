// Feeds arbitrary bytes to the item heap reader as a stored ".wpl": the first
// four bytes pick an offset, the rest is the heap. A record read must lie
// inside the heap at that offset.
#include "WMailConversation.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <cstdint>
#include <cstdlib>

namespace {

QString folder()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/fuzz_wplfile-XXXXXX"));
    return dir.path();
}

} // namespace

// Damage is logged; a million log lines would only slow the run.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const qint64 offset = qint32(qFromBigEndian<quint32>(data));
    const QByteArray heap(reinterpret_cast<const char *>(data) + 4, int(size - 4));
    WMailConversation conversation(folder(), QStringLiteral("peer"));
    {
        QFile file(conversation.heapPath());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(heap) != heap.size())
            abort();
    }
    const QByteArray record = conversation.readItemRecord(offset);
    if (!record.isEmpty() && heap.mid(int(offset) + 4, record.size()) != record)
        abort();
    // Walking the heap record by record ends inside it.
    qint64 at = 0;
    for (int steps = 0; at + 4 <= heap.size() && steps < 1000; ++steps) {
        const QByteArray next = conversation.readItemRecord(at);
        if (next.isEmpty())
            break;
        at += 4 + next.size();
    }
    if (at > heap.size())
        abort();
    // An append lands at the end and reads back.
    const qint64 appended = conversation.appendItemRecord(QByteArray("tail"));
    if (appended != heap.size() || conversation.readItemRecord(appended) != QByteArray("tail"))
        abort();
    return 0;
}

// Loading a conversation of 100 000 messages (header with every id, the tree
// and the item offsets of its ".wml"), beside reading the same file's bytes;
// and delivery of a message between two clients (Delivery.h).

#include "BenchFigures.h"
#include "WMailConversation.h"
#ifdef WIVORA_BENCH_DELIVERY
#include "Delivery.h"
#endif

#include <WUtilities.h>

#include <QCoreApplication>
#include <QDataStream>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int kMessages = 100000;
constexpr int kRuns = 7;

QByteArray block(const QByteArray &bytes)
{
    return WUtilities::intToByteArray(bytes.size()) + bytes;
}

// A conversation between alice and bob of kMessages text messages as the
// program leaves it: every id in the header, every item's offset recorded.
bool writeConversation(const QString &folder)
{
    WMailConversation conversation(folder, QStringLiteral("bob"));
    conversation.initialise(QStringLiteral("bob"), QStringLiteral("alice"), {QStringLiteral("bob")});
    const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-kMessages);
    QStringList ids;
    KvrConfig offsets;
    for (int i = 0; i < kMessages; ++i) {
        const auto message = conversation.newMessage(QStringLiteral("text"),
                                                     i % 2 ? QStringLiteral("alice") : QStringLiteral("bob"),
                                                     start.addSecs(i));
        conversation.viewRoot()->appendChild(message);
        ids << message->id;
        offsets.sv(message->id + QStringLiteral("-preview"), QString::number(qint64(i) * 1028));
    }
    QByteArray header;
    QDataStream out(&header, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_6);
    out << conversation.name() << conversation.title() << start << start << false << false << conversation.owner()
        << qint32(2) << QStringLiteral("alice") << QStringLiteral("bob") << qint32(ids.size());
    for (const QString &id : qAsConst(ids))
        out << id;
    out << KvrConfig().SerializeConfigBinary();

    QFile file(conversation.conversationPath());
    const QByteArray content =
        block(header) + block(conversation.root()->serializeStructure()) + block(offsets.SerializeConfigBinary());
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

int main(int argc, char **argv)
{
    // Settings and storage of its own, never the user's.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid() || !writeConversation(dir.path())) {
        std::fprintf(stderr, "could not write the conversation\n");
        return 1;
    }
    const QString path = dir.path() + QStringLiteral("/bob.wml");

    int loadedMessages = 0;
    const std::vector<qint64> loads = BenchFigures::timedRuns(1, kRuns, [&] {
        WMailConversation conversation(dir.path(), QStringLiteral("bob"));
        const bool loaded = conversation.load() && !conversation.isDamaged();
        loadedMessages = qMin(conversation.root()->children.size(), conversation.messageIds().size());
        return loaded;
    });
    const std::vector<qint64> reads = BenchFigures::timedRuns(1, kRuns, [&] {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) && file.readAll().size() > 0;
    });
    if (loads.empty() || reads.empty() || loadedMessages != kMessages) {
        std::fprintf(stderr, "the conversation did not load\n");
        return 1;
    }
    const double loadMs = BenchFigures::percentiles(loads, BenchFigures::kMillisecond).p50;
    const double readMs = BenchFigures::percentiles(reads, BenchFigures::kMillisecond).p50;
    std::printf("conversation of %d messages: %.1f MB\n", kMessages, double(QFile(path).size()) / 1e6);
    BenchFigures::printFigure("load 100000-message conversation (p50)", loadMs, "ms", "read its file", readMs);
#ifdef WIVORA_BENCH_DELIVERY
    if (!measureDelivery()) {
        std::fprintf(stderr, "delivery between the clients failed\n");
        return 1;
    }
#endif
    return 0;
}

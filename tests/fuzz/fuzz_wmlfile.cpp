// Feeds arbitrary bytes to the conversation file reader as a stored ".wml".
// A file that loads without damage must save and load back to the same file.
#include "WMailConversation.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

QString folder()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/fuzz_wmlfile-XXXXXX"));
    return dir.path();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
    const QString name = QStringLiteral("peer");
    const QString path = folder() + QStringLiteral("/peer.wml");
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            abort();
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    WMailConversation headerOnly(folder(), name);
    headerOnly.loadHeader();

    WMailConversation conversation(folder(), name);
    if (!conversation.load())
        abort();
    if (!conversation.isDamaged()) {
        if (!conversation.saveConversation())
            abort();
        const QByteArray saved = readAll(path);
        WMailConversation reread(folder(), name);
        if (!reread.load() || reread.isDamaged() || !reread.saveConversation() || readAll(path) != saved)
            abort();
    }
    QDir(folder()).removeRecursively();
    QDir().mkpath(folder());
    return 0;
}

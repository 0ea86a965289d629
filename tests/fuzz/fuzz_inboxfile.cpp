// Feeds arbitrary bytes to the receiver's inbox as the file a crash or a
// stranger left behind. What it keeps must read back the same after the
// rewrite its opening makes.
#include "DurableInbox.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir folder;
    if (!folder.isValid())
        abort();
    const QString path = QDir(folder.path()).filePath(DurableInbox::FileName);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        abort();
    file.close();

    DurableInbox inbox;
    const QList<KvrConfig> kept = inbox.open(folder.path());
    if (inbox.count() != kept.size() || kept.size() > DurableInbox::MaxRecords)
        abort();
    if (DurableInbox().open(folder.path()) != kept)
        abort();
    return 0;
}

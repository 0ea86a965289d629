// Feeds arbitrary bytes to the store of buffered records as the journal a
// crash or damage left beside an empty snapshot. What it keeps must read the
// same from the sound part alone, and a change appended after opening must
// read back after what was kept.
#include "BufferedCommandsStore.h"
#include "FuzzCheck.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir folder;
    check(folder.isValid());
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));

    const BufferedCommandsStore::Replay replayed = BufferedCommandsStore::replay(QByteArray(), bytes);
    check(replayed.soundJournalBytes >= 0 && replayed.soundJournalBytes <= bytes.size());
    const BufferedCommandsStore::Replay sound =
        BufferedCommandsStore::replay(QByteArray(), bytes.left(int(replayed.soundJournalBytes)));
    check(sound.queues == replayed.queues);
    check(!replayed.journalApplies || sound.intact);

    const QString snapshotName = QStringLiteral("bufferedcommands.bff");
    QFile::remove(QDir(folder.path()).filePath(snapshotName));
    QFile journal(QDir(folder.path()).filePath(BufferedCommandsStore::JournalName));
    check(journal.open(QIODevice::WriteOnly | QIODevice::Truncate) && journal.write(bytes) == bytes.size());
    journal.close();

    BufferedCommandsStore store(snapshotName);
    BufferedCommandsStore::Queues expected = store.open(folder.path());
    check(expected == replayed.queues);
    KvrConfig record;
    record.sv(QStringLiteral("ID"), QStringLiteral("appended"));
    record.sv(QStringLiteral("command"), QStringLiteral("wmail:::new"));
    check(store.recordAdded(QStringLiteral("bob"), record));
    store.close();
    expected[QStringLiteral("bob")].append(record);
    check(BufferedCommandsStore(snapshotName).open(folder.path()) == expected);
    return 0;
}

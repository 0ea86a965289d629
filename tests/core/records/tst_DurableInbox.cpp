// The receiver's inbox against real files in a temporary folder: what is
// added survives a reopen until it is taken, and a damaged file (as a crash
// or a stranger leaves it) gives what was intact and never a crash.
#include "QtTestSuite.h"

#include "DurableInbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QThread>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

namespace {

KvrConfig message(const QString &text, const QString &sender = QStringLiteral("bob"))
{
    KvrConfig record;
    record.SetID();
    record.sv(QStringLiteral("command"), QStringLiteral("wmail:::newMessage"));
    record.sv(QStringLiteral("Wivora::sender"), sender);
    record.sv(QStringLiteral("text"), text);
    return record;
}

QByteArray entry(char kind, const QByteArray &payload, qint64 declaredLength = -1)
{
    QByteArray header(5, Qt::Uninitialized);
    header[0] = kind;
    qToBigEndian<quint32>(quint32(declaredLength < 0 ? payload.size() : declaredLength), header.data() + 1);
    return header + payload;
}

QByteArray recordEntry(const KvrConfig &record)
{
    return entry('R', record.SerializeConfigBinary());
}

QStringList textsOf(const QList<KvrConfig> &records)
{
    QStringList texts;
    for (const KvrConfig &record : records)
        texts << record.gv(QStringLiteral("text"));
    return texts;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_DurableInbox : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_folder.reset(new QTemporaryDir);
        QVERIFY(m_folder->isValid());
    }

    // What was added and not taken comes back, in order, in the next run;
    // once everything was taken the file is empty.
    void keepsWhatWasNotTaken()
    {
        const KvrConfig first = message(QStringLiteral("first"));
        const KvrConfig second = message(QStringLiteral("second"));
        const KvrConfig third = message(QStringLiteral("third"));
        {
            DurableInbox inbox;
            QVERIFY(inbox.open(m_folder->path()).isEmpty());
            for (const KvrConfig &record : {first, second})
                QVERIFY(inbox.add(record));
            // A run of records costs one sync, asked for afterwards.
            QVERIFY(inbox.add(third, DurableInbox::Sync::Later));
            QVERIFY(inbox.sync());
            // The same record again (a late acknowledgement, a relay repeat)
            // is held once.
            QVERIFY(inbox.add(second));
            QCOMPARE(inbox.count(), 3);
            inbox.remove(second.GetID());
            inbox.remove(QStringLiteral("{not-here}"));
        }
        DurableInbox inbox;
        QCOMPARE(textsOf(inbox.open(m_folder->path())), (QStringList{"first", "third"}));
        QCOMPARE(inbox.open(m_folder->path()).first().gv(QStringLiteral("Wivora::sender")), QStringLiteral("bob"));
        inbox.remove(first.GetID());
        inbox.remove(third.GetID());
        QCOMPARE(inbox.count(), 0);
        // Everything taken: the next add goes on after the marks.
        const KvrConfig fourth = message(QStringLiteral("fourth"));
        QVERIFY(inbox.add(fourth));
        const QByteArray bytes = readFile(path());
        QVERIFY(bytes.contains(recordEntry(fourth)));
        // Taking writes nothing (it runs on the GUI thread): the mark goes
        // with the next add, or at the close.
        inbox.remove(fourth.GetID());
        QCOMPARE(readFile(path()), bytes);
        QCOMPARE(inbox.count(), 0);
        inbox.close();
        QVERIFY(DurableInbox().open(m_folder->path()).isEmpty());

        // Closed, it stores nothing: the caller keeps the record's source.
        QVERIFY(!inbox.add(message(QStringLiteral("after close"))));
        QVERIFY(!inbox.sync());
        QCOMPARE(QFileInfo(path()).size(), qint64(0));
    }

    // While one record waits, many pass through: the file does not keep
    // growing with the taken ones (it would outgrow what a read takes in).
    void fileStaysSmallWhileRecordsPassThrough()
    {
        DurableInbox inbox;
        inbox.open(m_folder->path());
        const KvrConfig waiting = message(QStringLiteral("waiting"));
        QVERIFY(inbox.add(waiting));
        for (int i = 0; i < 100; ++i) {
            KvrConfig passing = message(QStringLiteral("passing"));
            passing.SetValue(QStringLiteral("data"), QByteArray(100 * 1024, 'p'));
            QVERIFY(inbox.add(passing));
            inbox.remove(passing.GetID());
            // Compacted by the adds: no more than twice what waited then,
            // the slack and the marks since.
            const qint64 bound = DurableInbox::CompactionSlack
                + 2 * (passing.SerializeConfigBinary().size() + waiting.SerializeConfigBinary().size()) + 1024
                + 1024 * 1024; // the room allocated ahead
            QVERIFY2(QFileInfo(path()).size() <= bound,
                     qPrintable(QString::number(QFileInfo(path()).size()) + " at " + QString::number(i)));
        }
        inbox.close();
        QCOMPARE(textsOf(DurableInbox().open(m_folder->path())), QStringList{"waiting"});
    }

    // Link threads add and sync while the GUI thread takes what plug-ins
    // filed: each add is durable when add returns, every take is kept, and
    // the next run finds exactly what was not taken.
    void addsSyncsAndTakesFromManyThreads()
    {
        constexpr int kThreads = 4;
        constexpr int kRecordsEach = 60;
        DurableInbox inbox;
        inbox.open(m_folder->path());
        QMutex addedMutex;
        QStringList added;
        std::atomic<bool> failed{false};
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back(QThread::create([&, t] {
                for (int i = 0; i < kRecordsEach; ++i) {
                    const KvrConfig record = message(QStringLiteral("%1-%2").arg(t).arg(i));
                    const bool later = i % 2 == 0;
                    if (!inbox.add(record, later ? DurableInbox::Sync::Later : DurableInbox::Sync::Now)
                        || (later && !inbox.sync()))
                        failed = true;
                    QMutexLocker lock(&addedMutex);
                    added << record.GetID();
                }
            }));
            threads.back()->start();
        }
        QSet<QString> taken;
        QStringList kept;
        int seen = 0;
        const auto takeNew = [&] {
            QMutexLocker lock(&addedMutex);
            for (; seen < added.size(); ++seen) {
                if (seen % 3 == 0) {
                    kept << added.at(seen);
                } else {
                    inbox.remove(added.at(seen));
                    taken.insert(added.at(seen));
                }
            }
        };
        for (auto &thread : threads) {
            while (!thread->wait(1))
                takeNew();
        }
        takeNew();
        QVERIFY(!failed);
        QCOMPARE(seen, kThreads * kRecordsEach);
        QCOMPARE(inbox.count(), kept.size());
        inbox.close();
        QStringList reread;
        for (const KvrConfig &record : DurableInbox().open(m_folder->path()))
            reread << record.GetID();
        std::sort(reread.begin(), reread.end());
        std::sort(kept.begin(), kept.end());
        QCOMPARE(reread, kept);
    }

    void damagedFileKeepsWhatWasIntact_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("kept");

        const QByteArray one = recordEntry(message(QStringLiteral("one")));
        const QByteArray two = recordEntry(message(QStringLiteral("two")));
        const QByteArray garbage("\x00\x00\x00\x07notrecord", 13);

        QTest::newRow("torn last entry") << one + two.left(two.size() - 3) << QStringList{"one"};
        QTest::newRow("torn header") << one + two.left(3) << QStringList{"one"};
        QTest::newRow("entry that is no record") << one + entry('R', garbage) + two << QStringList{"one", "two"};
        QTest::newRow("unknown kind") << one + entry('X', "abc") + two << QStringList{"one"};
        QTest::newRow("zero length") << one + entry('R', QByteArray()) + two << QStringList{"one"};
        QTest::newRow("length beyond the end") << one + entry('R', "abc", 1 << 20) << QStringList{"one"};
        QTest::newRow("length over the cap")
            << one + entry('R', "abc", DurableInbox::MaxEntryBytes + 1) << QStringList{"one"};
        QTest::newRow("taken mark of an unknown record") << one + entry('T', "{nobody}") + two
                                                        << QStringList{"one", "two"};
        QTest::newRow("random bytes") << QByteArray("\xff\xfe\x01garbage and more garbage", 26) << QStringList{};
        QTest::newRow("empty file") << QByteArray() << QStringList{};
        // Room allocated ahead ends the entries; an append cut short inside
        // it leaves its header and zeros.
        QTest::newRow("room after the entries") << one + two + QByteArray(4096, '\0') << QStringList{"one", "two"};
        QTest::newRow("torn entry inside the room")
            << one + two.left(20) + QByteArray(4096, '\0') << QStringList{"one"};
        QTest::newRow("entries after a zero header")
            << one + QByteArray(5, '\0') + two << QStringList{"one"};
    }

    // After the damage is read away, what is added next survives too: it is
    // not appended behind a torn entry that would hide it.
    void damagedFileKeepsWhatWasIntact()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, kept);
        QVERIFY(writeFile(path(), bytes));

        DurableInbox inbox;
        QCOMPARE(textsOf(inbox.open(m_folder->path())), kept);
        QVERIFY(inbox.add(message(QStringLiteral("later"))));

        QCOMPARE(textsOf(DurableInbox().open(m_folder->path())), kept + QStringList{"later"});
        QCOMPARE(QFile(path()).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
    }

    // A link in the inbox's place is neither read nor written through: what
    // it points at stays as it was.
    void linkInItsPlaceIsNotFollowed()
    {
        const QString target = m_folder->filePath(QStringLiteral("elsewhere"));
        const QByteArray planted = recordEntry(message(QStringLiteral("planted")));
        QVERIFY(writeFile(target, planted));
        QVERIFY(QFile::link(target, path()));

        DurableInbox inbox;
        QVERIFY(inbox.open(m_folder->path()).isEmpty());
        QVERIFY(inbox.add(message(QStringLiteral("mine"))));

        QCOMPARE(readFile(target), planted);
        QVERIFY(!QFileInfo(path()).isSymLink());
        QCOMPARE(textsOf(DurableInbox().open(m_folder->path())), QStringList{"mine"});
    }

    // A full inbox makes room from the sender holding the most: a flood
    // pushes out only the flooder's own records. A file over the caps is
    // read no further than they allow.
    void isBoundedAndFloodsPushOutOnlyTheFlooder()
    {
        DurableInbox inbox;
        inbox.open(m_folder->path());
        const KvrConfig fromBob = message(QStringLiteral("bob's"));
        QVERIFY(inbox.add(fromBob));
        QList<KvrConfig> flood;
        for (int i = 0; i < DurableInbox::MaxRecords; ++i) {
            flood << message(QString::number(i), QStringLiteral("Mallory"));
            QVERIFY(inbox.add(flood.last()));
        }
        QCOMPARE(inbox.count(), DurableInbox::MaxRecords);

        QList<KvrConfig> reread = DurableInbox().open(m_folder->path());
        QCOMPARE(reread.size(), DurableInbox::MaxRecords);
        QCOMPARE(reread.first().GetID(), fromBob.GetID());
        QCOMPARE(reread.at(1).gv(QStringLiteral("text")), QStringLiteral("1"));
        QCOMPARE(reread.last().GetID(), flood.last().GetID());

        // One record over the caps is never stored: its source keeps it.
        KvrConfig huge = message(QStringLiteral("huge"));
        huge.SetValue(QStringLiteral("data"), QByteArray(DurableInbox::MaxEntryBytes, 'h'));
        QVERIFY(!inbox.add(huge));

        // Written by hand: one more record than the cap.
        QByteArray bytes = readFile(path());
        bytes += recordEntry(message(QStringLiteral("beyond")));
        QVERIFY(writeFile(path(), bytes));
        reread = DurableInbox().open(m_folder->path());
        QCOMPARE(reread.size(), DurableInbox::MaxRecords);
        QCOMPARE(reread.last().GetID(), flood.last().GetID());
    }

private:
    QString path() const { return m_folder->filePath(DurableInbox::FileName); }

    std::unique_ptr<QTemporaryDir> m_folder;
};

WIVORA_TEST_GUILESS_MAIN(tst_DurableInbox)
#include "tst_DurableInbox.moc"

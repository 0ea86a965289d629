// Conversations read off the GUI thread: the calls that wait for a read run
// after it, in order, and the conversation goes on from where the read
// ended, against real files in a temporary folder.
#include "QtTestSuite.h"
#include "WMailConversation.h"
#include "WMailConversationLoader.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Pointer = WMailConversation::Pointer;

class tst_WMailConversationLoader : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void readsOffThisThreadThenRunsTheWaitingCallsInOrder()
    {
        // A snapshot and a journal, as a client leaves them.
        QStringList ids;
        {
            WMailConversation writer(m_dir->path(), QStringLiteral("bob"));
            writer.initialise(QStringLiteral("bob"), QStringLiteral("alice"), {QStringLiteral("bob")});
            const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-1000);
            for (int i = 0; i < 300; ++i) {
                const auto message = writer.newMessage(QStringLiteral("text"),
                                                       i % 2 ? QStringLiteral("alice") : QStringLiteral("bob"),
                                                       start.addSecs(i));
                QVERIFY(writer.addMessage(writer.viewRoot(), message, "stored", false));
                ids << message->id;
            }
        }
        QVERIFY(QFile::exists(m_dir->filePath(QStringLiteral("bob.wmj"))));

        const auto conversation = Pointer::create(m_dir->path(), QStringLiteral("bob"));
        QVERIFY(conversation->loadHeader());
        WMailConversationLoader loader;
        QList<int> calls;
        QList<bool> results;
        for (int call = 1; call <= 3; ++call) {
            loader.whenLoaded(conversation, [&, call](bool loaded) {
                calls << call;
                results << loaded;
            });
        }
        // Nothing was read on this thread: the calls wait for the read.
        QVERIFY(!conversation->isLoaded());
        QVERIFY(loader.isLoading(conversation));
        QVERIFY(calls.isEmpty());

        QTRY_COMPARE_WITH_TIMEOUT(calls, (QList<int>{1, 2, 3}), 60000);
        QCOMPARE(results, (QList<bool>{true, true, true}));
        QVERIFY(loader.isIdle());
        QVERIFY(conversation->isLoaded());
        QCOMPARE(conversation->messageIds(), ids);
        QVERIFY(conversation->findMessage(ids.last()));
        QCOMPARE(conversation->loadItemPreview(ids.first()), QByteArray("stored"));

        // Loaded now: a call runs at once.
        loader.whenLoaded(conversation, [&](bool) { calls << 4; });
        QCOMPARE(calls.last(), 4);

        // Appends go on after what was read, never over it.
        const auto later = conversation->newMessage(QStringLiteral("text"), QStringLiteral("alice"),
                                                    QDateTime::currentDateTimeUtc());
        QVERIFY(conversation->addMessage(conversation->viewRoot(), later, "later", false));
        WMailConversation reread(m_dir->path(), QStringLiteral("bob"));
        QVERIFY(reread.load());
        QCOMPARE(reread.messageIds(), ids + QStringList{later->id});
        QCOMPARE(reread.loadItemPreview(later->id), QByteArray("later"));
    }

    // A journal grown past the snapshot is folded by the read, so the first
    // change after it is an append like any other.
    void grownJournalIsFoldedByTheRead()
    {
        QStringList ids;
        {
            WMailConversation writer(m_dir->path(), QStringLiteral("bob"));
            writer.initialise(QStringLiteral("bob"), QStringLiteral("alice"), {QStringLiteral("bob")});
            const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-1000);
            for (int i = 0; i < 600; ++i) {
                const auto message =
                    writer.newMessage(QStringLiteral("text"), QStringLiteral("alice"), start.addSecs(i));
                QVERIFY(writer.addMessage(writer.viewRoot(), message, "stored", false));
                ids << message->id;
            }
        }
        const QString journal = m_dir->filePath(QStringLiteral("bob.wmj"));
        {
            WMailConversation probe(m_dir->path(), QStringLiteral("bob"));
            QVERIFY(probe.load());
            QVERIFY(probe.isFoldDue()); // else the case is not made
        }

        const auto conversation = Pointer::create(m_dir->path(), QStringLiteral("bob"));
        QVERIFY(conversation->loadHeader());
        WMailConversationLoader loader;
        bool done = false;
        loader.whenLoaded(conversation, [&](bool loaded) { done = loaded; });
        QTRY_VERIFY_WITH_TIMEOUT(done, 60000);
        QVERIFY(!conversation->isFoldDue());
        QVERIFY(!QFile::exists(journal) || QFileInfo(journal).size() == 0);

        const auto later = conversation->newMessage(QStringLiteral("text"), QStringLiteral("bob"),
                                                    QDateTime::currentDateTimeUtc());
        const QByteArray snapshot = [&] {
            QFile file(conversation->conversationPath());
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        }();
        QVERIFY(conversation->addMessage(conversation->viewRoot(), later, "later", false));
        QFile file(conversation->conversationPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), snapshot); // appended, not rewritten
        WMailConversation reread(m_dir->path(), QStringLiteral("bob"));
        QVERIFY(reread.load());
        QCOMPARE(reread.messageIds(), ids + QStringList{later->id});
    }

    void conversationThatCannotBeReadIsReportedSo()
    {
        {
            WMailConversation writer(m_dir->path(), QStringLiteral("bob"));
            writer.initialise(QStringLiteral("bob"), QStringLiteral("alice"), {QStringLiteral("bob")});
            QVERIFY(writer.saveConversation());
        }
        const auto conversation = Pointer::create(m_dir->path(), QStringLiteral("bob"));
        QVERIFY(conversation->loadHeader());
        QVERIFY(QFile::remove(conversation->conversationPath()));

        WMailConversationLoader loader;
        QList<bool> results;
        loader.whenLoaded(conversation, [&](bool loaded) { results << loaded; });
        QTRY_COMPARE_WITH_TIMEOUT(results, QList<bool>{false}, 60000);
        QVERIFY(!conversation->isLoaded());
        QVERIFY(loader.isIdle());
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

WIVORA_TEST_MAIN(tst_WMailConversationLoader)
#include "tst_WMailConversationLoader.moc"

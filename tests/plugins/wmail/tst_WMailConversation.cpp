#include "QtTestSuite.h"
#include "TextPlugin.h"
#include "WMailConversation.h"

#include <WUtilities.h>

#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using Pointer = WMailConversation::Pointer;

namespace {

const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");
const QDateTime kTime(QDate(2010, 5, 17), QTime(12, 30), Qt::UTC);

QByteArray stream(const std::function<void(QDataStream &)> &write)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_6);
    write(out);
    return bytes;
}

QByteArray block(const QByteArray &bytes)
{
    return WUtilities::intToByteArray(bytes.size()) + bytes;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray soundHeader()
{
    return stream([](QDataStream &out) {
        out << kBob << kBob << kTime << kTime << false << false << kAlice << qint32(2) << kAlice << kBob << qint32(0)
            << KvrConfig().SerializeConfigBinary();
    });
}

QByteArray soundTree()
{
    auto root = WMailStructure::Pointer::create();
    root->id = WMailStructure::newId();
    return root->serializeStructure();
}

QByteArray offsetsOf(const QString &key, const QString &value)
{
    KvrConfig offsets;
    offsets.sv(key, value);
    return offsets.SerializeConfigBinary();
}

// A conversation between alice and bob with one text message stored.
Pointer conversationWithMessage(const QString &folder, QString *messageId)
{
    auto conversation = Pointer::create(folder, kBob);
    conversation->initialise(kBob, kAlice, {kBob});
    const WMailStructure::Pointer message =
        conversation->newMessage(QStringLiteral("text"), kAlice, QDateTime::currentDateTimeUtc());
    *messageId = message->id;
    conversation->addMessage(conversation->viewRoot(), message, "<b>hello</b>", false);
    return conversation;
}

// Writes fail beyond `bytes` in any file while it lives (root included).
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

} // namespace

class tst_WMailConversation : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); m_folder = m_dir.path() + QStringLiteral("/wmail"); }
    void cleanup() { QDir(m_folder).removeRecursively(); }

    void goldenHeader()
    {
        const QByteArray golden = QByteArray::fromHex(
            "00000006 0062006f0062"                 // name
            "00000006 0062006f0062"                 // title
            "00257726 02aea540 02"                  // creation time, UTC
            "00257726 02aea540 02"                  // second stamp, UTC
            "00 00"                                 // flags
            "0000000a 0061006c006900630065"         // owner
            "00000002 0000000a 0061006c006900630065 00000006 0062006f0062"
            "00000000"                              // no message ids
            "00000004 00000000");                   // empty record
        QCOMPARE(golden.size(), 86 + 8);
        QCOMPARE(soundHeader().toHex(), golden.toHex());
        WMailConversation conversation(m_folder, kBob);
        QVERIFY(conversation.deserializeHeader(golden));
        QCOMPARE(conversation.owner(), kAlice);
        QCOMPARE(conversation.participants(), (QStringList{kAlice, kBob}));
        QCOMPARE(conversation.creationTime(), kTime);
        QCOMPARE(conversation.serializeHeader().toHex(), golden.toHex());
    }

    void saveLoadRoundTrip()
    {
        auto saved = Pointer::create(m_folder, kBob);
        saved->initialise(kBob, kAlice, {kBob});
        KvrConfig record;
        record.sv(QStringLiteral("topic"), QStringLiteral("holidays"));
        saved->setConversationRecord(record);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const auto a = saved->newMessage(QStringLiteral("text"), kAlice, now);
        saved->addMessage(saved->viewRoot(), a, "a", false);
        const auto a1 = saved->newMessage(QStringLiteral("files"), kBob, now);
        saved->addMessage(a, a1, "a1 data", false);
        const auto b = saved->newMessage(QStringLiteral("text"), kAlice, now);
        saved->addMessage(saved->viewRoot(), b, "b", false);
        const QString path = saved->conversationPath();
        const QByteArray firstSave = readFile(path);

        WMailConversation loaded(m_folder, kBob);
        QVERIFY(loaded.load());
        QVERIFY(!loaded.isDamaged());
        QCOMPARE(loaded.title(), kBob);
        QCOMPARE(loaded.owner(), kAlice);
        QCOMPARE(loaded.participants(), (QStringList{kAlice, kBob}));
        QCOMPARE(loaded.creationTime(), saved->creationTime());
        QCOMPARE(loaded.secondTimeStamp(), saved->secondTimeStamp());
        QCOMPARE(loaded.messageIds(), (QStringList{a->id, a1->id, b->id}));
        QCOMPARE(loaded.conversationRecord(), record);
        QCOMPARE(loaded.root()->id, saved->root()->id);
        QCOMPARE(loaded.root()->findStructure(a->id)->children.size(), 1);
        QCOMPARE(loaded.root()->findStructure(a1->id)->sender, kBob);
        QCOMPARE(loaded.viewRoot(), loaded.root());
        QCOMPARE(loaded.loadItemPreview(a->id), QByteArray("a"));
        QCOMPARE(loaded.loadItemData(a1->id), QByteArray("a1 data"));
        QCOMPARE(loaded.itemOffsets(), saved->itemOffsets());

        QVERIFY(loaded.saveConversation());
        QCOMPARE(readFile(path), firstSave);
    }

    void participantListedTwiceLoadsOnce()
    {
        QVERIFY(QDir().mkpath(m_folder));
        const QByteArray header = stream([](QDataStream &out) {
            out << kBob << kBob << kTime << kTime << false << false << kAlice << qint32(3) << kAlice << kBob << kAlice
                << qint32(0) << KvrConfig().SerializeConfigBinary();
        });
        QVERIFY(writeFile(m_folder + "/bob.wml",
                          block(header) + block(soundTree()) + block(KvrConfig().SerializeConfigBinary())));
        WMailConversation conversation(m_folder, kBob);
        QVERIFY(conversation.load());
        QCOMPARE(conversation.participants(), (QStringList{kAlice, kBob}));
    }

    void heapOffsets()
    {
        WMailConversation conversation(m_folder, kBob);
        conversation.initialise(kBob, kAlice, {kBob});
        const QByteArray first(10, 'a'), second(20, 'b'), third(5, 'c');
        QCOMPARE(conversation.appendItemRecord(first), qint64(0));
        QCOMPARE(conversation.appendItemRecord(second), qint64(4 + first.size()));
        QCOMPARE(conversation.readItemRecord(4 + first.size()), second);

        QVERIFY(conversation.storeItemData(QStringLiteral("{id}"), third));
        const qint64 before = QFileInfo(conversation.heapPath()).size();
        QVERIFY(conversation.storeItemData(QStringLiteral("{id}"), second));
        QCOMPARE(QFileInfo(conversation.heapPath()).size(), before + 4 + second.size());
        QCOMPARE(conversation.itemOffsets().gv(QStringLiteral("{id}")), QString::number(before));
        QCOMPARE(conversation.loadItemData(QStringLiteral("{id}")), second);
        QVERIFY(conversation.loadItemPreview(QStringLiteral("{id}")).isEmpty());
    }

    // Dropping an item object leaves its stored data and the other objects.
    void removeItemPluginDropsOnlyTheObject()
    {
        WMailConversation conversation(m_folder, kBob);
        conversation.initialise(kBob, kAlice, {kBob});
        QVERIFY(conversation.storeItemData(QStringLiteral("{one}"), "first"));
        conversation.items().insert(QStringLiteral("{one}"), QSharedPointer<TextPlugin>::create(QStringLiteral("{one}")));
        conversation.items().insert(QStringLiteral("{two}"), QSharedPointer<TextPlugin>::create(QStringLiteral("{two}")));
        conversation.removeItemPlugin(QStringLiteral("{one}"));
        QCOMPARE(conversation.items().keys(), QStringList{QStringLiteral("{two}")});
        QCOMPARE(conversation.loadItemData(QStringLiteral("{one}")), QByteArray("first"));
    }

    // An offset that names no sound record gives nothing, never another
    // message's data.
    void badOffsets_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("offset");
        QTest::newRow("absent") << "{other}" << "0";
        QTest::newRow("failed append") << "{id}" << "-1";
        QTest::newRow("not a number") << "{id}" << "abc";
        QTest::newRow("empty") << "{id}" << "";
        QTest::newRow("past the end") << "{id}" << "999999999";
        QTest::newRow("inside the length") << "{id}" << "2";
        QTest::newRow("length past the end") << "{id}" << "8"; // the record below claims 0x7FFFFFFF bytes
    }
    void badOffsets()
    {
        QFETCH(QString, key);
        QFETCH(QString, offset);
        QVERIFY(QDir().mkpath(m_folder));
        QVERIFY(writeFile(m_folder + "/bob.wpl", block("data") + QByteArray::fromHex("7fffffff") + "xy"));
        QVERIFY(writeFile(m_folder + "/bob.wml",
                          block(soundHeader()) + block(soundTree()) + block(offsetsOf(key, offset))));
        WMailConversation conversation(m_folder, kBob);
        QVERIFY(conversation.load());
        QVERIFY(conversation.loadItemData(QStringLiteral("{id}")).isEmpty());
        QCOMPARE(conversation.readItemRecord(0), QByteArray("data"));
    }

    // A damaged file loads what is sound, quickly, and is kept as it was
    // before the next save replaces it.
    void damagedFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray header = block(soundHeader());
        const QByteArray tree = block(soundTree());
        const QByteArray offsets = block(KvrConfig().SerializeConfigBinary());
        QByteArray twenty = QByteArray::fromHex("7fffffff");
        twenty.resize(20);
        QTest::newRow("3 bytes") << QByteArray("abc");
        QTest::newRow("header length 0x7fffffff") << twenty;
        QTest::newRow("header length -16") << QByteArray::fromHex("fffffff0") + header;
        QTest::newRow("tree length past the end") << header + QByteArray::fromHex("00010000") + soundTree();
        QTest::newRow("participant count 0x7fffffff") << block(stream([](QDataStream &out) {
            out << kBob << kBob << kTime << kTime << false << false << kAlice << qint32(0x7FFFFFFF);
        })) + tree + offsets;
        QTest::newRow("message id count 0x7fffffff") << block(stream([](QDataStream &out) {
            out << kBob << kBob << kTime << kTime << false << false << kAlice << qint32(0) << qint32(0x7FFFFFFF);
        })) + tree + offsets;
        QTest::newRow("odd string length") << block(QByteArray::fromHex("00000003 000000")) + tree + offsets;
        QTest::newRow("child count 0x7fffffff") << header + block(soundTree().chopped(4) + QByteArray::fromHex("7fffffff"))
                                                + offsets;
        QTest::newRow("damaged offsets") << header + tree + block("\xff\xff\xff\xff");
        QTest::newRow("trailing bytes") << header + tree + offsets + "x";
    }
    void damagedFiles()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(QDir().mkpath(m_folder));
        const QString path = m_folder + "/bob.wml";
        QVERIFY(writeFile(path, bytes));

        QElapsedTimer timer;
        timer.start();
        WMailConversation conversation(m_folder, kBob);
        QVERIFY(conversation.load());
        QVERIFY(timer.elapsed() < 2000);
        QVERIFY(conversation.isDamaged());
        QCOMPARE(readFile(path), bytes); // reading changed nothing

        QVERIFY(conversation.saveConversation());
        QCOMPARE(readFile(path + ".damaged"), bytes);
        WMailConversation reread(m_folder, kBob);
        QVERIFY(reread.load());
        QVERIFY(!reread.isDamaged());
    }

    void failedSaveKeepsTheFile()
    {
        QString first;
        const Pointer conversation = conversationWithMessage(m_folder, &first);
        const QString path = conversation->conversationPath();
        const QByteArray before = readFile(path);
        const qint64 heapBefore = QFileInfo(conversation->heapPath()).size();
        {
            const FileSizeLimit limit(rlim_t(qMax<qint64>(before.size(), heapBefore) + 64));
            const auto second = conversation->newMessage(QStringLiteral("text"), kAlice, QDateTime::currentDateTimeUtc());
            QVERIFY(!conversation->addMessage(conversation->viewRoot(), second, QByteArray(4096, 'x'), false));
            // The heap write failed too: no offset may point at its remains.
            QVERIFY(!conversation->itemOffsets().CheckKeyExist(second->id + "-preview"));
        }
        QCOMPARE(readFile(path), before);
        QCOMPARE(QDir(m_folder).entryList(QDir::Files), (QStringList{"bob.wml", "bob.wpl"}));
        QCOMPARE(conversation->loadItemPreview(first), QByteArray("<b>hello</b>"));
        // Nor does the next save store the message that was refused.
        QVERIFY(conversation->saveConversation());
        WMailConversation reread(m_folder, kBob);
        QVERIFY(reread.load());
        QCOMPARE(reread.messageIds(), QStringList{first});
        QCOMPARE(reread.root()->children.size(), 1);
    }

    // A link in the folder is never written through, whichever file it
    // stands for: the message is refused and the link's target kept.
    void linksAreNotWrittenThrough_data()
    {
        QTest::addColumn<QString>("linked");
        QTest::newRow("conversation") << "bob.wml";
        QTest::newRow("item heap") << "bob.wpl";
    }
    void linksAreNotWrittenThrough()
    {
        QFETCH(QString, linked);
        QTemporaryDir outside;
        const QString target = outside.filePath("target");
        QVERIFY(writeFile(target, "keep"));
        QVERIFY(QDir().mkpath(m_folder));
        QVERIFY(QFile::link(target, m_folder + "/" + linked));
        WMailConversation conversation(m_folder, kBob);
        conversation.initialise(kBob, kAlice, {kBob});
        const auto message = conversation.newMessage(QStringLiteral("text"), kAlice, QDateTime::currentDateTimeUtc());
        QVERIFY(!conversation.addMessage(conversation.viewRoot(), message, "<b>hello</b>", false));
        QCOMPARE(readFile(target), QByteArray("keep"));
        QVERIFY(QFileInfo(m_folder + "/" + linked).isSymLink());
    }

    void saveCreatesTheFolder()
    {
        const QString deep = m_folder + "/not/yet/there";
        WMailConversation conversation(deep, kBob);
        conversation.initialise(kBob, kAlice, {kBob});
        QVERIFY(conversation.saveConversation());
        QVERIFY(QFileInfo(deep + "/bob.wml").isFile());
    }

    // A conversation known by its header only must not save its stored
    // messages away.
    void headerOnlySaveKeepsMessages()
    {
        QString id;
        conversationWithMessage(m_folder, &id);
        WMailConversation headerOnly(m_folder, kBob);
        QVERIFY(headerOnly.loadHeader());
        QVERIFY(!headerOnly.isLoaded());
        QVERIFY(headerOnly.saveConversation());

        WMailConversation reread(m_folder, kBob);
        QVERIFY(reread.load());
        QVERIFY(reread.root()->findStructure(id));
        QCOMPARE(reread.loadItemPreview(id), QByteArray("<b>hello</b>"));
    }

    void showItemsSince_data()
    {
        QTest::addColumn<int>("daysAgo");
        QTest::addColumn<int>("expected");
        // Messages written 10, 3, 1 and 0 days ago; 15 shown before.
        QTest::newRow("today") << 0 << 1;
        QTest::newRow("yesterday") << 1 << 2;
        QTest::newRow("week") << 7 << 3;
        QTest::newRow("month") << 31 << 4;
        QTest::newRow("tomorrow: unchanged") << -1 << 15;
    }
    void showItemsSince()
    {
        QFETCH(int, daysAgo);
        QFETCH(int, expected);
        WMailConversation conversation(m_folder, kBob);
        conversation.initialise(kBob, kAlice, {kBob});
        for (int age : {10, 3, 1, 0}) {
            const auto message = conversation.newMessage(QStringLiteral("text"), kAlice, QDateTime::currentDateTimeUtc());
            message->localTime = QDateTime::currentDateTimeUtc().addDays(-age);
            conversation.viewRoot()->appendChild(message);
        }
        conversation.showItemsSince(QDate::currentDate().addDays(-daysAgo));
        QCOMPARE(conversation.numberOfShownItems(), expected);
    }

    void messageIdFromEnd_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("expected"); // position in the list, -1 for ""
        QTest::newRow("empty") << 0 << 0 << -1;
        QTest::newRow("-1: last") << 3 << -1 << 2;
        QTest::newRow("0: last") << 3 << 0 << 2;
        QTest::newRow("1: one before") << 3 << 1 << 1;
        QTest::newRow("size: first") << 3 << 3 << 0;
        QTest::newRow("beyond: first") << 3 << 9 << 0;
    }
    void messageIdFromEnd()
    {
        QFETCH(int, count);
        QFETCH(int, index);
        QFETCH(int, expected);
        WMailConversation conversation(m_folder, kBob);
        conversation.initialise(kBob, kAlice, {kBob});
        for (int i = 0; i < count; ++i)
            conversation.addMessage(conversation.viewRoot(),
                                    conversation.newMessage(QStringLiteral("x"), kAlice, QDateTime::currentDateTimeUtc()),
                                    QByteArray(), false);
        QCOMPARE(conversation.getMessageIdFromEnd(index),
                 expected < 0 ? QString() : conversation.messageIds().at(expected));
    }

    void newMessageTakesTheViewRootsRecipients()
    {
        WMailConversation conversation(m_folder, QStringLiteral("{6f9619ff-8b86-d011-b42d-00c04fc964ff}"));
        conversation.initialise(QStringLiteral("group"), kAlice, {kBob, QStringLiteral("carol"), kBob});
        const auto message = conversation.newMessage(QStringLiteral("text"), kAlice, kTime);
        QCOMPARE(message->recipients, (QStringList{kAlice, kBob, QStringLiteral("carol")}));
        QVERIFY(WMailStructure::isValidId(message->id));
        QCOMPARE(message->time, kTime);
        QVERIFY(message->children.isEmpty());
    }

private:
    QTemporaryDir m_dir;
    QString m_folder;
};

WIVORA_TEST_GUILESS_MAIN(tst_WMailConversation)
#include "tst_WMailConversation.moc"

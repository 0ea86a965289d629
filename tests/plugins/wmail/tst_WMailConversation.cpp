#include "QtTestSuite.h"
#include "RandomBytes.h"
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

// Files count text messages ("text <n>") under the view root; their ids.
QStringList fileMessages(WMailConversation &conversation, int count)
{
    QStringList ids;
    for (int n = 0; n < count; ++n) {
        const auto message = conversation.newMessage(QStringLiteral("text"), kAlice, QDateTime::currentDateTimeUtc());
        if (!conversation.addMessage(conversation.viewRoot(), message, "text " + QByteArray::number(n), true))
            return ids;
        ids << message->id;
    }
    return ids;
}

// Everything a reopened conversation must show of messages filed by
// fileMessages: their ids in order, under the root, with their texts.
void verifyMessages(WMailConversation &conversation, const QStringList &ids)
{
    QCOMPARE(conversation.messageIds(), ids);
    QCOMPARE(conversation.root()->children.size(), ids.size());
    for (int n = 0; n < ids.size(); ++n) {
        QCOMPARE(conversation.root()->children.at(n)->id, ids.at(n));
        QCOMPARE(conversation.loadItemPreview(ids.at(n)), "text " + QByteArray::number(n));
    }
}

// A conversation file as the program wrote it before filing appended to a
// journal: header (with every id), tree and item offsets in one file.
QByteArray wholeFileForm(WMailConversation &conversation)
{
    return block(conversation.serializeHeader()) + block(conversation.root()->serializeStructure())
        + block(conversation.itemOffsets().SerializeConfigBinary());
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
        QVERIFY(saved->saveConversation());
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
        QTest::newRow("journal") << "bob.wmj";
    }
    void linksAreNotWrittenThrough()
    {
        QFETCH(QString, linked);
        QTemporaryDir outside;
        const QString target = outside.filePath("target");
        QVERIFY(writeFile(target, "keep"));
        QVERIFY(QDir().mkpath(m_folder));
        WMailConversation conversation(m_folder, kBob);
        conversation.initialise(kBob, kAlice, {kBob});
        // The journal is written to once the conversation has its file.
        if (linked == "bob.wmj")
            QVERIFY(conversation.saveConversation());
        QVERIFY(QFile::link(target, m_folder + "/" + linked));
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

    // Filing a message into a conversation that has its file appends to the
    // journal: the file is not rewritten, and a reopened conversation has
    // every message, in order, with its item.
    void filingAppends()
    {
        WMailConversation conversation(m_folder, kBob);
        conversation.initialise(kBob, kAlice, {kBob});
        QVERIFY(conversation.saveConversation());
        const QByteArray snapshot = readFile(conversation.conversationPath());
        const QStringList ids = fileMessages(conversation, 5);
        QCOMPARE(ids.size(), 5);
        // A reply under the second message, and an item stored again.
        const auto reply = conversation.newMessage(QStringLiteral("text"), kBob, QDateTime::currentDateTimeUtc());
        QVERIFY(conversation.addMessage(conversation.root()->children.at(1), reply, "reply", false));
        QVERIFY(conversation.storeItemPreview(ids.at(3), "text 3"));
        QCOMPARE(readFile(conversation.conversationPath()), snapshot);
        QVERIFY(QFileInfo(conversation.journalPath()).size() > 0);

        WMailConversation reopened(m_folder, kBob);
        QVERIFY(reopened.load());
        QVERIFY(!reopened.isDamaged());
        QCOMPARE(reopened.root()->children.at(1)->children.size(), 1);
        // Found by id, from the file and from the journal alike.
        for (const QString &id : {reopened.root()->id, ids.at(0), ids.at(4), reply->id})
            QVERIFY(reopened.containsMessage(id));
        QVERIFY(!reopened.containsMessage(WMailStructure::newId()));
        QCOMPARE(reopened.findMessage(reply->id), reopened.root()->children.at(1)->children.at(0));
        QCOMPARE(reopened.loadItemPreview(reply->id), QByteArray("reply"));
        QCOMPARE(reopened.itemOffsets(), conversation.itemOffsets());
        QCOMPARE(reopened.messageIds().takeLast(), reply->id);
        reopened.root()->children.at(1)->children.clear();
        QStringList withoutReply = reopened.messageIds();
        withoutReply.removeLast();
        QCOMPARE(withoutReply, ids);

        // The header alone lists the appended ids too.
        WMailConversation header(m_folder, kBob);
        QVERIFY(header.loadHeader());
        QCOMPARE(header.messageIds(), reopened.messageIds());
    }

    // A journal grown past its file is folded into it at the first change
    // after the next load (loading alone writes nothing); a fold cut off
    // before the journal was emptied files nothing twice.
    void journalFolds()
    {
        QStringList ids;
        {
            WMailConversation conversation(m_folder, kBob);
            conversation.initialise(kBob, kAlice, {kBob});
            QVERIFY(conversation.saveConversation());
            ids = fileMessages(conversation, 300);
            QCOMPARE(ids.size(), 300);
        }
        const QString journal = m_folder + "/bob.wmj";
        const QByteArray journalBytes = readFile(journal);
        QVERIFY(journalBytes.size() > 64 * 1024);
        const QByteArray snapshot = readFile(m_folder + "/bob.wml");
        {
            WMailConversation folding(m_folder, kBob);
            QVERIFY(folding.load());
            verifyMessages(folding, ids);
            QCOMPARE(readFile(journal), journalBytes);
            QCOMPARE(readFile(m_folder + "/bob.wml"), snapshot);
            ids += fileMessages(folding, 1);
            QCOMPARE(ids.size(), 301);
            QVERIFY(!QFileInfo::exists(journal));
            // Later changes append again.
            QVERIFY(folding.storeItemPreview(ids.last(), "text 300"));
            QVERIFY(QFileInfo(journal).size() > 0);
        }
        {
            WMailConversation folded(m_folder, kBob);
            QVERIFY(folded.load());
            verifyMessages(folded, ids);
        }
        // As if the process died after the new file took the old one's place
        // but before the journal was emptied.
        QVERIFY(writeFile(journal, journalBytes + readFile(journal)));
        WMailConversation replayed(m_folder, kBob);
        QVERIFY(replayed.load());
        QVERIFY(!replayed.isDamaged());
        verifyMessages(replayed, ids);
    }

    // A journal that ends inside a record (a process killed while writing
    // it), or in bytes no record starts with, gives every message before;
    // the next message is filed after them and read back too.
    void tornJournal_data()
    {
        QTest::addColumn<int>("cut");
        QTest::addColumn<QByteArray>("appended");
        QTest::addColumn<int>("kept");
        QTest::newRow("one byte of the last record missing") << 1 << QByteArray() << 2;
        QTest::newRow("half of the last record") << -2 << QByteArray() << 2;
        QTest::newRow("only part of the last record's length") << -1 << QByteArray() << 2;
        QTest::newRow("random bytes after the last record") << 0 << randomBytes(100, 7) << 3;
        QTest::newRow("a length beyond the file after the last record") << 0 << QByteArray("\x7f\0\0\0\0\0xyz", 9)
                                                                          << 3;
    }
    void tornJournal()
    {
        QFETCH(int, cut);
        QFETCH(QByteArray, appended);
        QFETCH(int, kept);
        QStringList ids;
        qint64 beforeLast = 0;
        {
            WMailConversation conversation(m_folder, kBob);
            conversation.initialise(kBob, kAlice, {kBob});
            QVERIFY(conversation.saveConversation());
            ids = fileMessages(conversation, 2);
            beforeLast = QFileInfo(conversation.journalPath()).size();
            const auto last = conversation.newMessage(QStringLiteral("text"), kAlice, QDateTime::currentDateTimeUtc());
            QVERIFY(conversation.addMessage(conversation.viewRoot(), last, "text 2", true));
            ids << last->id;
        }
        const QString journal = m_folder + "/bob.wmj";
        QByteArray bytes = readFile(journal);
        const qint64 lastSize = bytes.size() - beforeLast;
        if (cut == -2)
            bytes.chop(int(lastSize / 2));
        else if (cut == -1)
            bytes.chop(int(lastSize - 2));
        else
            bytes.chop(cut);
        QVERIFY(writeFile(journal, bytes + appended));

        ids = ids.mid(0, kept);
        {
            WMailConversation reopened(m_folder, kBob);
            QVERIFY(reopened.load());
            QVERIFY(!reopened.isDamaged());
            verifyMessages(reopened, ids);
            const auto next = reopened.newMessage(QStringLiteral("text"), kAlice, QDateTime::currentDateTimeUtc());
            QVERIFY(reopened.addMessage(reopened.viewRoot(), next, "text " + QByteArray::number(kept), true));
            ids << next->id;
        }
        WMailConversation again(m_folder, kBob);
        QVERIFY(again.load());
        verifyMessages(again, ids);
    }

    // A conversation file written whole, as the program always wrote it
    // before, opens with all its messages and stays as it is: new messages
    // go to the journal, and folding writes the same layout again.
    void wholeFileConversationKept()
    {
        QStringList ids;
        QByteArray oldFile;
        {
            WMailConversation writer(m_folder, kBob);
            writer.initialise(kBob, kAlice, {kBob});
            QVERIFY(QDir().mkpath(m_folder));
            KvrConfig offsets;
            for (int n = 0; n < 4; ++n) {
                const auto message = writer.newMessage(QStringLiteral("text"), kAlice, QDateTime::currentDateTimeUtc());
                writer.viewRoot()->appendChild(message);
                ids << message->id;
                const qint64 offset = writer.appendItemRecord("text " + QByteArray::number(n));
                QVERIFY(offset >= 0);
                offsets.sv(message->id + "-preview", QString::number(offset));
            }
            const QByteArray header = stream([&](QDataStream &out) {
                out << writer.name() << writer.title() << writer.creationTime() << writer.secondTimeStamp() << false
                    << false << writer.owner() << qint32(2) << kAlice << kBob << qint32(ids.size());
                for (const QString &id : qAsConst(ids))
                    out << id;
                out << KvrConfig().SerializeConfigBinary();
            });
            oldFile = block(header) + block(writer.root()->serializeStructure()) + block(offsets.SerializeConfigBinary());
            QVERIFY(writeFile(writer.conversationPath(), oldFile));
        }
        const QString path = m_folder + "/bob.wml";
        {
            WMailConversation opened(m_folder, kBob);
            QVERIFY(opened.load());
            QVERIFY(!opened.isDamaged());
            verifyMessages(opened, ids);
            QCOMPARE(readFile(path), oldFile);
            const auto next = opened.newMessage(QStringLiteral("text"), kAlice, QDateTime::currentDateTimeUtc());
            QVERIFY(opened.addMessage(opened.viewRoot(), next, "text 4", true));
            ids << next->id;
            QCOMPARE(readFile(path), oldFile);
        }
        {
            WMailConversation reopened(m_folder, kBob);
            QVERIFY(reopened.load());
            verifyMessages(reopened, ids);
            QVERIFY(reopened.saveConversation());
            // Folded: the one file holds everything again, in the same layout.
            QVERIFY(!QFileInfo::exists(m_folder + "/bob.wmj"));
            QCOMPARE(readFile(path), wholeFileForm(reopened));
        }
        WMailConversation folded(m_folder, kBob);
        QVERIFY(folded.load());
        verifyMessages(folded, ids);
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

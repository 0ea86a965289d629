#include "QtTestSuite.h"
#include "WMailManager.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using Pointer = WMailConversation::Pointer;

namespace {

const QString kAlice = QStringLiteral("alice");

QStringList namesOf(const QList<Pointer> &conversations)
{
    QStringList names;
    for (const Pointer &conversation : conversations)
        names << conversation->name();
    return names;
}

} // namespace

class tst_WMailManager : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_folder = m_dir.path() + QStringLiteral("/alice/wmail");
        QDir(m_dir.path()).removeRecursively();
        QVERIFY(QDir().mkpath(m_dir.path()));
    }

    void validNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("valid");
        QTest::newRow("user") << "bob" << true;
        QTest::newRow("dotted user") << "bob.smith" << true;
        QTest::newRow("group id") << "{6f9619ff-8b86-d011-b42d-00c04fc964ff}" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("dot") << "." << false;
        QTest::newRow("dot dot") << ".." << false;
        QTest::newRow("parent path") << "../evil" << false;
        QTest::newRow("absolute") << "/etc/passwd" << false;
        QTest::newRow("backslash") << "..\\evil" << false;
        QTest::newRow("nul") << QString("bo") + QChar(0) + "b" << false;
        QTest::newRow("newline") << "bob\n" << false;
        QTest::newRow("brace not an id") << "{evil}" << false;
        QTest::newRow("too long") << QString(201, 'a') << false;
    }
    void validNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, valid);
        QCOMPARE(WMailManager::isValidName(name), valid);
    }

    void loadsInNameOrderAndKeepsObjects()
    {
        {
            WMailManager writer;
            writer.loadConversations(m_folder, kAlice);
            for (const QString contact : {"carol", "bob", "dave"})
                QVERIFY(writer.createConversation(contact, contact, {contact}));
        }
        QVERIFY(QDir().mkpath(m_folder + "/folder.wml"));
        QVERIFY(QFile::link(m_folder + "/bob.wml", m_folder + "/link.wml"));
        QVERIFY(QFile::copy(m_folder + "/bob.wml", m_folder + "/{evil}.wml"));

        WMailManager manager;
        QVERIFY(manager.loadConversations(m_folder, kAlice));
        QCOMPARE(namesOf(manager.conversations()), (QStringList{"bob", "carol", "dave"}));
        const QList<Pointer> first = manager.conversations();
        QCOMPARE(first.at(0)->owner(), kAlice);
        QVERIFY(!first.at(0)->isLoaded());

        // Same user again (a reconnect): the same objects, and a new file joins.
        QVERIFY(QFile::copy(m_folder + "/bob.wml", m_folder + "/anna.wml"));
        QVERIFY(!manager.loadConversations(m_folder, kAlice));
        QCOMPARE(namesOf(manager.conversations()), (QStringList{"bob", "carol", "dave", "anna"}));
        for (int i = 0; i < first.size(); ++i)
            QCOMPARE(manager.conversations().at(i), first.at(i));

        // Another user: a list of its own.
        QVERIFY(manager.loadConversations(m_dir.path() + "/bob/wmail", QStringLiteral("bob")));
        QVERIFY(manager.conversations().isEmpty());
    }

    void userConversationIsCreatedOnceAndFoundAfter()
    {
        WMailManager manager;
        manager.loadConversations(m_folder, kAlice);
        const Pointer created = manager.getUserConversation(QStringLiteral("bob"));
        QVERIFY(created);
        QVERIFY(QFileInfo(m_folder + "/bob.wml").isFile());
        QCOMPARE(created->participants(), (QStringList{kAlice, "bob"}));
        QCOMPARE(created->root()->recipients, (QStringList{kAlice, "bob"}));
        QCOMPARE(created->title(), QStringLiteral("bob"));

        created->setNumberOfShownItems(-1);
        QCOMPARE(manager.getUserConversation(QStringLiteral("bob")), created);
        QCOMPARE(created->numberOfShownItems(), WMailConversation::DefaultShownItems);
        QCOMPARE(manager.conversations().size(), 1);

        // Names are case-sensitive.
        QVERIFY(manager.getUserConversation(QStringLiteral("Bob")) != created);
        QCOMPARE(manager.conversations().size(), 2);

        // Known by its header only, a conversation is loaded in full once.
        WMailManager later;
        later.loadConversations(m_folder, kAlice);
        const Pointer found = later.getUserConversation(QStringLiteral("bob"));
        QVERIFY(found->isLoaded());
        QCOMPARE(found->root()->id, created->root()->id);
    }

    void nothingWithoutAUser()
    {
        WMailManager manager;
        manager.loadConversations(m_folder, QString());
        QVERIFY(!manager.getUserConversation(QStringLiteral("bob")));
        QVERIFY(!manager.createConversation(QStringLiteral("bob"), "bob", {"bob"}));
        QVERIFY(!QFileInfo::exists(m_folder));
    }

    void invalidNameCreatesNothing()
    {
        WMailManager manager;
        manager.loadConversations(m_folder, kAlice);
        QVERIFY(!manager.getUserConversation(QStringLiteral("../evil")));
        QVERIFY(!QFileInfo::exists(m_folder + "/../evil.wml"));
        QVERIFY(manager.conversations().isEmpty());
    }

private:
    QTemporaryDir m_dir;
    QString m_folder;
};

WIVORA_TEST_GUILESS_MAIN(tst_WMailManager)
#include "tst_WMailManager.moc"

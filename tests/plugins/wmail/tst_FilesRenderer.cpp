#include "QtTestSuite.h"
#include "FilesPlugin.h"
#include "FilesRenderer.h"
#include "WMailConversation.h"
#include "WMailConversationPage.h"
#include "WMailFiles.h"

#include <QDataStream>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

namespace {

const QString kItemId = QStringLiteral("{6f1c2a34-1b2c-4d5e-8f90-123456789abc}");

QByteArray itemData(const QList<WMailFiles::Entry> &entries)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_6);
    out << qint32(entries.size());
    for (const WMailFiles::Entry &entry : entries)
        out << entry.name << entry.size << entry.contents;
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

// A received files item as bob's page shows it, over a real conversation
// store, saving into real folders.
class tst_FilesRenderer : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    WMailConversation::Pointer m_conversation;

    QWidget *rendererFor(const QList<WMailFiles::Entry> &entries)
    {
        auto message = WMailStructure::Pointer::create();
        message->id = kItemId;
        message->itemType = FilesPlugin::Name;
        message->sender = QStringLiteral("alice");
        message->time = message->localTime = QDateTime::currentDateTimeUtc();
        if (!m_conversation->addMessage(m_conversation->viewRoot(), message, itemData(entries), false))
            return nullptr;
        const QString html = WMailConversationPage::getItemHtml(*m_conversation, kItemId, FilesPlugin::Name);
        if (!html.contains("glimpseid=\"" + kItemId + "\""))
            return nullptr;
        const QSharedPointer<IWMailPlugin> item = m_conversation->items().value(kItemId);
        return item ? item->getRendererWidget() : nullptr;
    }

private slots:
    void init()
    {
        m_conversation = WMailConversation::Pointer::create(m_dir.filePath("store"), QStringLiteral("alice"));
        QDir().mkpath(m_dir.filePath("store"));
        m_conversation->initialise(QStringLiteral("alice"), QStringLiteral("bob"), {QStringLiteral("alice")});
    }

    // The page's item lists the files and saves the selected ones byte for
    // byte; its preview is stored once made.
    void savesSelectedFilesExactly()
    {
        const QByteArray binary("\0\x01\xfe\xff", 4);
        QScopedPointer<QWidget> widget(rendererFor({{"a.bin", 4, binary}, {"b.txt", 2000, QByteArray(2000, 'b')}}));
        auto *renderer = qobject_cast<FilesRenderer *>(widget.data());
        QVERIFY(renderer);
        QVERIFY(!m_conversation->loadItemPreview(kItemId).isEmpty());
        QCOMPARE(renderer->list()->topLevelItemCount(), 2);
        QCOMPARE(renderer->list()->topLevelItem(1)->text(1), QStringLiteral("1 KB"));
        QCOMPARE(renderer->totalText(), QStringLiteral("1 KB"));

        QTemporaryDir target;
        renderer->list()->selectAll();
        QStringList errors;
        const QStringList saved = renderer->saveSelectedTo(target.path(), &errors);
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join('\n')));
        QCOMPARE(saved.size(), 2);
        QCOMPARE(readFile(target.filePath("a.bin")), binary);
        QCOMPARE(readFile(target.filePath("b.txt")), QByteArray(2000, 'b'));

        // Saving again keeps the first copies.
        QCOMPARE(renderer->saveSelectedTo(target.path(), &errors).size(), 2);
        QCOMPARE(QDir(target.path()).entryList(QDir::Files).size(), 4);
    }

    void hostileNamesStayInChosenFolder()
    {
        QList<WMailFiles::Entry> entries;
        for (const QString &name : {QStringLiteral("../../escape"), QStringLiteral("/etc/x"), QStringLiteral("..")})
            entries << WMailFiles::Entry{name, 1, "x"};
        QScopedPointer<QWidget> widget(rendererFor(entries));
        auto *renderer = qobject_cast<FilesRenderer *>(widget.data());
        QVERIFY(renderer);
        QTemporaryDir root;
        QDir(root.path()).mkpath("a/b");
        renderer->list()->selectAll();
        QStringList errors;
        for (const QString &path : renderer->saveSelectedTo(root.filePath("a/b"), &errors))
            QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(root.filePath("a/b")).absoluteFilePath());
        QCOMPARE(QDir(root.filePath("a/b")).entryList(QDir::Files).size(), 3);
        QCOMPARE(QDir(root.path()).entryList(QDir::Files).size(), 0);
        QCOMPARE(QDir(root.filePath("a")).entryList(QDir::Files).size(), 0);
    }

    void failuresAreReported()
    {
        QScopedPointer<QWidget> widget(rendererFor({{"a", 1, "x"}}));
        auto *renderer = qobject_cast<FilesRenderer *>(widget.data());
        QVERIFY(renderer);
        renderer->list()->selectAll();
        QStringList errors;
        QVERIFY(renderer->saveSelectedTo(m_dir.filePath("no/such/folder"), &errors).isEmpty());
        QCOMPARE(errors.size(), 1);

        // The conversation is gone: nothing is saved, nothing crashes.
        m_conversation.reset();
        errors.clear();
        QTemporaryDir target;
        QVERIFY(renderer->saveSelectedTo(target.path(), &errors).isEmpty());
        QVERIFY(QDir(target.path()).isEmpty());
    }

    void noFilesMakeNoItem()
    {
        QVERIFY(!rendererFor({}));
        QVERIFY(!m_conversation->items().contains(kItemId));
    }
};

WIVORA_TEST_MAIN(tst_FilesRenderer)
#include "tst_FilesRenderer.moc"

#include "QtTestSuite.h"
#include "PhotoAlbumEditor.h"
#include "PhotoAlbumPlugin.h"
#include "PhotoList.h"
#include "WMailConversation.h"
#include "WMailConversationPage.h"
#include "WMailPhotoAlbum.h"

#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kItemId = QStringLiteral("{0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d}");

QString savePicture(const QTemporaryDir &dir, const QString &name, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::darkRed);
    const QString path = dir.filePath(name);
    return image.save(path) ? path : QString();
}

} // namespace

// Albums from the editor's list to the item bob's page makes of them.
class tst_PhotoAlbumEditor : public QObject
{
    Q_OBJECT

private slots:
    void sendsListedPicturesOnce()
    {
        QTemporaryDir dir;
        const QString wide = savePicture(dir, "wide.png", QSize(1600, 400));
        const QString small = savePicture(dir, "small.jpg", QSize(400, 300));
        QFile text(dir.filePath("text.png"));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("not a picture");
        text.close();
        PhotoAlbumEditor editor;
        editor.slotAddFiles({wide, wide, text.fileName(), dir.filePath("missing.png")});
        QMimeData drop;
        drop.setUrls({QUrl::fromLocalFile(small), QUrl::fromLocalFile(wide)});
        QVERIFY(editor.list()->model()->dropMimeData(&drop, Qt::CopyAction, 0, 0, QModelIndex()));
        // The rows come at once in the order added; what is no picture goes
        // once the pool has tried it, the others get their thumbnails.
        QTRY_COMPARE(editor.list()->count(), 2);
        QCOMPARE(editor.list()->item(0)->text(), QStringLiteral("wide.png"));
        QCOMPARE(editor.list()->item(1)->text(), QStringLiteral("small.jpg"));
        QTRY_VERIFY(!editor.list()->item(1)->icon().isNull());
        QVERIFY(!editor.list()->item(0)->icon().isNull());

        QSignalSpy sent(&editor, &PhotoAlbumEditor::signalNewContentRequest);
        editor.on_actionSend_files_triggered();
        QTRY_COMPARE(sent.size(), 1);
        QCOMPARE(sent.at(0).at(1).toString(), QStringLiteral("photoalbum"));
        const QList<WMailPhotoAlbum::Picture> pictures = WMailPhotoAlbum::readPictures(sent.at(0).at(0).toByteArray());
        QCOMPARE(pictures.size(), 2);
        QCOMPARE(pictures.at(0).name, QStringLiteral("wide.png"));
        QCOMPARE(pictures.at(0).image.size(), QSize(800, 200));
        QCOMPARE(pictures.at(1).image.size(), QSize(800, 600));
        QCOMPARE(editor.list()->count(), 0);
        editor.on_actionSend_files_triggered();
        QTest::qWait(50);
        QCOMPARE(sent.size(), 1);
    }

    // A received album whose count is above its entries, one of them not a
    // JPEG: bob's page makes the item with the thumbnails of the good one.
    void receivedAlbumBecomesItem()
    {
        QTemporaryDir dir;
        auto conversation = WMailConversation::Pointer::create(dir.path(), QStringLiteral("alice"));
        conversation->initialise(QStringLiteral("alice"), QStringLiteral("bob"), {QStringLiteral("alice")});
        QByteArray entries;
        QVERIFY(WMailPhotoAlbum::appendPicture(&entries, savePicture(dir, "good.png", QSize(100, 50))));
        QDataStream out(&entries, QIODevice::WriteOnly | QIODevice::Append);
        out.setVersion(QDataStream::Qt_4_6);
        out << QStringLiteral("png") << QByteArray("\x89PNG\r\n\x1a\n", 8);
        auto message = WMailStructure::Pointer::create();
        message->id = kItemId;
        message->itemType = PhotoAlbumPlugin::Name;
        message->sender = QStringLiteral("alice");
        message->time = message->localTime = QDateTime::currentDateTimeUtc();
        QVERIFY(conversation->addMessage(conversation->viewRoot(), message, WMailPhotoAlbum::itemData(3, entries),
                                         false));

        const QString html = WMailConversationPage::getItemHtml(*conversation, kItemId, PhotoAlbumPlugin::Name);
        QVERIFY(html.contains("glimpseid=\"" + kItemId + "\""));
        const QByteArray preview = conversation->loadItemPreview(kItemId);
        qint32 count = 0;
        QDataStream(preview) >> count;
        QCOMPARE(count, 3);
        const QList<WMailPhotoAlbum::Picture> thumbnails = WMailPhotoAlbum::readPictures(preview);
        QCOMPARE(thumbnails.size(), 1);
        QCOMPARE(thumbnails.at(0).image.size(), QSize(80, 40));
        QCOMPARE(conversation->items().value(kItemId)->getData(), conversation->loadItemData(kItemId));
    }
};

WIVORA_TEST_MAIN(tst_PhotoAlbumEditor)
#include "tst_PhotoAlbumEditor.moc"

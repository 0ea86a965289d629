#include "QtTestSuite.h"
#include "DropEvents.h"
#include "PhotoAlbumEditor.h"
#include "PhotoAlbumPlugin.h"
#include "PhotoList.h"
#include "WMailConversation.h"
#include "WMailConversationPage.h"
#include "WMailPhotoAlbum.h"

#include <QElapsedTimer>
#include <QMimeData>
#include <QProgressDialog>
#include <QToolBar>
#include <QToolButton>
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

// The longest the event loop goes without turning while it runs until done.
qint64 longestStallUntil(const std::function<bool()> &done, int timeoutMs)
{
    qint64 longest = 0;
    QElapsedTimer gap;
    gap.start();
    QTimer tick;
    tick.callOnTimeout([&] { longest = qMax(longest, gap.restart()); });
    tick.start(2);
    QTest::qWaitFor(done, timeoutMs);
    return longest;
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
        QTRY_VERIFY(!editor.list()->item(0)->icon().isNull() && !editor.list()->item(1)->icon().isNull());

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

    // A listed file that is no longer a picture when the album is sent is
    // left out of the item's count as well as its entries.
    void countMatchesThePicturesSent()
    {
        QTemporaryDir dir;
        const QString kept = savePicture(dir, "kept.png", QSize(40, 30));
        const QString spoiled = savePicture(dir, "spoiled.png", QSize(40, 30));
        PhotoAlbumEditor editor;
        editor.slotAddFiles({kept, spoiled});
        QTRY_VERIFY(!editor.list()->item(0)->icon().isNull() && !editor.list()->item(1)->icon().isNull());
        QFile file(spoiled);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("no longer a picture");
        file.close();
        QSignalSpy sent(&editor, &PhotoAlbumEditor::signalNewContentRequest);
        editor.on_actionSend_files_triggered();
        QTRY_COMPARE(sent.size(), 1);
        const QByteArray data = sent.at(0).at(0).toByteArray();
        qint32 count = 0;
        QDataStream(data) >> count;
        QCOMPARE(count, 1);
        const QList<WMailPhotoAlbum::Picture> pictures = WMailPhotoAlbum::readPictures(data);
        QCOMPARE(pictures.size(), 1);
        QCOMPARE(pictures.at(0).name, QStringLiteral("kept.png"));
    }

    // Big pictures dropped on the list and sent with the tool bar's button:
    // decoding and scaling them happens on the pool, so the window keeps
    // turning; on this thread they would hold it for all of them at once.
    void bigPicturesKeepTheWindowTurning()
    {
#ifdef WIVORA_SANITIZED
        const QSize size(1600, 1200);
#else
        const QSize size(4000, 3000);
#endif
        constexpr int Pictures = 6;
        QTemporaryDir dir;
        QImage big(size, QImage::Format_RGB32);
        for (int y = 0; y < big.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(big.scanLine(y));
            for (int x = 0; x < big.width(); ++x)
                line[x] = qRgb(x * 7 % 256, y * 3 % 256, (x ^ y) % 256);
        }
        QVERIFY(big.save(dir.filePath("p0.jpg"), "JPG", 90));
        QList<QUrl> urls{QUrl::fromLocalFile(dir.filePath("p0.jpg"))};
        for (int i = 1; i < Pictures; ++i) {
            QVERIFY(QFile::copy(dir.filePath("p0.jpg"), dir.filePath(QString("p%1.jpg").arg(i))));
            urls << QUrl::fromLocalFile(dir.filePath(QString("p%1.jpg").arg(i)));
        }
        // What one picture's thumbnail costs on this thread.
        QElapsedTimer clock;
        clock.start();
        QImage one;
        QVERIFY(one.load(dir.filePath("p0.jpg")));
        one = one.scaled(80, 80, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        const qint64 onePicture = clock.elapsed();

        PhotoAlbumEditor editor;
        editor.resize(500, 300);
        editor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&editor));
        QVERIFY(dropUrls(editor.list()->viewport(), urls, editor.list()->viewport()->rect().center()));
        QCOMPARE(editor.list()->count(), Pictures);
        const auto allShown = [&] {
            for (int i = 0; i < editor.list()->count(); ++i) {
                if (editor.list()->item(i)->icon().isNull())
                    return false;
            }
            return true;
        };
        const qint64 adding = longestStallUntil(allShown, 60000);
        QVERIFY(allShown());
        QVERIFY2(adding < Pictures * onePicture / 2,
                 qPrintable(QString("%1 ms stall, %2 ms a picture").arg(adding).arg(onePicture)));

        QSignalSpy sent(&editor, &PhotoAlbumEditor::signalNewContentRequest);
        auto *toolBar = editor.findChild<QToolBar *>();
        QAction *send = editor.findChild<QAction *>(QStringLiteral("actionSend_files"));
        QTest::mouseClick(toolBar->widgetForAction(send), Qt::LeftButton);
        auto *progress = editor.findChild<QProgressDialog *>();
        QVERIFY(progress);
        QCOMPARE(progress->labelText(), QStringLiteral("Preparing pictures..."));
        QCOMPARE(progress->maximum(), Pictures);
        const qint64 sending = longestStallUntil([&] { return sent.size() == 1; }, 60000);
        QCOMPARE(sent.size(), 1);
        QVERIFY2(sending < Pictures * onePicture / 2,
                 qPrintable(QString("%1 ms stall, %2 ms a picture").arg(sending).arg(onePicture)));
        const QList<WMailPhotoAlbum::Picture> pictures = WMailPhotoAlbum::readPictures(sent.at(0).at(0).toByteArray());
        QCOMPARE(pictures.size(), Pictures);
        QCOMPARE(pictures.at(Pictures - 1).name, QStringLiteral("p%1.jpg").arg(Pictures - 1));
        QCOMPARE(editor.list()->count(), 0);
        QTRY_VERIFY(!editor.findChild<QProgressDialog *>());
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

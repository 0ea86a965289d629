#include "QtTestSuite.h"
#include "PhotoAlbumPlugin.h"
#include "PhotoAlbumRenderer.h"
#include "QPictureDetails.h"
#include "WMailConversation.h"
#include "WMailPhotoAlbum.h"

#include <QGraphicsPixmapItem>
#include <QImageReader>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimeLine>
#include <QtTest>

namespace {

const QString kItemId = QStringLiteral("{0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d}");

QImage picture(QColor colour)
{
    QImage image(200, 100, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// Positions to the pixel: the animation adds them up in steps.
QList<int> rounded(const QList<double> &positions)
{
    QList<int> result;
    for (double p : positions)
        result << qRound(p);
    return result;
}

void finish(QPictureDetails &viewer)
{
    QTRY_COMPARE_WITH_TIMEOUT(viewer.timeLine()->state(), QTimeLine::NotRunning, 10000);
}

} // namespace

class tst_QPictureDetails : public QObject
{
    Q_OBJECT

private slots:
    // Pressing the front picture moves on to the next, round to the first;
    // another picture slides to the centre.
    void pressesSlideTheRow()
    {
        QPictureDetails viewer;
        for (QColor colour : {Qt::red, Qt::green, Qt::blue})
            viewer.addPicture(picture(colour), colour.name());
        viewer.arrangeItems();
        QCOMPARE(rounded(viewer.positions()), (QList<int>{-405, 405, 1215}));
        viewer.pressTile(0);
        finish(viewer);
        QCOMPARE(viewer.currentIndex(), 1);
        QCOMPARE(rounded(viewer.positions()), (QList<int>{-1210, -400, 410}));
        viewer.pressTile(0);
        finish(viewer);
        QCOMPARE(viewer.currentIndex(), 0);
        viewer.pressTile(2);
        finish(viewer);
        viewer.pressTile(2);
        finish(viewer);
        QCOMPARE(viewer.currentIndex(), 0);
        QCOMPARE(qRound(viewer.positions().at(0)), -400);
    }

    // The arrows step through the pictures, round at either end; Escape
    // closes the viewer.
    void keysStepAndClose()
    {
        QPictureDetails viewer;
        for (QColor colour : {Qt::red, Qt::green, Qt::blue})
            viewer.addPicture(picture(colour), colour.name());
        viewer.show();
        QVERIFY(QTest::qWaitForWindowActive(&viewer));
        const QList<QPair<Qt::Key, int>> steps{{Qt::Key_Right, 1}, {Qt::Key_Left, 0}, {Qt::Key_Left, 2},
                                               {Qt::Key_Right, 0}};
        for (const auto &step : steps) {
            QTest::keyClick(&viewer, step.first);
            QCOMPARE(viewer.currentIndex(), step.second);
            finish(viewer);
        }
        QTest::keyClick(&viewer, Qt::Key_Escape);
        QTRY_VERIFY(!viewer.isVisible());
    }

    void indexIsClamped()
    {
        QPictureDetails viewer;
        viewer.setCurrentIndex(3);
        viewer.arrangeItems();
        QCOMPARE(viewer.currentIndex(), 0);
        QVERIFY(!viewer.saveCurrent(QDir::temp().filePath("never.jpg")));
        viewer.addPicture(picture(Qt::red), "a");
        viewer.addPicture(picture(Qt::blue), "b");
        viewer.setCurrentIndex(7);
        viewer.arrangeItems();
        QCOMPARE(viewer.currentIndex(), 1);
    }

    void savesFrontPictureAsJpeg()
    {
        QPictureDetails viewer;
        viewer.addPicture(picture(Qt::red), "a");
        viewer.addPicture(picture(Qt::blue), "b");
        viewer.setCurrentIndex(1);
        QTemporaryDir dir;
        const QString path = dir.filePath("saved"); // no extension is added
        QVERIFY(viewer.saveCurrent(path));
        QImageReader reader(path);
        QCOMPARE(reader.format(), QByteArray("jpeg"));
        const QImage saved = reader.read();
        QCOMPARE(saved.size(), QSize(200, 100));
        QVERIFY(QColor(saved.pixel(100, 50)).blue() > 200);
        QVERIFY(!viewer.saveCurrent(dir.filePath("missing/saved.jpg")));
    }

    // The viewer opens on the full pictures over a real store, outlives the
    // renderer that opened it, and opens nothing when no picture decodes.
    void opensFromTheAlbum()
    {
        QTemporaryDir dir;
        auto conversation = WMailConversation::Pointer::create(dir.path(), QStringLiteral("alice"));
        conversation->initialise(QStringLiteral("alice"), QStringLiteral("bob"), {QStringLiteral("alice")});
        QVERIFY(picture(Qt::red).save(dir.filePath("a.png")));
        QVERIFY(picture(Qt::blue).save(dir.filePath("b.png")));
        QByteArray entries;
        QVERIFY(WMailPhotoAlbum::appendPicture(&entries, dir.filePath("a.png")));
        QVERIFY(WMailPhotoAlbum::appendPicture(&entries, dir.filePath("b.png")));
        QVERIFY(conversation->storeItemData(kItemId, WMailPhotoAlbum::itemData(5, entries)));

        QWidget window;
        auto *renderer = new PhotoAlbumRenderer(&window);
        renderer->setItem(conversation, kItemId);
        QPointer<QPictureDetails> viewer = renderer->openPictures(4);
        QVERIFY(viewer);
        QCOMPARE(viewer->parentWidget(), &window);
        QCOMPARE(viewer->count(), 2);
        QCOMPARE(viewer->currentIndex(), 1);
        QCOMPARE(viewer->tile(0)->pixmap().size(), QSize(800, 880));
        delete renderer;
        viewer->pressTile(1);
        finish(*viewer);
        QCOMPARE(viewer->currentIndex(), 0);
        viewer->close();
        QTRY_VERIFY(!viewer);

        PhotoAlbumRenderer noPictures;
        noPictures.setItem(conversation, QStringLiteral("{00000000-0000-0000-0000-000000000000}"));
        QVERIFY(!noPictures.openPictures(0));
    }
};

WIVORA_TEST_MAIN(tst_QPictureDetails)
#include "tst_QPictureDetails.moc"

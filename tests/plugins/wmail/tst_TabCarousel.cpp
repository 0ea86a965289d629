#include "QtTestSuite.h"
#include "CarouselItem.h"
#include "PhotoAlbumRenderer.h"
#include "TabCarousel.h"
#include "WMailPhotoAlbum.h"

#include <QGraphicsTextItem>
#include <QGraphicsView>
#include <QTimeLine>
#include <QtTest>

namespace {

QByteArray previewOf(const QStringList &names)
{
    QImage image(40, 80, QImage::Format_RGB32);
    image.fill(Qt::yellow);
    QByteArray entries;
    QDataStream out(&entries, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_6);
    for (const QString &name : names)
        out << name << WMailPhotoAlbum::encodeJpeg(image, 100);
    out << QStringLiteral("broken") << QByteArray("not a picture");
    return WMailPhotoAlbum::itemData(names.size() + 1, entries);
}

// To the pixel: the animation adds them up in steps.
QList<int> positions(const TabCarousel &carousel)
{
    QList<int> result;
    for (const CarouselItem *tile : carousel.tiles())
        result << qRound(tile->position());
    return result;
}

QList<bool> captionsShown(const TabCarousel &carousel)
{
    QList<bool> result;
    for (const CarouselItem *tile : carousel.tiles())
        result << tile->captionItem()->isVisible();
    return result;
}

} // namespace

class tst_TabCarousel : public QObject
{
    Q_OBJECT

private slots:
    // Tiles stand 90 apart with the front one at -45; a press slides the row
    // so that the pressed tile ends centred, and only it shows its caption.
    void pressSlidesTileToCentre()
    {
        PhotoAlbumRenderer renderer;
        renderer.loadPreview(previewOf({"one", "two", "three"}));
        TabCarousel &carousel = *renderer.carousel();
        QCOMPARE(positions(carousel), (QList<int>{-45, 45, 135}));
        QCOMPARE(captionsShown(carousel), (QList<bool>{true, false, false}));

        QMetaObject::invokeMethod(carousel.tiles().at(2), "clicked");
        QCOMPARE(carousel.currentIndex(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(carousel.timeLine()->state(), QTimeLine::NotRunning, 10000);
        QCOMPARE(positions(carousel), (QList<int>{-220, -130, -40}));
        QCOMPARE(captionsShown(carousel), (QList<bool>{false, false, true}));

        renderer.resize(500, 140);
        renderer.show();
        QTRY_COMPARE(positions(carousel), (QList<int>{-225, -135, -45}));
    }

    // Keys on the focused row: the arrows slide a neighbour to the front
    // (none past either end), Return opens the front picture.
    void keysSlideAndOpen()
    {
        PhotoAlbumRenderer renderer;
        renderer.loadPreview(previewOf({"one", "two", "three"}));
        TabCarousel &carousel = *renderer.carousel();
        QSignalSpy opened(&carousel, &TabCarousel::pictureOpened);
        renderer.resize(500, 140);
        renderer.show();
        QVERIFY(QTest::qWaitForWindowActive(&renderer));
        carousel.view()->setFocus();
        QTRY_VERIFY(carousel.view()->hasFocus());
        const QList<QPair<Qt::Key, int>> steps{{Qt::Key_Right, 1}, {Qt::Key_Right, 2}, {Qt::Key_Right, 2},
                                               {Qt::Key_Left, 1}};
        for (const auto &step : steps) {
            QTest::keyClick(carousel.view(), step.first);
            QCOMPARE(carousel.currentIndex(), step.second);
            QTRY_COMPARE_WITH_TIMEOUT(carousel.timeLine()->state(), QTimeLine::NotRunning, 10000);
        }
        QCOMPARE(captionsShown(carousel), (QList<bool>{false, true, false}));
        QTest::keyClick(carousel.view(), Qt::Key_Return);
        QCOMPARE(opened.count(), 1);
        QCOMPARE(opened.first().first().toInt(), 1);
    }

    // In the page's 140-pixel album the front caption is seen, above the
    // neighbouring tiles.
    void frontCaptionIsInsideTheAlbum()
    {
        PhotoAlbumRenderer renderer;
        renderer.resize(500, 140);
        renderer.loadPreview(previewOf({"one", "two"}));
        renderer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&renderer));
        const CarouselItem *front = renderer.carousel()->tiles().at(0);
        const QGraphicsView *view = renderer.carousel()->view();
        const QRect caption = view->mapFromScene(front->captionItem()->sceneBoundingRect()).boundingRect();
        QVERIFY2(view->viewport()->rect().contains(caption.adjusted(caption.width() / 3, 0, -caption.width() / 3, 0)),
                 qPrintable(QStringLiteral("caption at y %1..%2").arg(caption.top()).arg(caption.bottom())));
        QVERIFY(front->zValue() > renderer.carousel()->tiles().at(1)->zValue());
    }

    void longCaptionIsElided()
    {
        PhotoAlbumRenderer renderer;
        renderer.loadPreview(previewOf({QString(200, 'W')}));
        const QString shown = renderer.carousel()->tiles().at(0)->captionItem()->toPlainText();
        QVERIFY(shown.endsWith(QChar(0x2026)));
        QVERIFY(QFontMetrics(renderer.carousel()->tiles().at(0)->captionItem()->font()).horizontalAdvance(shown) <= 240);
    }

    void thumbnailDrawnOnTheLine()
    {
        PhotoAlbumRenderer renderer;
        renderer.loadPreview(previewOf({"tall"}));
        const QImage tile = renderer.carousel()->tiles().at(0)->pixmap().toImage();
        QCOMPARE(tile.size(), QSize(80, 120));
        QCOMPARE(QColor(tile.pixel(40, 40)).red() > 200, true); // the picture
        QCOMPARE(tile.pixel(10, 40), QColor(Qt::black).rgb()); // beside it
    }

    void emptyOrDamagedPreviewGivesEmptyRow()
    {
        PhotoAlbumRenderer renderer;
        renderer.loadPreview(QByteArray("\x7f\xff\xff\xff", 4));
        QVERIFY(renderer.carousel()->tiles().isEmpty());
        renderer.loadPreview(QByteArray());
        QVERIFY(renderer.carousel()->tiles().isEmpty());
    }
};

WIVORA_TEST_MAIN(tst_TabCarousel)
#include "tst_TabCarousel.moc"

#include "QtTestSuite.h"
#include "WMailPhotoAlbum.h"

#include <QBuffer>
#include <QDataStream>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QImage picture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    return image;
}

QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer out(&bytes);
    out.open(QIODevice::WriteOnly);
    image.save(&out, format);
    return bytes;
}

// A small JPEG whose frame header declares width x height.
QByteArray jpegClaiming(int width, int height)
{
    QByteArray jpeg = encoded(picture(8, 8), "JPG");
    const int frame = jpeg.indexOf(QByteArray("\xff\xc0", 2));
    Q_ASSERT(frame > 0);
    // marker, length (2), precision (1), then height and width, big-endian.
    const int at = frame + 5;
    jpeg[at] = char(height >> 8);
    jpeg[at + 1] = char(height);
    jpeg[at + 2] = char(width >> 8);
    jpeg[at + 3] = char(width);
    return jpeg;
}

QByteArray album(qint32 count, const QList<QPair<QString, QByteArray>> &entries)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_6);
    out << count;
    for (const auto &entry : entries)
        out << entry.first << entry.second;
    return bytes;
}

qint32 countOf(const QByteArray &bytes)
{
    qint32 count = -1;
    QDataStream(bytes) >> count;
    return count;
}

} // namespace

class tst_WMailPhotoAlbum : public QObject
{
    Q_OBJECT

private slots:
    void sentAndPreviewSizes_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSize>("sent");
        QTest::addColumn<QSize>("thumbnail");
        QTest::newRow("wide, down") << QSize(1600, 400) << QSize(800, 200) << QSize(80, 20);
        QTest::newRow("small, up") << QSize(400, 300) << QSize(800, 600) << QSize(80, 60);
        QTest::newRow("tall") << QSize(100, 1000) << QSize(80, 800) << QSize(8, 80);
    }
    // A picture is fitted into the box, up or down, for sending and again
    // for its thumbnail, keeping its name.
    void sentAndPreviewSizes()
    {
        QFETCH(QSize, source);
        QFETCH(QSize, sent);
        QFETCH(QSize, thumbnail);
        QTemporaryDir dir;
        const QString path = dir.filePath("holiday.png");
        QVERIFY(picture(source.width(), source.height()).save(path));
        QByteArray entries;
        QVERIFY(WMailPhotoAlbum::appendPicture(&entries, path));
        const QByteArray data = WMailPhotoAlbum::itemData(1, entries);

        const QList<WMailPhotoAlbum::Picture> full = WMailPhotoAlbum::readPictures(data);
        QCOMPARE(full.size(), 1);
        QCOMPARE(full.at(0).name, QStringLiteral("holiday.png"));
        QCOMPARE(full.at(0).image.size(), sent);
        const QList<WMailPhotoAlbum::Picture> small = WMailPhotoAlbum::readPictures(WMailPhotoAlbum::preview(data));
        QCOMPARE(small.size(), 1);
        QCOMPARE(small.at(0).image.size(), thumbnail);
    }

    void notAPictureIsNotAdded()
    {
        QTemporaryDir dir;
        QFile text(dir.filePath("a.jpg"));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("not a picture");
        text.close();
        QByteArray entries;
        QVERIFY(!WMailPhotoAlbum::appendPicture(&entries, text.fileName()));
        QVERIFY(!WMailPhotoAlbum::appendPicture(&entries, dir.filePath("missing.png")));
        QVERIFY(entries.isEmpty());
    }

    void hostileEntries_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<qint32>("previewCount");
        const QByteArray jpeg = encoded(picture(40, 30), "JPG");
        QTest::newRow("count above entries") << album(3, {{"a", jpeg}, {"b", jpeg}}) << QStringList{"a", "b"} << 3;
        QTest::newRow("png") << album(2, {{"png", encoded(picture(40, 30), "PNG")}, {"b", jpeg}})
                             << QStringList{"b"} << 2;
        QTest::newRow("bmp") << album(1, {{"bmp", encoded(picture(40, 30), "BMP")}}) << QStringList{} << 1;
        QTest::newRow("garbage") << album(1, {{"x", "\xff\xd8garbage"}}) << QStringList{} << 1;
        QTest::newRow("empty picture") << album(1, {{"x", QByteArray()}}) << QStringList{} << 1;
        // A null array (all ones) is how a sender writes a picture of no width.
        QTest::newRow("empty picture, then one") << album(2, {{"x", QByteArray()}, {"b", jpeg}}) << QStringList{"b"} << 2;
        QTest::newRow("30000 x 30000") << album(2, {{"bomb", jpegClaiming(30000, 30000)}, {"b", jpeg}})
                                       << QStringList{"b"} << 2;
        QTest::newRow("one side too long") << album(1, {{"wide", jpegClaiming(4097, 8)}}) << QStringList{} << 1;
        QTest::newRow("count far above bytes") << album(0x7fffffff, {{"a", jpeg}}) << QStringList{} << 0x7fffffff;
        QByteArray truncated = album(1, {{"a", jpeg}});
        truncated.chop(10);
        QTest::newRow("truncated") << truncated << QStringList{} << 1;
        QList<QPair<QString, QByteArray>> many;
        for (int i = 0; i < 10000; ++i)
            many.append({QString::number(i), QByteArray("\xff\xd8", 2)});
        QTest::newRow("10000 entries") << album(10000, many) << QStringList{} << 10000;
    }
    // Received bytes that are not a JPEG of sane size are left out, the
    // others shown; the count is copied as sent.
    void hostileEntries()
    {
        QFETCH(QByteArray, data);
        QFETCH(QStringList, shown);
        QFETCH(qint32, previewCount);
        QStringList names;
        for (const WMailPhotoAlbum::Picture &p : WMailPhotoAlbum::readPictures(data))
            names << p.name;
        QCOMPARE(names, shown);
        const QByteArray preview = WMailPhotoAlbum::preview(data);
        QCOMPARE(countOf(preview), previewCount);
        names.clear();
        for (const WMailPhotoAlbum::Picture &p : WMailPhotoAlbum::readPictures(preview)) {
            QVERIFY(p.image.width() <= WMailPhotoAlbum::ThumbnailSide);
            names << p.name;
        }
        QCOMPARE(names, shown);
    }

    void decodeAcceptsTheLimit()
    {
        QVERIFY(WMailPhotoAlbum::decode(jpegClaiming(30000, 30000)).isNull());
        QCOMPARE(WMailPhotoAlbum::decode(encoded(picture(WMailPhotoAlbum::MaxSide, 4), "JPG")).size(),
                 QSize(WMailPhotoAlbum::MaxSide, 4));
    }

    void emptyDataGivesNoPreview()
    {
        QVERIFY(WMailPhotoAlbum::preview(QByteArray()).isEmpty());
        QVERIFY(WMailPhotoAlbum::readPictures(QByteArray()).isEmpty());
    }
};

WIVORA_TEST_MAIN(tst_WMailPhotoAlbum)
#include "tst_WMailPhotoAlbum.moc"

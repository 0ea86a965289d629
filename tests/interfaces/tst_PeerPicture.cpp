#include "QtTestSuite.h"
#include "PngBomb.h"
#include <PeerPicture.h>

#include <QBuffer>
#include <QtTest>

class tst_PeerPicture : public QObject
{
    Q_OBJECT

private slots:
    // The bound is judged on the declared size, before any pixel is decoded.
    void decode_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("decoded"); // invalid: refused
        QTest::newRow("small") << pngDeclaring(30, 20) << QSize(30, 20);
        QTest::newRow("widest allowed") << pngDeclaring(PeerPicture::MaxSide, 2) << QSize(PeerPicture::MaxSide, 2);
        QTest::newRow("one too wide") << pngDeclaring(PeerPicture::MaxSide + 1, 2) << QSize();
        QTest::newRow("one too high") << pngDeclaring(2, PeerPicture::MaxSide + 1) << QSize();
        QTest::newRow("12000 x 12000") << pngDeclaring(12000, 12000) << QSize();
        QTest::newRow("not a picture") << QByteArray("GIF89a but not really") << QSize();
        QTest::newRow("empty") << QByteArray() << QSize();
    }
    void decode()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, decoded);
        QCOMPARE(PeerPicture::decode(bytes).size(), decoded.isValid() ? decoded : QSize(0, 0));
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_PeerPicture)
#include "tst_PeerPicture.moc"

// The avatar, status and flag images made from the program's resources.

#include "QtTestSuite.h"
#include "WGraphicsOperations.h"

#include <QtTest>

namespace {

QImage resource(const QString &path, int size)
{
    return QImage(path).scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

} // namespace

class tst_WGraphicsOperations : public QObject
{
    Q_OBJECT

private slots:
    void statusImage_data();
    void statusImage();
    void flagImage_data();
    void flagImage();
    void avatarIsCentredOnTheBackground_data();
    void avatarIsCentredOnTheBackground();
};

void tst_WGraphicsOperations::statusImage_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("icon");
    QTest::newRow("invisible") << 0 << "status_offline.png";
    QTest::newRow("online") << 1 << "status_online.png";
    QTest::newRow("away") << 2 << "status_away.png";
    QTest::newRow("do not disturb") << 3 << "status_dontdisturb.png";
    QTest::newRow("unknown") << 7 << "status_offline.png";
    QTest::newRow("negative") << -1 << "status_offline.png";
}

void tst_WGraphicsOperations::statusImage()
{
    QFETCH(int, status);
    QFETCH(QString, icon);

    const QImage image = WGraphicsOperations::getStatusImage(status, 20);

    QCOMPARE(image.size(), QSize(20, 20));
    QCOMPARE(image, resource(QStringLiteral(":/Wivora/Resources/") + icon, 20));
}

void tst_WGraphicsOperations::flagImage_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QSize>("size"); // empty: a null image
    QTest::newRow("known") << "PL" << QSize(32, 22);
    QTest::newRow("unknown") << "XX" << QSize();
    QTest::newRow("empty") << "" << QSize();
    QTest::newRow("another resource") << "../../Wivora/Resources/status_online" << QSize();
}

void tst_WGraphicsOperations::flagImage()
{
    QFETCH(QString, code);
    QFETCH(QSize, size);

    const QImage image = WGraphicsOperations::getFlagImage(code, 32);

    QCOMPARE(image.isNull(), size.isEmpty());
    if (!image.isNull()) {
        QCOMPARE(image.size(), size);
        QCOMPARE(image, resource(QStringLiteral(":/Flags/Resources/") + code + QStringLiteral(".png"), 32));
    }
}

void tst_WGraphicsOperations::avatarIsCentredOnTheBackground_data()
{
    QTest::addColumn<QSize>("avatarSize");
    QTest::addColumn<QRect>("covered"); // where the avatar lands at size 60
    QTest::newRow("square") << QSize(30, 30) << QRect(0, 0, 60, 60);
    QTest::newRow("wide") << QSize(40, 20) << QRect(0, 15, 60, 30);
    QTest::newRow("tall") << QSize(10, 40) << QRect(23, 0, 15, 60);
    QTest::newRow("none") << QSize() << QRect();
}

void tst_WGraphicsOperations::avatarIsCentredOnTheBackground()
{
    QFETCH(QSize, avatarSize);
    QFETCH(QRect, covered);
    QImage avatar;
    if (!avatarSize.isEmpty()) {
        avatar = QImage(avatarSize, QImage::Format_RGB32);
        avatar.fill(Qt::red);
    }

    const QImage image = WGraphicsOperations::getAvatarImage(avatar, 60);

    QCOMPARE(image.size(), QSize(60, 60));
    const QImage background = resource(QStringLiteral(":/Wivora/Resources/avatarback.jpg"), 60);
    for (const QPoint point : {QPoint(0, 0), QPoint(30, 30), QPoint(30, 5), QPoint(5, 30), QPoint(59, 59)}) {
        const QRgb expected = covered.contains(point) ? qRgb(255, 0, 0) : background.pixel(point);
        QCOMPARE(QColor(image.pixel(point)), QColor(expected));
    }
}

WIVORA_TEST_MAIN(tst_WGraphicsOperations)
#include "tst_WGraphicsOperations.moc"

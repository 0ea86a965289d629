#include "QtTestSuite.h"
#include "WindowPlacement.h"

#include <QTest>

class tst_WindowPlacement : public QObject
{
    Q_OBJECT

private slots:
    void notificationPosition_data()
    {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QPoint>("expected");

        QTest::newRow("area at the origin") << QRect(0, 0, 1920, 1040) << QPoint(1705, 925);
        QTest::newRow("panel on the left") << QRect(64, 0, 1856, 1080) << QPoint(1705, 965);
        QTest::newRow("panel on top") << QRect(0, 32, 1920, 1048) << QPoint(1705, 965);
        QTest::newRow("second screen on the right") << QRect(1920, 0, 1280, 1024) << QPoint(2985, 909);
        QTest::newRow("screen above the first") << QRect(0, -900, 1600, 900) << QPoint(1385, -115);
    }
    void notificationPosition()
    {
        QFETCH(QRect, available);
        QFETCH(QPoint, expected);
        const QPoint position = WindowPlacement::notificationPosition(available);
        QCOMPARE(position, expected);
        // The whole 200 x 80 pop-up is on the area.
        QVERIFY(available.contains(QRect(position, QSize(200, 80))));
    }

    void windowPosition_data()
    {
        QTest::addColumn<QPoint>("stored");
        QTest::addColumn<QList<QRect>>("screens");
        QTest::addColumn<QPoint>("expected");

        const QList<QRect> one{QRect(0, 0, 1024, 768)};
        const QList<QRect> two{QRect(0, 0, 1024, 768), QRect(1024, 0, 1280, 1024)};
        // 758 x 555 on a 1024 x 768 desktop: integer halves.
        const QPoint centred(512 - 379, 384 - 277);
        QTest::newRow("nothing stored") << QPoint(0, 0) << one << centred;
        QTest::newRow("stored on the screen") << QPoint(100, 50) << one << QPoint(100, 50);
        QTest::newRow("partly off the screen") << QPoint(900, 700) << one << QPoint(900, 700);
        QTest::newRow("on a second screen") << QPoint(1500, 200) << two << QPoint(1500, 200);
        QTest::newRow("second screen removed") << QPoint(1500, 200) << one << centred;
        QTest::newRow("far off every screen") << QPoint(-5000, -5000) << two << centred;
    }
    void windowPosition()
    {
        QFETCH(QPoint, stored);
        QFETCH(QList<QRect>, screens);
        QFETCH(QPoint, expected);
        QCOMPARE(WindowPlacement::windowPosition(stored, QSize(758, 555), QRect(0, 0, 1024, 768), screens), expected);
    }
};

WIVORA_TEST_MAIN(tst_WindowPlacement)
#include "tst_WindowPlacement.moc"

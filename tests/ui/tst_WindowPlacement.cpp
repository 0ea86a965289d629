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

    // Where the tray icon sits inside the area, the pop-up moves clear of it;
    // it always stays on the area.
    void notificationClearOfTray_data()
    {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QRect>("tray");
        QTest::addColumn<QPoint>("expected");

        const QRect screen(0, 0, 1366, 768);
        QTest::newRow("no tray: the corner") << screen << QRect() << QPoint(1151, 653);
        QTest::newRow("tray below the corner, apart") << screen << QRect(1340, 744, 22, 22) << QPoint(1151, 653);
        QTest::newRow("tray under the corner: above it") << screen << QRect(1330, 700, 22, 22) << QPoint(1151, 612);
        QTest::newRow("wide tray area: above it") << screen << QRect(1300, 720, 60, 40) << QPoint(1151, 632);
        QTest::newRow("tray in the upper half: below it") << QRect(0, 0, 400, 200) << QRect(300, 60, 22, 22)
                                                          << QPoint(185, 90);
        QTest::newRow("area smaller than the pop-up") << QRect(0, 0, 150, 60) << QRect() << QPoint(0, 0);
    }
    void notificationClearOfTray()
    {
        QFETCH(QRect, available);
        QFETCH(QRect, tray);
        QFETCH(QPoint, expected);
        const QSize popup(200, 80);
        const QPoint position = WindowPlacement::notificationPosition(available, popup, tray);
        QCOMPARE(position, expected);
        if (tray.isValid())
            QVERIFY(!QRect(position, popup).intersects(tray));
        if (available.width() >= popup.width() && available.height() >= popup.height())
            QVERIFY(available.contains(QRect(position, popup)));
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

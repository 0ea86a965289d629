#include "QtTestSuite.h"
#include "NotifyWindow.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

class tst_NotifyWindow : public QObject
{
    Q_OBJECT

private slots:
    void fadesInAfterDelayThenStays()
    {
        NotifyWindow window;
        QElapsedTimer shown;
        window.show();
        shown.start();
        QCOMPARE(window.windowOpacity(), 0.0);
        QTest::qWait(NotifyWindow::ShowDelayMs / 2);
        if (shown.elapsed() < NotifyWindow::ShowDelayMs)
            QCOMPARE(window.windowOpacity(), 0.0);
        QTRY_VERIFY_WITH_TIMEOUT(window.windowOpacity() > 0.0 && window.windowOpacity() < 1.0, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(window.windowOpacity(), 1.0, 5000);
        QVERIFY(shown.elapsed() >= NotifyWindow::ShowDelayMs);
        QVERIFY(window.isVisible());
    }

    // The stay timer hides the pop-up; its interval is the full stay.
    void hidesAfterStay()
    {
        NotifyWindow window;
        window.show();
        QTRY_COMPARE_WITH_TIMEOUT(window.windowOpacity(), 1.0, 5000);
        auto *stayTimer = window.findChild<QTimer *>(QStringLiteral("stayTimer"));
        QVERIFY(stayTimer);
        QVERIFY(stayTimer->isActive());
        QCOMPARE(stayTimer->interval(), NotifyWindow::StayMs);
        QVERIFY(window.isVisible());
        // The rest of the stay, shortened.
        stayTimer->start(1);
        QTRY_VERIFY(!window.isVisible());
    }

    void newNoticeRestartsFromInvisible()
    {
        NotifyWindow window;
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(window.windowOpacity() > 0.1, 5000);
        window.hide();
        window.setText(QStringLiteral("second"));
        window.show();
        QCOMPARE(window.windowOpacity(), 0.0);
        QTRY_COMPARE_WITH_TIMEOUT(window.windowOpacity(), 1.0, 5000);
    }

    void clickBringsMainWindowAndHides()
    {
        NotifyWindow window;
        QSignalSpy activated(&window, &NotifyWindow::signalActivated);
        window.show();
        QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("pushButton")), Qt::LeftButton);
        QCOMPARE(activated.count(), 1);
        QVERIFY(!window.isVisible());
    }

    // Texts quote what other users typed: markup shows as typed.
    void textIsPlain_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << QStringLiteral("bob sent you a file");
        QTest::newRow("image") << QStringLiteral("<img src=\"file:///dev/zero\">");
        QTest::newRow("bold") << QStringLiteral("<b>urgent</b> & more");
    }
    void textIsPlain()
    {
        QFETCH(QString, text);
        NotifyWindow window;
        window.setText(text);
        auto *label = window.findChild<QLabel *>(QStringLiteral("label_2"));
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QCOMPARE(window.text(), text);
    }

    void shapedAndSized()
    {
        NotifyWindow window;
        window.show();
        QCOMPARE(window.size(), QSize(200, 80));
        const QRegion mask = window.mask();
        QVERIFY(!mask.isEmpty());
        QVERIFY(mask.contains(QPoint(100, 40)));
        // Rounded corners are cut off.
        QVERIFY(!mask.contains(QPoint(0, 0)));
        QVERIFY(!mask.contains(QPoint(199, 79)));
    }
};

WIVORA_TEST_MAIN(tst_NotifyWindow)
#include "tst_NotifyWindow.moc"

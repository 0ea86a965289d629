// Windows kept within the screen's free area: the geometry worked out for
// windows of every size and place, and a real dialog larger than the screen
// shown with the filter installed as the program installs it.

#include "QtTestSuite.h"
#include "ScreenFit.h"

#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

Q_DECLARE_METATYPE(QMargins)

class tst_ScreenFit : public QObject
{
    Q_OBJECT

private slots:
    void fitted_data()
    {
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QMargins>("frame");
        QTest::addColumn<QSize>("minimum");
        QTest::addColumn<QRect>("expected");
        // The free area: 1366×740 below a 28-pixel panel.
        const QMargins none;
        const QMargins framed(4, 24, 4, 4);
        QTest::newRow("fits already") << QRect(100, 100, 400, 300) << none << QSize() << QRect(100, 100, 400, 300);
        QTest::newRow("taller than the screen") << QRect(100, 100, 400, 900) << none << QSize() << QRect(100, 28, 400, 740);
        QTest::newRow("off the right edge") << QRect(1200, 100, 400, 300) << none << QSize() << QRect(966, 100, 400, 300);
        QTest::newRow("above the panel") << QRect(100, 0, 400, 300) << none << QSize() << QRect(100, 28, 400, 300);
        QTest::newRow("left of the screen") << QRect(-50, 100, 400, 300) << none << QSize() << QRect(0, 100, 400, 300);
        QTest::newRow("frame counted") << QRect(100, 100, 400, 900) << framed << QSize() << QRect(100, 52, 400, 712);
        QTest::newRow("frame off the bottom") << QRect(100, 600, 400, 200) << framed << QSize() << QRect(100, 564, 400, 200);
        // A minimum larger than the area wins; the title bar stays reachable.
        QTest::newRow("minimum too tall") << QRect(100, 100, 400, 300) << framed << QSize(400, 1000)
                                          << QRect(100, 52, 400, 1000);
        QTest::newRow("wider and taller") << QRect(-300, -300, 2000, 1000) << none << QSize() << QRect(0, 28, 1366, 740);
    }
    void fitted()
    {
        QFETCH(QRect, geometry);
        QFETCH(QMargins, frame);
        QFETCH(QSize, minimum);
        QFETCH(QRect, expected);
        QCOMPARE(ScreenFit::fitted(geometry, frame, minimum, QRect(0, 28, 1366, 740)), expected);
    }

    // Shown the way a plug-in shows its dialog: the filter on the
    // application fits it before it appears.
    void aDialogTallerThanTheScreenOpensWithin()
    {
        ScreenFit screenFit;
        qApp->installEventFilter(&screenFit);
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        QDialog dialog;
        auto *ok = new QPushButton(QStringLiteral("OK"), &dialog);
        auto *layout = new QVBoxLayout(&dialog);
        layout->addStretch();
        layout->addWidget(ok);
        dialog.resize(area.width() / 2, area.height() * 2);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY2(area.contains(dialog.frameGeometry()),
                 qPrintable(QStringLiteral("%1 outside %2").arg(toString(dialog.frameGeometry()), toString(area))));
        QVERIFY(area.contains(QRect(ok->mapToGlobal(QPoint()), ok->size())));
    }

private:
    static QString toString(const QRect &rect)
    {
        return QStringLiteral("%1,%2 %3x%4").arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height());
    }
};

WIVORA_TEST_MAIN(tst_ScreenFit)
#include "tst_ScreenFit.moc"

// Pictures of the program's windows as a user sees them, styled as the
// program styles them, written to the build folder (tests/ui/screenshots)
// for a person to look at: logged out, logging in, logged in with the probe
// plug-in's button, page, menu and dock, the start page, and a notice.

#include "MainClass.h"
#include "MainContainer.h"
#include "NotifyWindow.h"
#include "QWivoraStyle.h"
#include "WindowFixture.h"
#include "Wivora.h"

#include <PSettings.h>

#include <QDockWidget>
#include <QFile>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QWebView>

#include <memory>

namespace {

const QString Alice = QStringLiteral("alice");

bool save(QWidget *widget, const QString &name)
{
    QDir().mkpath(QStringLiteral(SCREENSHOT_FOLDER));
    const QImage image = widget->grab().toImage();
    return !image.isNull() && image.save(QStringLiteral(SCREENSHOT_FOLDER "/") + name + QStringLiteral(".png"));
}

} // namespace

class tst_Screenshots : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_fixture.start({Alice, QStringLiteral("bob"), QStringLiteral("carol")},
                                 {{Alice, QStringLiteral("bob")}, {Alice, QStringLiteral("carol")}}),
                 qPrintable(m_fixture.sessions.server.errorText()));
        QVERIFY(m_fixture.setUpThisProcess());
        PSettings::SetValue(QStringLiteral("settings/rememberMe"), false);
        PSettings::SetValue(QStringLiteral("settings/username"), Alice);
        QFile styleSheet(QStringLiteral(":/wivorastyle/Resources/wivorastyle.stt"));
        QVERIFY(styleSheet.open(QIODevice::ReadOnly));
        qApp->setStyleSheet(QString::fromLatin1(styleSheet.readAll()));
        qApp->setStyle(new QWivoraStyle);
        m_window.reset(new Wivora);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }
    void cleanupTestCase() { m_window.reset(); }

    void loggedOut() { QVERIFY(save(m_window.get(), QStringLiteral("1-logged-out"))); }

    void loggingIn()
    {
        auto *busy = m_window->findChild<QWidget *>(QStringLiteral("frame_2"));
        bool saved = false;
        // Taken from inside the login, while the busy frame shows.
        QTimer during;
        connect(&during, &QTimer::timeout, this, [&] {
            if (!saved && busy->isVisible())
                saved = save(m_window.get(), QStringLiteral("2-logging-in"));
        });
        during.start(1);
        PSettings::SetValue(QStringLiteral("settings/rememberMe"), true);
        PSettings::SetValue(QStringLiteral("settings/password"), WindowFixture::passwordOf(Alice));
        QSignalSpy pageLoaded(m_window->mainContainer()->startPage(), &QWebView::loadFinished);
        m_window->autoLogin();
        during.stop();
        QVERIFY(saved);
        QVERIFY(m_window->isLoggedInPage());
        QVERIFY(pageLoaded.count() > 0 || pageLoaded.wait(30000));
    }

    void startPage() { QVERIFY(save(m_window.get(), QStringLiteral("3-start-page"))); }

    void pluginPlaces()
    {
        for (QAction *button : m_window->findChild<QToolBar *>(QStringLiteral("toolbar"))->actions()) {
            if (button->text() == QLatin1String("Probe"))
                button->trigger();
        }
        QCOMPARE(m_window->mainContainer()->currentPage()->objectName(), QStringLiteral("probePage"));
        QVERIFY(m_window->findChild<QDockWidget *>(QStringLiteral("probe:::dock"))->isVisible());
        QVERIFY(save(m_window.get(), QStringLiteral("4-plugin-page")));
        QMenu *probeMenu = m_window->menuBar()->actions().at(1)->menu();
        probeMenu->popup(m_window->mapToGlobal(QPoint(60, 20)));
        QVERIFY(QTest::qWaitForWindowExposed(probeMenu));
        QVERIFY(save(probeMenu, QStringLiteral("5-plugin-menu")));
        probeMenu->close();
    }

    void notice()
    {
        NotifyWindow *notice = m_window->notifyWindow();
        notice->setText(QStringLiteral("bob sent you <b>2 files</b>"));
        notice->show();
        QTRY_COMPARE(notice->windowOpacity(), 1.0);
        QVERIFY(save(notice, QStringLiteral("6-notice")));
    }

private:
    WindowFixture m_fixture;
    std::unique_ptr<Wivora> m_window;
};

QTEST_MAIN(tst_Screenshots)
#include "tst_Screenshots.moc"

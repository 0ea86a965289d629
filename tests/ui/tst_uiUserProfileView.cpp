// The contact profile view in a real session, with the window-probe plug-in
// told about page changes: the header from the contacts tree, its refresh on
// edits of the shown contact only, and the page choice.

#include "QtTestSuite.h"
#include "PngBomb.h"
#include "SessionPanelFixture.h"
#include "WGraphicsOperations.h"
#include "uiUserProfileView.h"

#include <WDataStructure.h>
#include <WivoraAccount.h>

#include <QAction>
#include <QDir>
#include <QLabel>
#include <QTest>
#include <QToolBar>

namespace {

const QString Alice = QStringLiteral("alice");
// Written into the contacts by the test after the login, so that the
// session's status refresh of the login's contacts never touches them.
const QString Dora = QStringLiteral("dora");
const QString Emil = QStringLiteral("emil");

QString labelText(const uiUserProfileView &view, const char *name)
{
    return view.findChild<QLabel *>(QLatin1String(name))->text();
}

QImage labelImage(const uiUserProfileView &view, const char *name)
{
    return view.findChild<QLabel *>(QLatin1String(name))->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_ARGB32);
}

void setContact(const QString &user, const QString &fullName, const QString &city, const QString &country,
                const QByteArray &status)
{
    const auto contacts = MainClass::instance()->getAccount()->contactsData;
    contacts->setSetting(user + QStringLiteral("/username"), user.toUtf8());
    contacts->setSetting(user + QStringLiteral("/status"), status);
    contacts->setSetting(user + QStringLiteral("/vcard/fullName"), fullName.toUtf8());
    contacts->setSetting(user + QStringLiteral("/vcard/city"), city.toUtf8());
    contacts->setSetting(user + QStringLiteral("/vcard/country"), country.toUtf8());
}

void setAvatar(const QString &user, const QByteArray &picture)
{
    MainClass::instance()->getAccount()->contactsData->setSetting(user + QStringLiteral("/vcard/avatar"), picture);
}

// The widget painted at a device pixel ratio, as a screen of that ratio shows it.
bool saveScreenshot(QWidget *widget, qreal pixelRatio, const QString &name)
{
    QImage image(widget->size() * pixelRatio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(pixelRatio);
    image.fill(Qt::white);
    widget->render(&image);
    QDir().mkpath(QStringLiteral(SCREENSHOT_FOLDER));
    return image.save(QStringLiteral(SCREENSHOT_FOLDER "/") + name + QStringLiteral(".png"));
}

} // namespace

class tst_uiUserProfileView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_fixture.start({Alice}),
                 qPrintable(m_fixture.sessions.server.errorText()));
        QVERIFY(m_fixture.setUpThisProcess());
        MainClass::instance()->pluginManager()->loadPlugins();
        QCOMPARE(MainClass::instance()->pluginManager()->plugins().size(), 1);
        m_probe = MainClass::instance()->pluginManager()->plugins().first().instance;
        QVERIFY(MainClass::instance()->login(Alice, WindowFixture::passwordOf(Alice)));
    }
    void cleanupTestCase() { MainClass::instance()->logout(); }

    // Other users' texts show as typed, never as markup.
    void header_data()
    {
        QTest::addColumn<QString>("fullName");
        QTest::addColumn<QString>("city");
        QTest::addColumn<QString>("shownName");
        QTest::addColumn<QString>("country");
        QTest::addColumn<QString>("shownUser"); // no comma when no place follows
        QTest::newRow("full name") << QStringLiteral("Dora Builder") << QStringLiteral("Gdańsk") << QStringLiteral("Dora Builder")
                                   << "PL" << "dora, ";
        QTest::newRow("no full name") << QString() << QString() << Dora << "PL" << "dora, ";
        QTest::newRow("markup") << QStringLiteral("<img src=\"file:///dev/zero\">") << QStringLiteral("<b>Oslo</b>")
                                << QStringLiteral("<img src=\"file:///dev/zero\">") << "PL" << "dora, ";
        QTest::newRow("only a city") << QString() << QStringLiteral("Oslo") << Dora << "" << "dora, ";
        QTest::newRow("no place") << QString() << QString() << Dora << "" << "dora";
    }
    void header()
    {
        QFETCH(QString, fullName);
        QFETCH(QString, city);
        QFETCH(QString, shownName);
        QFETCH(QString, country);
        QFETCH(QString, shownUser);
        setContact(Dora, fullName, city, country, "2");
        uiUserProfileView view;
        view.showUser(Dora);
        QCOMPARE(labelText(view, "fullName"), shownName);
        QVERIFY(view.findChild<QLabel *>(QStringLiteral("fullName"))->font().bold());
        QCOMPARE(labelText(view, "username"), shownUser);
        QCOMPARE(labelText(view, "city"), city);
        for (const char *name : {"fullName", "username", "city"})
            QCOMPARE(view.findChild<QLabel *>(QLatin1String(name))->textFormat(), Qt::PlainText);
        QCOMPARE(labelImage(view, "status"), WGraphicsOperations::getStatusImage(2, 16).convertToFormat(QImage::Format_ARGB32));
        if (!country.isEmpty())
            QCOMPARE(labelImage(view, "country"), WGraphicsOperations::getFlagImage(country, 16).convertToFormat(QImage::Format_ARGB32));
        QVERIFY(!labelImage(view, "label").isNull());
    }

    // An edit of the shown contact refreshes the header; another's does not;
    // a user who is no contact changes only who is shown.
    void refreshOnEditsOfShownContact()
    {
        setContact(Dora, QStringLiteral("Dora"), QString(), QString(), "1");
        setContact(Emil, QStringLiteral("Emil"), QString(), QString(), "1");
        uiUserProfileView view;
        view.showUser(Dora);
        setContact(Dora, QStringLiteral("Dora Renamed"), QString(), QString(), "1");
        MainClass::instance()->signalsDispatcher()->contactEdited(Emil);
        QTest::qWait(50);
        QCOMPARE(labelText(view, "fullName"), QStringLiteral("Dora"));
        MainClass::instance()->signalsDispatcher()->contactEdited(Dora);
        QTRY_COMPARE(labelText(view, "fullName"), QStringLiteral("Dora Renamed"));
        view.showUser(QStringLiteral("nobody"));
        QCOMPARE(view.shownUser(), QStringLiteral("nobody"));
        QCOMPARE(labelText(view, "fullName"), QStringLiteral("Dora Renamed"));
    }

    // A picture declaring a huge size is refused before it is decoded: the
    // blank avatar shows instead. A sound one shows.
    void avatarDeclaringHugeSizeIsRefused_data()
    {
        QTest::addColumn<QByteArray>("picture");
        QTest::addColumn<bool>("shown");
        QTest::newRow("12000 x 12000") << pngDeclaring(12000, 12000) << false;
        QTest::newRow("30 x 30") << pngDeclaring(30, 30) << true;
    }
    void avatarDeclaringHugeSizeIsRefused()
    {
        QFETCH(QByteArray, picture);
        QFETCH(bool, shown);
        setContact(Dora, QStringLiteral("Dora"), QString(), QString(), "1");
        setAvatar(Dora, picture);
        uiUserProfileView view;
        view.showUser(Dora);
        const QImage blank = WGraphicsOperations::getAvatarImage(
            QImage(QStringLiteral(":/Wivora/Resources/blankavatar.jpg")), 60).convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(labelImage(view, "label") == blank, !shown);
        setAvatar(Dora, QByteArray());
    }

    // A long name is cut with an ellipsis and whole in the tooltip; the
    // header, and so the main window, stays narrow.
    void longNameIsElided()
    {
        const QString longName = QString(QStringLiteral("Dora Longname ")).repeated(15).left(200);
        setContact(Dora, longName, longName.left(120), QStringLiteral("PL"), "2");
        uiUserProfileView view;
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.showUser(Dora);
        QCoreApplication::processEvents(); // the new texts laid out
        auto *fullName = view.findChild<QLabel *>(QStringLiteral("fullName"));
        QVERIFY(fullName->text().endsWith(QChar(0x2026)));
        QVERIFY(longName.startsWith(fullName->text().chopped(1)));
        QCOMPARE(fullName->toolTip(), longName);
        QCOMPARE(view.findChild<QLabel *>(QStringLiteral("city"))->toolTip(), longName.left(120));
        // The names' bounds and the icons: far from the unbounded name's width.
        QVERIFY2(view.minimumSizeHint().width() <= 800, qPrintable(QString::number(view.minimumSizeHint().width())));
        view.resize(view.minimumSizeHint().width(), view.height());
        QCoreApplication::processEvents();
        QWidget *header = view.findChild<QWidget *>(QStringLiteral("personalInfoFrame"));
        QVERIFY(saveScreenshot(header, 1, QStringLiteral("profile-long-name")));
        QVERIFY(saveScreenshot(header, 2, QStringLiteral("profile-long-name@2x")));

        setContact(Dora, QStringLiteral("Dora"), QString(), QString(), "2");
        view.showUser(Dora);
        QCOMPARE(fullName->text(), QStringLiteral("Dora"));
        QCOMPARE(fullName->toolTip(), QString());
    }

    // The tool bar tells the plug-ins which page shows for whom; selectPage
    // tells nobody and ignores unknown names.
    void pageChoice()
    {
        uiUserProfileView view;
        auto *chat = new QLabel(QStringLiteral("chat page"));
        auto *files = new QLabel(QStringLiteral("files page"));
        view.addUserWidget(QStringLiteral("chat"), QImage(), chat);
        view.addUserWidget(QStringLiteral("files"), QImage(), files);
        view.showUser(Dora);
        const int before = m_probe->property("pageChanges").toStringList().size();
        view.selectPage(QStringLiteral("files"));
        QCOMPARE(view.currentPage(), files);
        view.selectPage(QStringLiteral("unknown"));
        view.selectPage(QString());
        QCOMPARE(view.currentPage(), files);
        QCOMPARE(m_probe->property("pageChanges").toStringList().size(), before);
        view.toolBar()->actions().at(0)->trigger();
        QCOMPARE(view.currentPage(), chat);
        QCOMPARE(m_probe->property("pageChanges").toStringList().mid(before), QStringList{QStringLiteral("dora/chat")});
    }

private:
    WindowFixture m_fixture;
    QObject *m_probe = nullptr;
};

WIVORA_TEST_MAIN(tst_uiUserProfileView)
#include "tst_uiUserProfileView.moc"

// The contact profile view in a real session, with the window-probe plug-in
// told about page changes: the header from the contacts tree, its refresh on
// edits of the shown contact only, and the page choice.

#include "QtTestSuite.h"
#include "SessionPanelFixture.h"
#include "WGraphicsOperations.h"
#include "uiUserProfileView.h"

#include <WDataStructure.h>
#include <WivoraAccount.h>

#include <QAction>
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
        QTest::newRow("full name") << QStringLiteral("Dora Builder") << QStringLiteral("Gdańsk") << QStringLiteral("Dora Builder");
        QTest::newRow("no full name") << QString() << QString() << Dora;
        QTest::newRow("markup") << QStringLiteral("<img src=\"file:///dev/zero\">") << QStringLiteral("<b>Oslo</b>")
                                << QStringLiteral("<img src=\"file:///dev/zero\">");
    }
    void header()
    {
        QFETCH(QString, fullName);
        QFETCH(QString, city);
        QFETCH(QString, shownName);
        setContact(Dora, fullName, city, QStringLiteral("PL"), "2");
        uiUserProfileView view;
        view.showUser(Dora);
        QCOMPARE(labelText(view, "fullName"), shownName);
        QVERIFY(view.findChild<QLabel *>(QStringLiteral("fullName"))->font().bold());
        QCOMPARE(labelText(view, "username"), QStringLiteral("dora, "));
        QCOMPARE(labelText(view, "city"), city);
        for (const char *name : {"fullName", "username", "city"})
            QCOMPARE(view.findChild<QLabel *>(QLatin1String(name))->textFormat(), Qt::PlainText);
        QCOMPARE(labelImage(view, "status"), WGraphicsOperations::getStatusImage(2, 16).convertToFormat(QImage::Format_ARGB32));
        QCOMPARE(labelImage(view, "country"), WGraphicsOperations::getFlagImage(QStringLiteral("PL"), 16).convertToFormat(QImage::Format_ARGB32));
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

// The add-contact window against a real server: what a search shows and
// asks, and what adding the selection writes, tells the server and saves.

#include "QtTestSuite.h"
#include "ContactList.h"
#include "InputDuringWaits.h"
#include "SessionPanelFixture.h"
#include "uiAddUserWindow.h"
#include "uiContacts.h"

#include <TcpConnection.h>
#include <WDataStructure.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <memory>

namespace {

const QString Alice = QStringLiteral("alice");
const QStringList Others = {QStringLiteral("alina"), QStringLiteral("alix"), QStringLiteral("malik")};

QSharedPointer<WivoraAccount> account()
{
    return MainClass::instance()->getAccount();
}

void search(uiAddUserWindow *window, const QString &text)
{
    window->findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(text);
    window->findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
}

QStringList column(const QTreeWidget *tree, int index)
{
    QStringList texts;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        texts << tree->topLevelItem(i)->text(index);
    return texts;
}

} // namespace

class tst_uiAddUserWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_fixture.start(QStringList{Alice} + Others), qPrintable(m_fixture.sessions.server.errorText()));
        QVERIFY(m_fixture.setUpThisProcess());
        for (const QString &user : Others) {
            WDataStructure vcard;
            vcard.sv(QStringLiteral("fullName"), user.toUpper() + QStringLiteral(" <i>Full</i>"));
            vcard.sv(QStringLiteral("city"), QStringLiteral("City of ") + user);
            vcard.sv(QStringLiteral("country"), QStringLiteral("PL"));
            QVERIFY(WServerCommands::updateVCard(vcard.SerializeStructure(), m_fixture.sessions.loggedInLink(user)));
        }
        m_panel.reset(new uiContacts);
        MainClass::instance()->setContactsView(m_panel.get());
        QVERIFY(MainClass::instance()->login(Alice, WindowFixture::passwordOf(Alice)));
    }
    void cleanupTestCase()
    {
        MainClass::instance()->logout();
        MainClass::instance()->setContactsView(nullptr);
        m_panel.reset();
    }

    void search_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QStringList>("users");
        QTest::newRow("two letters ask nothing") << QStringLiteral("al") << 0 << QStringList();
        QTest::newRow("three letters") << QStringLiteral("ali") << 1
                                       << QStringList{Alice, QStringLiteral("alina"), QStringLiteral("alix"), QStringLiteral("malik")};
        QTest::newRow("any case") << QStringLiteral("ALIN") << 1 << QStringList{QStringLiteral("alina")};
    }
    void search()
    {
        QFETCH(QString, text);
        QFETCH(int, requests);
        QFETCH(QStringList, users);
        uiAddUserWindow window;
        const int before = serverRequests(m_fixture, QStringLiteral("FindUser"));
        ::search(&window, text);
        QTRY_COMPARE(serverRequests(m_fixture, QStringLiteral("FindUser")), before + requests);
        QStringList shown = column(window.results(), 0);
        shown.sort();
        QCOMPARE(shown, users);
        for (int i = 0; i < window.results()->topLevelItemCount(); ++i) {
            const QTreeWidgetItem *row = window.results()->topLevelItem(i);
            if (row->text(0) == Alice)
                continue;
            QCOMPARE(row->text(1), row->text(0).toUpper() + QStringLiteral(" <i>Full</i>"));
            QCOMPARE(row->text(2), QStringLiteral("City of ") + row->text(0));
            QVERIFY(!row->icon(0).isNull());
        }
    }

    // Every result selected, the own name among them: three contacts with
    // one vcard child each, three relations, three rows, one save; a second
    // add (by activating one row) replaces and adds nothing.
    void addSelection_data()
    {
        QTest::addColumn<bool>("byActivation");
        QTest::newRow("Add selected") << false;
        QTest::newRow("activating one row again") << true;
    }
    void addSelection()
    {
        QFETCH(bool, byActivation);
        uiAddUserWindow window;
        ::search(&window, QStringLiteral("ali"));
        QCOMPARE(window.results()->topLevelItemCount(), 4);
        window.results()->selectAll();
        const int savesBefore = accountSaves(m_fixture, Alice);
        const int connectsBefore = serverRequests(m_fixture, QStringLiteral("ConnectToUser"));
        if (byActivation)
            emit window.results()->itemActivated(window.results()->topLevelItem(1), 0);
        else
            window.findChild<QPushButton *>(QStringLiteral("pushButton_2"))->click();
        QCOMPARE(window.result(), int(QDialog::Accepted));

        QStringList contacts;
        for (const auto &contact : account()->contactsData->getChildren()) {
            contacts << contact->gv(QStringLiteral("section"));
            int vcards = 0;
            for (const auto &child : contact->getChildren())
                vcards += child->gv(QStringLiteral("section")) == QLatin1String("vcard");
            QCOMPARE(vcards, 1);
            QCOMPARE(contact->gv(QStringLiteral("city")), QStringLiteral("City of ") + contact->gv(QStringLiteral("username")));
        }
        contacts.sort();
        QCOMPARE(contacts, Others);
        QTRY_COMPARE(m_panel->contactList()->topLevelItemCount(), 3);
        QTRY_COMPARE(accountSaves(m_fixture, Alice), savesBefore + 1);
        QCOMPARE(serverRequests(m_fixture, QStringLiteral("ConnectToUser")), connectsBefore + 3);
    }

    void ownNameSkippedInAnyCase()
    {
        account()->setUserName(QStringLiteral("Alice"));
        uiAddUserWindow window;
        ::search(&window, QStringLiteral("alice"));
        window.results()->selectAll();
        const int savesBefore = accountSaves(m_fixture, Alice);
        window.findChild<QPushButton *>(QStringLiteral("pushButton_2"))->click();
        account()->setUserName(Alice);
        QVERIFY(!account()->contactsData->GetStructureByValue(QStringLiteral("section"), Alice));
        QTest::qWait(200);
        QCOMPARE(accountSaves(m_fixture, Alice), savesBefore);
    }

    void cancelWritesNothing()
    {
        uiAddUserWindow window;
        ::search(&window, QStringLiteral("malik"));
        window.results()->selectAll();
        account()->contactsData->DeleteStructure(QStringLiteral("malik"));
        window.findChild<QPushButton *>(QStringLiteral("pushButton_3"))->click();
        QCOMPARE(window.result(), int(QDialog::Rejected));
        QVERIFY(!account()->contactsData->GetStructureByValue(QStringLiteral("section"), QStringLiteral("malik")));
    }

    // A second press while the server is asked does nothing: one request,
    // one set of rows, and the buttons come back afterwards.
    void secondPressWhileWaitingIgnored_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("request");
        QTest::newRow("search") << QStringLiteral("pushButton") << QStringLiteral("FindUser");
        QTest::newRow("add selected") << QStringLiteral("pushButton_2") << QStringLiteral("ConnectToUser");
    }
    void secondPressWhileWaitingIgnored()
    {
        QFETCH(QString, button);
        QFETCH(QString, request);
        bool checked = false;
        // The queued press lands inside the wait unless the server answered
        // before the wait began: then the attempt tells nothing and is made again.
        for (int attempt = 0; attempt < 5 && !checked; ++attempt) {
            uiAddUserWindow window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            auto *searchText = window.findChild<QLineEdit *>(QStringLiteral("lineEdit"));
            QTest::keyClicks(searchText, QStringLiteral("malik"));
            if (button == QLatin1String("pushButton_2")) {
                QTest::keyClick(searchText, Qt::Key_Return);
                QCOMPARE(window.results()->topLevelItemCount(), 1);
                window.results()->selectAll();
            }
            auto *pressed = window.findChild<QPushButton *>(button);
            const int before = serverRequests(m_fixture, request);
            PressAgainWhileBusy again(pressed);
            deliverFromEventLoop([pressed] { QTest::mouseClick(pressed, Qt::LeftButton); });
            if (again.waitEndedFirst)
                continue;
            QVERIFY(again.pressedWhileBusy);
            checked = true;
            // A press that got through would have run inside the first, so
            // both requests were answered, and logged, by now.
            QTRY_COMPARE(serverRequests(m_fixture, request), before + 1);
            if (button == QLatin1String("pushButton")) {
                QCOMPARE(column(window.results(), 0), QStringList{QStringLiteral("malik")});
                QVERIFY(pressed->isEnabled());
                QVERIFY(searchText->isEnabled());
            } else {
                QCOMPARE(window.result(), int(QDialog::Accepted));
            }
        }
        QVERIFY(checked);
    }

private:
    WindowFixture m_fixture;
    std::unique_ptr<uiContacts> m_panel;
};

WIVORA_TEST_MAIN(tst_uiAddUserWindow)
#include "tst_uiAddUserWindow.moc"

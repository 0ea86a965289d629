// The own vCard editor in a real session: what it shows, what a picked
// picture becomes, and what OK stores, sends to the server and tells the
// users who have this user as a contact.

#include "PngBomb.h"
#include "InputDuringWaits.h"
#include "QtTestSuite.h"
#include "SessionPanelFixture.h"
#include "uiPersonalize.h"

#include <MainServerCommands.h>
#include <TcpConnection.h>
#include <WDataStructure.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QBuffer>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString Alice = QStringLiteral("alice");
const QString Bob = QStringLiteral("bob");
const QString Carol = QStringLiteral("carol");

QSharedPointer<WDataStructure> vcard()
{
    return MainClass::instance()->getAccount()->vcardData;
}

void press(uiPersonalize *dialog, const char *button)
{
    dialog->findChild<QPushButton *>(QLatin1String(button))->click();
}

} // namespace

class tst_uiPersonalize : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_fixture.start({Alice, Bob, Carol}, {{Alice, Bob}, {Alice, Carol}}),
                 qPrintable(m_fixture.sessions.server.errorText()));
        QVERIFY(m_fixture.setUpThisProcess());
        QVERIFY(MainClass::instance()->login(Alice, WindowFixture::passwordOf(Alice)));
        QImage wide(1000, 500, QImage::Format_RGB32);
        wide.fill(Qt::darkCyan);
        QVERIFY(wide.save(m_pictures.filePath(QStringLiteral("wide.png"))));
    }
    void cleanupTestCase() { MainClass::instance()->logout(); }

    void showsStoredValues_data()
    {
        QTest::addColumn<QString>("gender");
        QTest::addColumn<QString>("country");
        QTest::addColumn<QString>("genderShown");
        QTest::addColumn<bool>("countryFound");
        QTest::newRow("female, Germany") << QStringLiteral("1") << QStringLiteral("DE") << "Female" << true;
        QTest::newRow("male, Poland") << QStringLiteral("0") << QStringLiteral("PL") << "Male" << true;
        QTest::newRow("not a number, unknown country")
            << QStringLiteral("x") << QStringLiteral("XX") << "Not given" << false;
        QTest::newRow("out of range") << QStringLiteral("7") << QStringLiteral("") << "Not given" << false;
        QTest::newRow("negative") << QStringLiteral("-1") << QStringLiteral("PL") << "Not given" << true;
        QTest::newRow("never set") << QString() << QString() << "Not given" << false;
    }
    void showsStoredValues()
    {
        QFETCH(QString, gender);
        QFETCH(QString, country);
        QFETCH(QString, genderShown);
        QFETCH(bool, countryFound);
        vcard()->sv(QStringLiteral("fullName"), QStringLiteral("Alice <b>A</b>"));
        vcard()->sv(QStringLiteral("city"), QStringLiteral("Kraków"));
        vcard()->sv(QStringLiteral("email"), QStringLiteral("alice@example.org"));
        for (const auto &[key, value] : {std::pair{QStringLiteral("gender"), gender}, std::pair{QStringLiteral("country"), country}}) {
            if (value.isNull())
                vcard()->RemoveKey(key);
            else
                vcard()->sv(key, value);
        }
        uiPersonalize dialog;
        QCOMPARE(dialog.findChild<QLineEdit *>(QStringLiteral("lineEdit_2"))->text(), QStringLiteral("Alice <b>A</b>"));
        QCOMPARE(dialog.findChild<QLineEdit *>(QStringLiteral("lineEdit_3"))->text(), QStringLiteral("Kraków"));
        QCOMPARE(dialog.findChild<QLineEdit *>(QStringLiteral("lineEdit_4"))->text(), QStringLiteral("alice@example.org"));
        auto *genderBox = dialog.findChild<QComboBox *>(QStringLiteral("comboBox"));
        QCOMPARE(genderBox->currentText(), genderShown);
        auto *countryBox = dialog.findChild<QComboBox *>(QStringLiteral("comboBox_2"));
        QVERIFY(countryBox->count() > 100);
        QCOMPARE(countryBox->currentData().toString(), countryFound ? country : QString());
        if (!countryFound)
            QCOMPARE(countryBox->currentText(), QStringLiteral("Not given"));
    }

    // A picked picture is kept at most 140 pixels wide and high, and only on OK.
    void pickedPicture_data()
    {
        QTest::addColumn<bool>("pick");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QSize>("stored");
        QTest::newRow("picked, OK") << true << true << QSize(140, 70);
        QTest::newRow("picked, Cancel") << true << false << QSize(1, 1);
        QTest::newRow("nothing picked, OK") << false << true << QSize(1, 1);
    }
    void pickedPicture()
    {
        QFETCH(bool, pick);
        QFETCH(bool, ok);
        QFETCH(QSize, stored);
        QImage dot(1, 1, QImage::Format_RGB32);
        dot.fill(Qt::red);
        QByteArray dotPng;
        QBuffer buffer(&dotPng);
        buffer.open(QIODevice::WriteOnly);
        dot.save(&buffer, "PNG");
        vcard()->SetValue(QStringLiteral("avatar"), dotPng);
        uiPersonalize dialog;
        if (pick)
            dialog.pickPicture(m_pictures.filePath(QStringLiteral("wide.png")));
        press(&dialog, ok ? "pushButton_2" : "pushButton_3");
        const QByteArray avatar = vcard()->GetValue(QStringLiteral("avatar"));
        QVERIFY(avatar.startsWith("\x89PNG"));
        QCOMPARE(QImage::fromData(avatar).size(), stored);
    }

    // The stored picture comes back from the server: one that declares a
    // huge size is not decoded and shows as no picture at all.
    void storedPictureBombShowsBlank()
    {
        const auto shownPicture = [] {
            uiPersonalize dialog;
            return dialog.findChild<QLabel *>(QStringLiteral("label"))->pixmap()->toImage();
        };
        vcard()->SetValue(QStringLiteral("avatar"), QByteArray());
        const QImage blank = shownPicture();
        QVERIFY(!blank.isNull());
        vcard()->SetValue(QStringLiteral("avatar"), pngDeclaring(12000, 12000));
        QCOMPARE(shownPicture(), blank);
    }

    // OK: the account, the server's vCard, one notice per user who has
    // alice as a contact, all with the same ID.
    void okTellsServerAndContacts()
    {
        const auto bobLink = m_fixture.sessions.loggedInLink(Bob);
        const auto carolLink = m_fixture.sessions.loggedInLink(Carol);
        // Notices go to the users who are online.
        QVERIFY(WServerCommands::UpdateUserStatus(1, bobLink));
        QVERIFY(WServerCommands::UpdateUserStatus(1, carolLink));
        QCOMPARE(WServerCommands::GetConnectedUsers(MainClass::instance()->getServerConnection()),
                 (QStringList{Bob, Carol}));
        const int savesBefore = accountSaves(m_fixture, Alice);
        uiPersonalize dialog;
        dialog.findChild<QLineEdit *>(QStringLiteral("lineEdit_2"))->setText(QStringLiteral("Alice Liddell"));
        auto *gender = dialog.findChild<QComboBox *>(QStringLiteral("comboBox"));
        gender->setCurrentIndex(gender->findText(QStringLiteral("Female")));
        dialog.pickPicture(m_pictures.filePath(QStringLiteral("wide.png")));
        press(&dialog, "pushButton_2");
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(vcard()->gv(QStringLiteral("fullName")), QStringLiteral("Alice Liddell"));
        QCOMPARE(vcard()->gv(QStringLiteral("gender")), QStringLiteral("1"));
        QTRY_COMPARE(accountSaves(m_fixture, Alice), savesBefore + 1);
        const QSharedPointer<WDataStructure> onServer = MainServerCommands::getUserVCard(Alice);
        QVERIFY(onServer);
        QCOMPARE(onServer->gv(QStringLiteral("fullName")), QStringLiteral("Alice Liddell"));
        QCOMPARE(QImage::fromData(onServer->GetValue(QStringLiteral("avatar"))).size(), QSize(140, 70));

        QStringList ids;
        for (const auto &link : {bobLink, carolLink}) {
            // Taking a record removes it: polled by hand, not by a macro that asks twice.
            KvrConfig notice;
            const QDeadlineTimer deadline(20000);
            while ((notice = WServerCommands::getExchangeCommand(link)).GetID().isEmpty() && !deadline.hasExpired())
                QTest::qWait(50);
            QCOMPARE(notice.gv(QStringLiteral("command")), QStringLiteral("Local::vcardupdate"));
            QCOMPARE(notice.gv(QStringLiteral("username")), Alice);
            ids << notice.GetID();
            QVERIFY(WServerCommands::getExchangeCommand(link).GetID().isEmpty());
        }
        QCOMPARE(ids.at(0), ids.at(1));
    }

    // A path typed into the avatar field counts like one browsed to; one
    // that gives no picture is refused with a message and the dialog stays.
    void typedAvatarPath_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("a picture") << QStringLiteral("wide.png") << true;
        QTest::newRow("no such file") << QStringLiteral("missing.png") << false;
        QTest::newRow("not a picture") << QStringLiteral("notes.txt") << false;
    }
    void typedAvatarPath()
    {
        QFETCH(QString, file);
        QFETCH(bool, accepted);
        QFile text(m_pictures.filePath(QStringLiteral("notes.txt")));
        QVERIFY(text.open(QIODevice::WriteOnly) && text.write("no picture") > 0);
        text.close();
        vcard()->SetValue(QStringLiteral("avatar"), QByteArray());
        uiPersonalize dialog;
        dialog.show();
        QTest::keyClicks(dialog.findChild<QLineEdit *>(QStringLiteral("lineEdit")), m_pictures.filePath(file));
        QString told;
        QTimer answer;
        answer.callOnTimeout([&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                told = box->text();
                box->button(QMessageBox::Ok)->click();
            }
        });
        answer.start(10);
        QTest::mouseClick(dialog.findChild<QPushButton *>(QStringLiteral("pushButton_2")), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(accepted ? QDialog::Accepted : QDialog::Rejected));
        QCOMPARE(dialog.isVisible(), !accepted);
        if (accepted) {
            QVERIFY(told.isEmpty());
            QCOMPARE(QImage::fromData(vcard()->GetValue(QStringLiteral("avatar"))).size(), QSize(140, 70));
        } else {
            QVERIFY2(told.contains(m_pictures.filePath(file)) && told.contains(QLatin1String("PNG, JPEG or XPM")),
                     qPrintable(told));
            QVERIFY(vcard()->GetValue(QStringLiteral("avatar")).isEmpty());
        }
    }

    // A profile never filled in publishes no gender and no country, neither
    // in the account nor on the server.
    void unsetFieldsArePublishedAsNothing()
    {
        vcard()->RemoveKey(QStringLiteral("gender"));
        vcard()->RemoveKey(QStringLiteral("country"));
        uiPersonalize dialog;
        QCOMPARE(dialog.findChild<QComboBox *>(QStringLiteral("comboBox"))->currentText(), QStringLiteral("Not given"));
        QCOMPARE(dialog.findChild<QComboBox *>(QStringLiteral("comboBox_2"))->currentText(), QStringLiteral("Not given"));
        press(&dialog, "pushButton_2");
        QVERIFY(!vcard()->CheckKeyExist(QStringLiteral("gender")));
        QVERIFY(!vcard()->CheckKeyExist(QStringLiteral("country")));
        const QSharedPointer<WDataStructure> onServer = MainServerCommands::getUserVCard(Alice);
        QVERIFY(onServer);
        QVERIFY(!onServer->CheckKeyExist(QStringLiteral("gender")));
        QVERIFY(!onServer->CheckKeyExist(QStringLiteral("country")));
    }

    // A second press of OK (or Cancel) while the server is told does
    // nothing: one vCard sent, the dialog accepted.
    void secondPressWhileWaitingIgnored()
    {
        bool checked = false;
        // The queued press lands inside a wait unless the server answered
        // before the wait began: then the attempt tells nothing and is made again.
        for (int attempt = 0; attempt < 5 && !checked; ++attempt) {
            uiPersonalize dialog;
            dialog.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dialog));
            auto *ok = dialog.findChild<QPushButton *>(QStringLiteral("pushButton_2"));
            const int before = serverRequests(m_fixture, QStringLiteral("UpdateVCard"));
            PressAgainWhileBusy again(ok);
            deliverFromEventLoop([ok] { QTest::mouseClick(ok, Qt::LeftButton); });
            if (again.waitEndedFirst)
                continue;
            QVERIFY(again.pressedWhileBusy);
            checked = true;
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
            // A press that got through would have run inside the first, so
            // both requests were answered, and logged, by now.
            QTRY_COMPARE(serverRequests(m_fixture, QStringLiteral("UpdateVCard")), before + 1);
        }
        QVERIFY(checked);
    }

private:
    WindowFixture m_fixture;
    QTemporaryDir m_pictures;
};

WIVORA_TEST_MAIN(tst_uiPersonalize)
#include "tst_uiPersonalize.moc"

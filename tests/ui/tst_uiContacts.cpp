// The contacts panel in a real session: rows, their order and painting, the
// calls that come from worker threads, the own header, deleting contacts and
// the accept-new-user question.

#include "QtTestSuite.h"
#include "PngBomb.h"
#include "ContactList.h"
#include "QContactItemDelegate.h"
#include "SessionPanelFixture.h"
#include "WCommonOperations.h"
#include "WGraphicsOperations.h"
#include "uiContacts.h"

#include <PSettings.h>
#include <TcpConnection.h>
#include <WDataStructure.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QTest>
#include <QtConcurrent>

#include <memory>

namespace {

const QString Alice = QStringLiteral("alice");

QSharedPointer<WivoraAccount> account()
{
    return MainClass::instance()->getAccount();
}

QStringList rowTexts(const ContactList *list)
{
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        texts << list->topLevelItem(i)->text(0);
    return texts;
}

QTreeWidgetItem *rowOf(const ContactList *list, const QString &user)
{
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (list->topLevelItem(i)->data(0, ContactList::UserRole).toString() == user)
            return list->topLevelItem(i);
    }
    return nullptr;
}

int vcardChildren(const QString &user)
{
    const auto contact = account()->contactsData->GetStructureByValue(QStringLiteral("section"), user);
    int count = 0;
    if (contact) {
        for (const auto &child : contact->getChildren())
            count += child->gv(QStringLiteral("section")) == QLatin1String("vcard");
    }
    return count;
}

} // namespace

class tst_uiContacts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_fixture.start({Alice, QStringLiteral("bob"), QStringLiteral("carol"), QStringLiteral("dave"),
                                  QStringLiteral("erin"), QStringLiteral("stranger")},
                                 {{Alice, QStringLiteral("bob")}, {Alice, QStringLiteral("carol")},
                                  {Alice, QStringLiteral("dave")}, {Alice, QStringLiteral("erin")}}),
                 qPrintable(m_fixture.sessions.server.errorText()));
        QVERIFY(m_fixture.setUpThisProcess());
        WDataStructure vcard;
        vcard.sv(QStringLiteral("fullName"), QStringLiteral("Stranger S."));
        vcard.sv(QStringLiteral("city"), QStringLiteral("Oslo"));
        QVERIFY(WServerCommands::updateVCard(vcard.SerializeStructure(),
                                             m_fixture.sessions.loggedInLink(QStringLiteral("stranger"))));
        m_panel.reset(new uiContacts);
        MainClass::instance()->setContactsView(m_panel.get());
        m_panel->resize(180, 300);
        m_panel->show();
        QVERIFY(MainClass::instance()->login(Alice, WindowFixture::passwordOf(Alice)));
        m_panel->slotUserLoggedIn();
        QTRY_COMPARE(m_panel->contactList()->topLevelItemCount(), 4);
    }
    void cleanupTestCase()
    {
        MainClass::instance()->logout();
        MainClass::instance()->setContactsView(nullptr);
        m_panel.reset();
    }

    // Sorted on "0" + status + name, descending: 3, 2, 1, 0, names backwards.
    void rowsSortedByStatusThenName()
    {
        const QMap<QString, QByteArray> statuses = {{QStringLiteral("bob"), "1"},
                                                    {QStringLiteral("carol"), "3"},
                                                    {QStringLiteral("dave"), "1"},
                                                    {QStringLiteral("erin"), ""}};
        const QStringList sorted{QStringLiteral("03carol"), QStringLiteral("01dave"), QStringLiteral("01bob"),
                                 QStringLiteral("00erin")};
        // The session's own refresh of the statuses after login may land on a
        // slow machine after these are set: set them again until they hold.
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                     for (auto status = statuses.cbegin(); status != statuses.cend(); ++status)
                                         account()->contactsData->setSetting(status.key() + QStringLiteral("/status"),
                                                                             status.value());
                                     m_panel->reloadContacts();
                                     QTest::qWait(100);
                                     return rowTexts(m_panel->contactList()) == sorted;
                                 }()),
                                 20000);
        // An edit of one contact moves its row.
        account()->contactsData->setSetting(QStringLiteral("erin/status"), "2");
        MainClass::instance()->signalsDispatcher()->contactEdited(QStringLiteral("erin"));
        QTRY_COMPARE(rowTexts(m_panel->contactList()).value(1), QStringLiteral("02erin"));
        // A second report of a known contact adds no row.
        m_panel->slotNewContactAdded(QStringLiteral("bob"));
        QCOMPARE(m_panel->contactList()->topLevelItemCount(), 4);
        QCOMPARE(m_panel->contactList()->sizeHintForRow(0), QContactItemDelegate::RowHeight);
    }

    // Many calls from pool threads: each lands on the GUI thread, the last
    // one made is the one shown.
    void progressFromWorkerThreadsInOrder()
    {
        QtConcurrent::run([this] {
            for (int percent = 0; percent <= 100; ++percent) {
                m_panel->setContactSendProgress(QStringLiteral("bob"), percent);
                m_panel->setContactReceiveProgress(QStringLiteral("bob"), 100 - percent);
                m_panel->refreshContactItem(QStringLiteral("bob"));
            }
            m_panel->setContactSendProgress(QStringLiteral("bob"), 7);
        }).waitForFinished();
        QTreeWidgetItem *bob = rowOf(m_panel->contactList(), QStringLiteral("bob"));
        QTRY_COMPARE(bob->data(0, ContactList::SendProgressRole).toInt(), 7);
        QCOMPARE(bob->data(0, ContactList::ReceiveProgressRole).toInt(), 0);
        QVERIFY(!bob->data(0, ContactList::RefreshRole).toString().isEmpty());
    }

    void selectionReadFromWorkerThread()
    {
        ContactList *list = m_panel->contactList();
        list->clearSelection();
        rowOf(list, QStringLiteral("bob"))->setSelected(true);
        rowOf(list, QStringLiteral("dave"))->setSelected(true);
        QFuture<QStringList> selected = QtConcurrent::run([this] { return m_panel->getSelectedContacts(); });
        while (!selected.isFinished())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QStringList names = selected.result();
        names.sort();
        QCOMPARE(names, (QStringList{QStringLiteral("bob"), QStringLiteral("dave")}));
        list->clearSelection();
    }

    // The arrow fills from its bottom with dark blue up to the share given.
    void progressArrows_data()
    {
        QTest::addColumn<int>("role");
        QTest::addColumn<int>("percent");
        QTest::addColumn<int>("arrowRight");
        QTest::addColumn<double>("lowestShare");
        QTest::addColumn<double>("highestShare");
        QTest::newRow("send 100") << int(ContactList::SendProgressRole) << 100 << 16 << 0.95 << 1.0;
        QTest::newRow("send 50") << int(ContactList::SendProgressRole) << 50 << 16 << 0.3 << 0.7;
        QTest::newRow("send none") << int(ContactList::SendProgressRole) << -1 << 16 << 0.0 << 0.0;
        QTest::newRow("receive 100") << int(ContactList::ReceiveProgressRole) << 100 << 32 << 0.95 << 1.0;
        QTest::newRow("receive 50") << int(ContactList::ReceiveProgressRole) << 50 << 32 << 0.3 << 0.7;
        QTest::newRow("receive none") << int(ContactList::ReceiveProgressRole) << -1 << 32 << 0.0 << 0.0;
    }
    void progressArrows()
    {
        QFETCH(int, role);
        QFETCH(int, percent);
        QFETCH(int, arrowRight);
        QFETCH(double, lowestShare);
        QFETCH(double, highestShare);
        ContactList *list = m_panel->contactList();
        QTreeWidgetItem *bob = rowOf(list, QStringLiteral("bob"));
        bob->setData(0, ContactList::SendProgressRole, -1);
        bob->setData(0, ContactList::ReceiveProgressRole, -1);
        bob->setData(0, role, percent);
        const QRect row = list->visualItemRect(bob);
        const QImage picture = list->viewport()->grab(QRect(row.width() - arrowRight, row.top() + 3, 15, 15)).toImage();
        const QImage fullArrow = QImage(role == ContactList::SendProgressRole ? QStringLiteral(":/Wivora/Resources/Arrow-Up.bmp")
                                                                              : QStringLiteral(":/Wivora/Resources/Arrow-Down.bmp"));
        int arrowPixels = 0;
        int blue = 0;
        for (int y = 0; y < 15; ++y) {
            for (int x = 0; x < 15; ++x) {
                if (fullArrow.pixelColor(x, y).lightness() < 128)
                    ++arrowPixels;
                const QColor colour = picture.pixelColor(x, y);
                blue += colour.blue() > 90 && colour.red() < 40 && colour.green() < 40;
            }
        }
        QVERIFY(arrowPixels > 20);
        const double share = double(blue) / arrowPixels;
        QVERIFY2(share >= lowestShare && share <= highestShare, qPrintable(QString::number(share)));
        bob->setData(0, role, -1);
    }

    void unknownUserRowIsBlank()
    {
        ContactList *list = m_panel->contactList();
        auto *ghost = new QTreeWidgetItem;
        ghost->setText(0, QStringLiteral("00zz"));
        ghost->setData(0, ContactList::UserRole, QStringLiteral("nobody-here"));
        ghost->setData(0, ContactList::SendProgressRole, 100);
        list->addTopLevelItem(ghost);
        const QImage row = list->viewport()->grab(list->visualItemRect(ghost)).toImage();
        const QColor background = row.pixelColor(0, 0);
        bool blank = true;
        for (int y = 0; y < row.height() && blank; ++y) {
            for (int x = 0; x < row.width() && blank; ++x)
                blank = row.pixelColor(x, y) == background;
        }
        delete ghost;
        QVERIFY(blank);
    }

    void dropAcceptedChangesNothing()
    {
        ContactList *list = m_panel->contactList();
        const QStringList before = rowTexts(list);
        const QString accountBefore = account()->contactsData->SerializeStructure();
        QMimeData files;
        files.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/a file.txt"))});
        const QPoint at = list->visualItemRect(list->topLevelItem(0)).center();
        QDragEnterEvent enter(at, Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list->viewport(), &enter);
        QVERIFY(enter.isAccepted());
        QDragMoveEvent move(at, Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list->viewport(), &move);
        QVERIFY(move.isAccepted());
        QDropEvent drop(at, Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list->viewport(), &drop);
        QVERIFY(drop.isAccepted());
        QCOMPARE(rowTexts(list), before);
        QCOMPARE(account()->contactsData->SerializeStructure(), accountBefore);
    }

    // The header shows the own name (full name first), status and avatar, and
    // follows changes; a name with markup shows as typed.
    void ownHeaderFollowsChanges()
    {
        auto *name = m_panel->findChild<QLabel *>(QStringLiteral("label"));
        auto *status = m_panel->findChild<QLabel *>(QStringLiteral("label_4"));
        auto *avatar = m_panel->findChild<QLabel *>(QStringLiteral("label_2"));
        QCOMPARE(name->text(), Alice);
        QVERIFY(!avatar->pixmap(Qt::ReturnByValue).isNull());
        WCommonOperations::setUserStatus(2);
        QTRY_COMPARE(status->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_ARGB32), WGraphicsOperations::getStatusImage(2, 17).convertToFormat(QImage::Format_ARGB32));
        account()->vcardData->sv(QStringLiteral("fullName"), QStringLiteral("<b>Alice</b> A."));
        MainClass::instance()->signalsDispatcher()->personalDataChanged();
        QTRY_COMPARE(name->text(), QStringLiteral("<b>Alice</b> A."));
        QCOMPARE(name->textFormat(), Qt::PlainText);
        account()->vcardData->sv(QStringLiteral("fullName"), QString());
        MainClass::instance()->signalsDispatcher()->personalDataChanged();
        QTRY_COMPARE(name->text(), Alice);

        // A picture declaring a huge size is refused before decoding: the
        // blank avatar shows again after a sound one.
        const auto shown = [&] { return avatar->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_ARGB32); };
        const QImage blank = shown();
        account()->vcardData->SetValue(QStringLiteral("avatar"), pngDeclaring(30, 30));
        MainClass::instance()->signalsDispatcher()->personalDataChanged();
        QTRY_VERIFY(shown() != blank);
        account()->vcardData->SetValue(QStringLiteral("avatar"), pngDeclaring(12000, 12000));
        MainClass::instance()->signalsDispatcher()->personalDataChanged();
        QTRY_COMPARE(shown(), blank);
        account()->vcardData->SetValue(QStringLiteral("avatar"), QByteArray());
    }

    void deleteContacts_data()
    {
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QStringList>("remaining");
        const QStringList all = {QStringLiteral("bob"), QStringLiteral("carol"), QStringLiteral("dave"), QStringLiteral("erin")};
        QTest::newRow("nothing selected") << QStringList() << int(QMessageBox::NoButton) << all;
        QTest::newRow("cancelled") << QStringList{QStringLiteral("bob")} << int(QMessageBox::Cancel) << all;
        QTest::newRow("three deleted") << QStringList{QStringLiteral("bob"), QStringLiteral("carol"), QStringLiteral("erin")}
                                       << int(QMessageBox::Ok) << QStringList{QStringLiteral("dave")};
    }
    void deleteContacts()
    {
        QFETCH(QStringList, selected);
        QFETCH(int, answer);
        QFETCH(QStringList, remaining);
        ContactList *list = m_panel->contactList();
        list->clearSelection();
        for (const QString &user : selected)
            rowOf(list, user)->setSelected(true);
        const int savesBefore = accountSaves(m_fixture, Alice);
        QStringList deleted;
        connect(MainClass::instance()->signalsDispatcher(), &WSignalsDispatcher::signalContactDeleted, this,
                [&deleted](const QString &user) { deleted << user; });
        bool asked = false;
        QObject scope;
        answerModal<QMessageBox>(&scope, [&](QMessageBox *box) {
            asked = true;
            QCOMPARE(box->text(), QStringLiteral("Do you want to delete contacts?"));
            box->button(QMessageBox::StandardButton(answer))->click();
        });
        m_panel->findChild<QAction *>(QStringLiteral("actionDelete_Contact"))->trigger();
        disconnect(MainClass::instance()->signalsDispatcher(), &WSignalsDispatcher::signalContactDeleted, this, nullptr);
        QCOMPARE(asked, answer != QMessageBox::NoButton);
        QStringList rows;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            rows << list->topLevelItem(i)->data(0, ContactList::UserRole).toString();
        rows.sort();
        QCOMPARE(rows, remaining);
        QStringList inAccount;
        for (const auto &contact : account()->contactsData->getChildren())
            inAccount << contact->gv(QStringLiteral("section"));
        inAccount.sort();
        QCOMPARE(inAccount, remaining);
        deleted.sort();
        QCOMPARE(deleted, answer == QMessageBox::Ok ? selected : QStringList());
        QTRY_COMPARE(accountSaves(m_fixture, Alice), savesBefore + (answer == QMessageBox::Ok ? 1 : 0));
    }

    // A stranger asks (from a worker thread, as plug-ins do); Yes adds the
    // contact once with one vcard child, also asked twice and also when the
    // server has no vCard for the user; No changes nothing.
    void acceptQuestion_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("no") << QStringLiteral("stranger") << int(QMessageBox::No) << false;
        QTest::newRow("yes") << QStringLiteral("stranger") << int(QMessageBox::Yes) << true;
        QTest::newRow("yes again") << QStringLiteral("stranger") << int(QMessageBox::Yes) << true;
        QTest::newRow("yes, no vCard anywhere") << QStringLiteral("unknown-user") << int(QMessageBox::Yes) << true;
    }
    void acceptQuestion()
    {
        QFETCH(QString, user);
        QFETCH(int, answer);
        QFETCH(bool, accepted);
        const QString accountBefore = account()->contactsData->SerializeStructure();
        const int savesBefore = accountSaves(m_fixture, Alice);
        QString question;
        answerModal<QMessageBox>(this, [&](QMessageBox *box) {
            question = box->text();
            QCOMPARE(box->textFormat(), Qt::PlainText);
            box->button(QMessageBox::StandardButton(answer))->click();
        });
        QFuture<bool> result = QtConcurrent::run([user] { return MainClass::instance()->signalsDispatcher()->acceptNewUser(user); });
        while (!result.isFinished())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCOMPARE(result.result(), accepted);
        QCOMPARE(question, QStringLiteral("User %1 wants to send you message. Do you want to accept this request?").arg(user));
        if (!accepted) {
            QCOMPARE(account()->contactsData->SerializeStructure(), accountBefore);
            QCOMPARE(rowOf(m_panel->contactList(), user), nullptr);
            return;
        }
        QVERIFY(rowOf(m_panel->contactList(), user));
        int rows = 0;
        for (int i = 0; i < m_panel->contactList()->topLevelItemCount(); ++i)
            rows += m_panel->contactList()->topLevelItem(i)->data(0, ContactList::UserRole).toString() == user;
        QCOMPARE(rows, 1);
        QCOMPARE(account()->contactsData->getSetting(user + QStringLiteral("/username")), user.toLatin1());
        const bool hasVCard = user != QLatin1String("unknown-user");
        QCOMPARE(vcardChildren(user), hasVCard ? 1 : 0);
        QCOMPARE(account()->contactsData->getSetting(user + QStringLiteral("/fullName")),
                 hasVCard ? QByteArray("Stranger S.") : QByteArray());
        QTRY_COMPARE(accountSaves(m_fixture, Alice), savesBefore + 1);
    }

private:
    WindowFixture m_fixture;
    std::unique_ptr<uiContacts> m_panel;
};

WIVORA_TEST_MAIN(tst_uiContacts)
#include "tst_uiContacts.moc"

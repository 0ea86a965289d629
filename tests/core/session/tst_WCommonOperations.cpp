// The common account operations against a real wivora-server: status, saves
// of the account (file and server copy), password change, host information
// and the country list.

#include "FileBytes.h"
#include "QtTestSuite.h"
#include "ClientSessionFixture.h"
#include "WCommonOperations.h"
#include "WSignalsDispatcher.h"

#include <MainServerCommands.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QtConcurrent>
#include <QtTest>

namespace {

const QString Alice = QStringLiteral("alice");

QString accountFile(const QString &user)
{
    return SessionState::userFolder(user) + QStringLiteral("/account.acc");
}

// The account a saved text opens to with password; null when it does not open.
QSharedPointer<WivoraAccount> opened(const QByteArray &text, const QString &password)
{
    auto account = QSharedPointer<WivoraAccount>::create();
    return account->openAccount(QString::fromLatin1(text), password, true) ? account
                                                                          : QSharedPointer<WivoraAccount>();
}

} // namespace

class tst_WCommonOperations : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void setUserStatusStoresTellsAndSaves_data();
    void setUserStatusStoresTellsAndSaves();
    void saveLeavesExactlyTheNewText_data();
    void saveLeavesExactlyTheNewText();
    void concurrentSavesLeaveOneWholeText();
    void refusedServerSaveKeepsTheSaveTime();
    void refusedPasswordChangeChangesNothing();
    void acceptedPasswordChangeOpensTheNextLogin();
    void hostInformationCarriesTheListeningPort_data();
    void hostInformationCarriesTheListeningPort();
    void countryBoxHoldsTheTable_data();
    void countryBoxHoldsTheTable();

private:
    ClientSessionFixture m_fixture;
    SessionState m_session;
    WSignalsDispatcher m_dispatcher{nullptr};
};

void tst_WCommonOperations::initTestCase()
{
    QVERIFY2(m_fixture.start({Alice, QStringLiteral("bob")}), qPrintable(m_fixture.server.errorText()));
    WCommonOperations::setContext(&m_session, &m_dispatcher);
}

void tst_WCommonOperations::init()
{
    QVERIFY(m_fixture.logIn(m_session, Alice));
}

void tst_WCommonOperations::cleanupTestCase()
{
    WCommonOperations::setContext(nullptr, nullptr);
}

void tst_WCommonOperations::setUserStatusStoresTellsAndSaves_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("away") << 2;
    QTest::newRow("do not disturb") << 3;
    QTest::newRow("invisible") << 0;
}

void tst_WCommonOperations::setUserStatusStoresTellsAndSaves()
{
    QFETCH(int, status);
    const QByteArray statusText = QByteArray::number(status);
    QSignalSpy told(&m_dispatcher, &WSignalsDispatcher::signalUserStatusChanged);

    WCommonOperations::setUserStatus(status);

    const QSharedPointer<WivoraAccount> account = m_session.account();
    QCOMPARE(account->settingsData->getSetting(QStringLiteral("settings/common/userStatus")), statusText);
    QCOMPARE(account->getStatus(), status);
    QCOMPARE(told.count(), 1);
    QCOMPARE(told.at(0).at(0).toInt(), status);
    QCOMPARE(MainServerCommands::getUserStatus(Alice).GetValue(QStringLiteral("user::alice")), statusText);

    // Both copies of the account hold the new status.
    const auto local = opened(readBytes(accountFile(Alice)), ClientSessionFixture::passwordOf(Alice));
    QVERIFY(local);
    QCOMPARE(local->settingsData->getSetting(QStringLiteral("settings/common/userStatus")), statusText);
    const auto remote = opened(WServerCommands::getAccount(m_session.serverLink()).toLatin1(),
                               ClientSessionFixture::passwordOf(Alice));
    QVERIFY(remote);
    QCOMPARE(remote->settingsData->getSetting(QStringLiteral("settings/common/userStatus")), statusText);

    // The save time is the one the server reports, kept for this user.
    const QDateTime serverTime = WServerCommands::getLastAccountSaveTime(m_session.serverLink());
    QVERIFY(serverTime.isValid());
    QCOMPARE(WCommonOperations::lastAccountSaveTime(Alice), serverTime);
    QVERIFY(!WCommonOperations::lastAccountSaveTime(QStringLiteral("bob")).isValid());
}

void tst_WCommonOperations::saveLeavesExactlyTheNewText_data()
{
    QTest::addColumn<QString>("userName");
    QTest::addColumn<QByteArray>("oldContent");
    QTest::newRow("no folder yet") << Alice << QByteArray();
    QTest::newRow("longer old file") << Alice << QByteArray(256 * 1024, 'x');
    QTest::newRow("name in mixed case") << QStringLiteral("Alice") << QByteArray(64 * 1024, 'x');
}

void tst_WCommonOperations::saveLeavesExactlyTheNewText()
{
    QFETCH(QString, userName);
    QFETCH(QByteArray, oldContent);
    QDir(PSettings::GetStoragePath(QStringLiteral("pluginsstorage"))).removeRecursively();
    if (!oldContent.isEmpty()) {
        QVERIFY(QDir().mkpath(SessionState::userFolder(Alice)));
        QFile old(accountFile(Alice));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(oldContent);
    }
    m_session.account()->setUserName(userName);
    m_session.account()->settingsData->setSetting(QStringLiteral("settings/marker"), "kept", true);

    QVERIFY(WCommonOperations::saveAccount(false));

    const QByteArray written = readBytes(accountFile(Alice));
    // Texts of one account differ only in their random parts, not in length.
    QCOMPARE(written.size(), m_session.account()->saveAccount().size());
    const auto account = opened(written, ClientSessionFixture::passwordOf(Alice));
    QVERIFY(account);
    QCOMPARE(account->settingsData->getSetting(QStringLiteral("settings/marker")), QByteArray("kept"));
    // One folder per user, whatever the case of the name.
    QCOMPARE(QDir(PSettings::GetStoragePath(QStringLiteral("pluginsstorage")))
                 .entryList(QDir::Dirs | QDir::NoDotAndDotDot),
             QStringList{Alice});
    // The reconnect password stays in memory.
    QVERIFY(!account->CheckKeyExist(QStringLiteral("tempPassword")));
}

void tst_WCommonOperations::concurrentSavesLeaveOneWholeText()
{
    const QSharedPointer<WivoraAccount> account = m_session.account();
    QList<int> rounds;
    for (int i = 0; i < 8; ++i)
        rounds << i;
    QtConcurrent::blockingMap(rounds, [&](int round) {
        account->settingsData->setSetting(QStringLiteral("settings/round%1").arg(round), QByteArray(4096, 'r'), true);
        WCommonOperations::saveAccount(false);
    });

    // The last save took its text after every change: the file has them all.
    const auto saved = opened(readBytes(accountFile(Alice)), ClientSessionFixture::passwordOf(Alice));
    QVERIFY(saved);
    for (int round : rounds)
        QCOMPARE(saved->settingsData->getSetting(QStringLiteral("settings/round%1").arg(round)).size(), 4096);
}

void tst_WCommonOperations::refusedServerSaveKeepsTheSaveTime()
{
    const QDateTime known(QDate(2020, 1, 2), QTime(3, 4, 5), Qt::UTC);
    PSettings::SetValue(QStringLiteral("lastAccountSaveTime/alice"), known);
    QFile::remove(accountFile(Alice));
    // A link that is connected but not logged in: the server refuses the save.
    QVERIFY(m_fixture.connect(m_session.serverLink()));

    QVERIFY(!WCommonOperations::saveAccount(true));

    QCOMPARE(WCommonOperations::lastAccountSaveTime(Alice), known);
    QVERIFY(opened(readBytes(accountFile(Alice)), ClientSessionFixture::passwordOf(Alice)));
}

void tst_WCommonOperations::refusedPasswordChangeChangesNothing()
{
    const QString oldPassword = ClientSessionFixture::passwordOf(Alice);
    QVERIFY(WCommonOperations::saveAccount(false));
    const QByteArray fileBefore = readBytes(accountFile(Alice));
    QVERIFY(m_fixture.connect(m_session.serverLink())); // not logged in: the server refuses

    QVERIFY(!WCommonOperations::changePassword(QStringLiteral("new-password")));

    QCOMPARE(m_session.account()->getPassword(), oldPassword.toUtf8());
    QCOMPARE(m_session.account()->gv(QStringLiteral("tempPassword")), oldPassword);
    QCOMPARE(readBytes(accountFile(Alice)), fileBefore);
    QVERIFY(m_fixture.loggedInLink(Alice));
}

void tst_WCommonOperations::acceptedPasswordChangeOpensTheNextLogin()
{
    const QString newPassword = QStringLiteral("n\u00e9w p\u00e4ssword");

    QVERIFY(WCommonOperations::changePassword(newPassword));

    QCOMPARE(m_session.account()->getPassword(), newPassword.toUtf8());
    QCOMPARE(m_session.account()->gv(QStringLiteral("tempPassword")), newPassword);
    QVERIFY(opened(readBytes(accountFile(Alice)), newPassword));
    QVERIFY(opened(WServerCommands::getAccount(m_session.serverLink()).toLatin1(), newPassword));
    auto link = QSharedPointer<TcpConnection>::create();
    QVERIFY(!m_fixture.connect(link, Alice, ClientSessionFixture::passwordOf(Alice)));
    QVERIFY(m_fixture.connect(link, Alice, newPassword));

    // Back to the fixture's password for the other tests.
    QVERIFY(m_fixture.connect(m_session.serverLink(), Alice, newPassword));
    QVERIFY(WCommonOperations::changePassword(ClientSessionFixture::passwordOf(Alice)));
}

void tst_WCommonOperations::hostInformationCarriesTheListeningPort_data()
{
    QTest::addColumn<QByteArray>("setting"); // null: absent
    QTest::addColumn<int>("listeningOn");     // the port the session listens on; 0: none
    QTest::addColumn<QString>("expectedPort");
    QTest::newRow("absent") << QByteArray() << 0 << "1500";
    QTest::newRow("zero") << QByteArray("0") << 0 << "1500";
    QTest::newRow("not a number") << QByteArray("port") << 0 << "1500";
    QTest::newRow("beyond the port range") << QByteArray("70000") << 0 << "1500";
    QTest::newRow("set") << QByteArray("2500") << 0 << "2500";
    QTest::newRow("set, but listening elsewhere (it was taken)") << QByteArray("2500") << 41234 << "41234";
}

void tst_WCommonOperations::hostInformationCarriesTheListeningPort()
{
    QFETCH(QByteArray, setting);
    QFETCH(int, listeningOn);
    QFETCH(QString, expectedPort);
    if (!setting.isNull())
        m_session.account()->settingsData->setSetting(QStringLiteral("servers/tcpport"), setting, true);
    m_session.setListeningPort(quint16(listeningOn));

    const bool sent = WCommonOperations::sendHostInformation();
    m_session.setListeningPort(0);
    QVERIFY(sent);

    QCOMPARE(m_session.account()->settingsData->getSetting(QStringLiteral("externalIp")), QByteArray("127.0.0.1"));
    // What another user learns about alice.
    const auto bob = m_fixture.loggedInLink(QStringLiteral("bob"));
    QVERIFY(bob);
    const KvrConfig info = WServerCommands::getUserHostInfo(Alice);
    QCOMPARE(info.gv(QStringLiteral("tcpPort")), expectedPort);
    const QString addresses = info.gv(QStringLiteral("addresses"));
    // The server runs on this machine, so peers are only ever told the loopback address.
    QCOMPARE(addresses, QStringLiteral("127.0.0.1,"));
}

void tst_WCommonOperations::countryBoxHoldsTheTable_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("hasFlag");
    QTest::newRow("first") << "AF" << "Afghanistan" << true;
    QTest::newRow("Poland") << "PL" << "Poland" << true;
    QTest::newRow("name beyond ASCII") << "AX" << QString::fromUtf8("\xc3\x85land Islands") << true;
    QTest::newRow("no flag image") << "AQ" << "Antarctica" << false;
    QTest::newRow("last") << "ZW" << "Zimbabwe" << true;
}

void tst_WCommonOperations::countryBoxHoldsTheTable()
{
    QFETCH(QString, code);
    QFETCH(QString, name);
    QFETCH(bool, hasFlag);
    QComboBox box;

    WCommonOperations::fillCountryComboBox(&box);

    const int lines = readBytes(QStringLiteral(":/texts/Resources/countrycodes.csv")).count("\r\n");
    QVERIFY(lines >= 241);
    QCOMPARE(box.count(), lines);
    QCOMPARE(box.itemText(0), QStringLiteral("Afghanistan"));
    QCOMPARE(box.itemText(box.count() - 1), QStringLiteral("Zimbabwe"));
    const int index = box.findData(code);
    QVERIFY(index >= 0);
    QCOMPARE(box.itemText(index), name);
    QCOMPARE(box.itemIcon(index).isNull(), !hasFlag);
    if (hasFlag) {
        const QImage shown = box.itemIcon(index).pixmap(16, 11).toImage().convertToFormat(QImage::Format_RGB32);
        const QImage flag = QImage(QStringLiteral(":/Flags/Resources/") + code + QStringLiteral(".png"))
                                .convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shown, flag);
    }
}

WIVORA_TEST_MAIN(tst_WCommonOperations)
#include "tst_WCommonOperations.moc"

#include "QtTestSuite.h"
#include "WCryptography.h"
#include "WivoraAccount.h"

#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

class tst_WivoraAccount : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void freshAccount();
    void roundTripThroughLatin1();
    void textRevealsNothing();
    void openRefusesBadText_data();
    void openRefusesBadText();
    void openKeepsOrLeavesPassword_data();
    void openKeepsOrLeavesPassword();
    void openFillsTreesInPlace();
    void innerParserRefusesDamage_data();
    void innerParserRefusesDamage();
    void concurrentUse();

private:
    void fill(WivoraAccount &account) const;

    WKeyPair keys;
};

namespace {

const QString password = QStringLiteral("hasło-Łódź");
const QString reconnectPassword = QStringLiteral("reconnect-secret-42");
const QByteArray contactName = QStringLiteral("Zoë Ångström").toUtf8();
const QByteArray ownName = QStringLiteral("Łódź Żółć").toUtf8();

QByteArray flippedCharacter(QByteArray text, int index)
{
    text[index] = text.at(index) == 'A' ? 'B' : 'A';
    return text;
}

} // namespace

void tst_WivoraAccount::initTestCase()
{
    keys = WCryptography::GenerateKeyPair();
    QVERIFY(keys.isValid());
}

// An account as a user has it after some use: UTF-8 names everywhere, a
// contact with its vCard, nested settings and a reconnect password.
void tst_WivoraAccount::fill(WivoraAccount &account) const
{
    account.setUserName(QStringLiteral("łukasz"));
    account.setPassword(password);
    account.setStatus(3);
    account.setKeyPair(keys.publicKey, keys.privateKey);
    account.vcardData->SetValue(QStringLiteral("fullName"), ownName);
    account.vcardData->SetValue(QStringLiteral("avatar"), QByteArray("\x89PNG\0\xff\x80", 7));
    account.contactsData->setSetting(QStringLiteral("bobbington/username"), "bobbington");
    account.contactsData->setSetting(QStringLiteral("bob/fullName"), contactName);
    account.contactsData->setSetting(QStringLiteral("bob/vcard/city"), QStringLiteral("Kraków").toUtf8());
    account.settingsData->setSetting(QStringLiteral("servers/tcpport"), "1600");
    account.settingsData->setSetting(QStringLiteral("settings/common/userStatus"), "3");
    account.accountData->setSetting(QStringLiteral("wftp/users"), "alice|bob|");
    account.accountData->setSetting(QStringLiteral("wftp/shareddiscs/disc/root/permittedusers/bob"), "rwdf");
    account.SetValue(QStringLiteral("lastSeenVersion"), QStringLiteral("1021"));
    account.SetValue(QStringLiteral("tempPassword"), reconnectPassword);
}

void tst_WivoraAccount::freshAccount()
{
    WivoraAccount account;
    QCOMPARE(account.getStatus(), 1);
    QVERIFY(account.getUserName().isEmpty());
    QVERIFY(account.getPrivateKey().isEmpty());
    const QPair<QSharedPointer<WDataStructure>, QString> trees[] = {{account.contactsData, "contacts"},
                                                                     {account.settingsData, "settings"},
                                                                     {account.vcardData, "vcard"},
                                                                     {account.accountData, "account"}};
    for (const auto &tree : trees) {
        QVERIFY(tree.first);
        QCOMPARE(tree.first->gv(QStringLiteral("section")), tree.second);
        QCOMPARE(tree.first->childCount(), 0);
    }
    // No password, no text: the key pair is never sealed under nothing.
    QVERIFY(account.saveAccount().isEmpty());
}

void tst_WivoraAccount::roundTripThroughLatin1()
{
    WivoraAccount saved;
    fill(saved);
    // Stored as Latin-1 bytes in "account.acc" and read back.
    const QByteArray file = saved.saveAccount().toLatin1();
    QVERIFY(!file.isEmpty());

    WivoraAccount opened;
    QVERIFY(opened.openAccount(QString::fromLatin1(file), password, true));
    QCOMPARE(opened.getUserName(), QStringLiteral("łukasz"));
    QCOMPARE(opened.getStatus(), 3);
    QCOMPARE(opened.getPublicKey(), keys.publicKey);
    QCOMPARE(opened.getPrivateKey(), keys.privateKey);
    QCOMPARE(opened.getPassword(), password.toUtf8());
    QCOMPARE(opened.vcardData->GetValue(QStringLiteral("fullName")), ownName);
    QCOMPARE(opened.vcardData->GetValue(QStringLiteral("avatar")), QByteArray("\x89PNG\0\xff\x80", 7));
    QCOMPARE(opened.contactsData->getSetting(QStringLiteral("bob/fullName")), contactName);
    QCOMPARE(opened.contactsData->getSetting(QStringLiteral("bob/vcard/city")), QStringLiteral("Kraków").toUtf8());
    QCOMPARE(opened.settingsData->getSetting(QStringLiteral("servers/tcpport")), QByteArray("1600"));
    QCOMPARE(opened.accountData->getSetting(QStringLiteral("wftp/shareddiscs/disc/root/permittedusers/bob")),
             QByteArray("rwdf"));
    QCOMPARE(opened.gv(QStringLiteral("lastSeenVersion")), QStringLiteral("1021"));
    QVERIFY(!opened.CheckKeyExist(QStringLiteral("tempPassword")));

    // Whole trees, order and all.
    QCOMPARE(opened.contactsData->SerializeStructure(), saved.contactsData->SerializeStructure());
    QCOMPARE(opened.settingsData->SerializeStructure(), saved.settingsData->SerializeStructure());
    QCOMPARE(opened.vcardData->SerializeStructure(), saved.vcardData->SerializeStructure());
    QCOMPARE(opened.accountData->SerializeStructure(), saved.accountData->SerializeStructure());

    // The opened account saves again and opens to the same content.
    WivoraAccount reopened;
    QVERIFY(reopened.openAccount(opened.saveAccount(), password, true));
    QCOMPARE(reopened.toInnerBytes(), opened.toInnerBytes());
}

void tst_WivoraAccount::textRevealsNothing()
{
    WivoraAccount account;
    fill(account);
    const QString text = account.saveAccount();
    QVERIFY(!text.isEmpty());
    for (const QChar c : text)
        QVERIFY2(c.unicode() < 0x80, "the text form must be pure ASCII");

    // Neither in the clear nor merely Base64-encoded.
    const QByteArray ascii = text.toLatin1();
    const QByteArray decoded = QByteArray::fromBase64(ascii);
    const QByteArray secrets[] = {"tempPassword",
                                  reconnectPassword.toUtf8(),
                                  password.toUtf8(),
                                  contactName,
                                  // Long enough not to turn up in random Base64 by chance.
                                  "bobbington",
                                  "PRIVATE KEY",
                                  keys.privateKey.toLatin1().mid(40, 24),
                                  account.contactsData->SerializeStructure().toLatin1().mid(8, 24)};
    for (const QByteArray &secret : secrets) {
        QVERIFY2(!ascii.contains(secret), secret.constData());
        QVERIFY2(!decoded.contains(secret), secret.constData());
    }
    // Not even the unsealed form carries the reconnect password.
    const QByteArray inner = account.toInnerBytes();
    QVERIFY(!inner.contains("tempPassword"));
    QVERIFY(!inner.contains(reconnectPassword.toUtf8()));
}

void tst_WivoraAccount::openRefusesBadText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("password");

    WivoraAccount account;
    fill(account);
    const QByteArray text = account.saveAccount().toLatin1();
    // Right password, but the unsealed bytes are no account.
    const QByteArray notAnAccount = WCryptography::SealWithPassword("garbage", password);

    QTest::newRow("wrong password") << QString::fromLatin1(text) << QStringLiteral("haslo-Lodz");
    QTest::newRow("empty password") << QString::fromLatin1(text) << QString();
    QTest::newRow("first character changed") << QString::fromLatin1(flippedCharacter(text, 0)) << password;
    QTest::newRow("middle character changed") << QString::fromLatin1(flippedCharacter(text, text.size() / 2))
                                              << password;
    int lastData = text.size() - 1;
    while (text.at(lastData) == '=')
        --lastData;
    QTest::newRow("last data character changed") << QString::fromLatin1(flippedCharacter(text, lastData))
                                                 << password;
    QTest::newRow("truncated") << QString::fromLatin1(text.left(text.size() - 8)) << password;
    QTest::newRow("empty text") << QString() << password;
    QTest::newRow("not Base64") << QStringLiteral("Łódź is no account") << password;
    QTest::newRow("sealed garbage") << QString::fromLatin1(notAnAccount) << password;
}

void tst_WivoraAccount::openRefusesBadText()
{
    QFETCH(QString, text);
    QFETCH(QString, password);

    WivoraAccount account;
    account.setUserName(QStringLiteral("before"));
    account.setPassword(QStringLiteral("old"));
    account.setStatus(2);
    account.contactsData->setSetting(QStringLiteral("carol/username"), "carol");
    account.SetValue(QStringLiteral("tempPassword"), QStringLiteral("old"));
    const QByteArray before = account.toInnerBytes();

    QVERIFY(!account.openAccount(text, password, true));
    QCOMPARE(account.toInnerBytes(), before);
    QCOMPARE(account.getPassword(), QByteArray("old"));
    QCOMPARE(account.gv(QStringLiteral("tempPassword")), QStringLiteral("old"));
}

void tst_WivoraAccount::openKeepsOrLeavesPassword_data()
{
    QTest::addColumn<bool>("keepPassword");
    QTest::addColumn<QByteArray>("passwordAfter");
    QTest::newRow("keep the password given") << true << password.toUtf8();
    QTest::newRow("leave the account's password") << false << QByteArray("earlier");
}

void tst_WivoraAccount::openKeepsOrLeavesPassword()
{
    QFETCH(bool, keepPassword);
    QFETCH(QByteArray, passwordAfter);

    WivoraAccount saved;
    fill(saved);
    WivoraAccount account;
    account.setPassword(QStringLiteral("earlier"));
    // A reconnect password set before opening survives the opening.
    account.SetValue(QStringLiteral("tempPassword"), QStringLiteral("kept"));
    QVERIFY(account.openAccount(saved.saveAccount(), password, keepPassword));
    QCOMPARE(account.getPassword(), passwordAfter);
    QCOMPARE(account.gv(QStringLiteral("tempPassword")), QStringLiteral("kept"));
}

void tst_WivoraAccount::openFillsTreesInPlace()
{
    WivoraAccount saved;
    fill(saved);
    WivoraAccount account;
    const QSharedPointer<WDataStructure> contacts = account.contactsData; // held by a plug-in
    QVERIFY(account.openAccount(saved.saveAccount(), password, true));
    QCOMPARE(account.contactsData, contacts);
    QCOMPARE(contacts->getSetting(QStringLiteral("bob/fullName")), contactName);
    // The opened trees are the account's own, not shared with the saved one.
    saved.contactsData->setSetting(QStringLiteral("bob/fullName"), "changed later");
    QCOMPARE(contacts->getSetting(QStringLiteral("bob/fullName")), contactName);
}

void tst_WivoraAccount::innerParserRefusesDamage_data()
{
    QTest::addColumn<QByteArray>("inner");

    WivoraAccount account;
    fill(account);
    const QByteArray valid = account.toInnerBytes();
    QVERIFY(WivoraAccount::fromInnerBytes(valid));

    KvrConfig record;
    QVERIFY(record.DeserializeConfigBinary(valid));
    const auto changed = [&](const QString &key, const QByteArray &value) {
        KvrConfig copy = record;
        copy.SetValue(key, value);
        return copy.SerializeConfigBinary();
    };
    const auto without = [&](const QString &key) {
        KvrConfig copy = record;
        copy.RemoveKey(key);
        return copy.SerializeConfigBinary();
    };

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("truncated") << valid.left(valid.size() - 1);
    QTest::newRow("trailing byte") << valid + 'x';
    QTest::newRow("huge count") << QByteArray("\xff\xff\xff\xff", 4) + valid.mid(4);
    QTest::newRow("unknown format") << changed(QStringLiteral("format"), "2");
    QTest::newRow("status not a number") << changed(QStringLiteral("status"), "online");
    QTest::newRow("damaged contacts tree") << changed(QStringLiteral("contacts"), "!!");
    QTest::newRow("damaged record") << changed(QStringLiteral("record"), QByteArray("\0\0\0\x05", 4));
    QTest::newRow("no settings tree") << without(QStringLiteral("settings"));
    QTest::newRow("no record") << without(QStringLiteral("record"));
}

void tst_WivoraAccount::innerParserRefusesDamage()
{
    QFETCH(QByteArray, inner);
    QVERIFY(!WivoraAccount::fromInnerBytes(inner));
}

void tst_WivoraAccount::concurrentUse()
{
    // Plug-in threads change settings and the record while another saves.
    WivoraAccount account;
    fill(account);
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int worker = 0; worker < 4; ++worker) {
        workers.emplace_back([&account, &failures, worker] {
            for (int i = 0; i < 300; ++i) {
                const QString key = QStringLiteral("w%1/k%2").arg(worker).arg(i % 10);
                account.settingsData->setSetting(key, QByteArray::number(i));
                account.SetValue(QStringLiteral("r%1").arg(worker), i);
                account.setStatus(i);
                if (account.gv(QStringLiteral("lastSeenVersion")).isEmpty())
                    ++failures;
                if (i % 50 == 0 && !WivoraAccount::fromInnerBytes(account.toInnerBytes()))
                    ++failures;
            }
        });
    }
    for (std::thread &worker : workers)
        worker.join();
    QCOMPARE(failures.load(), 0);
    QCOMPARE(account.settingsData->getSetting(QStringLiteral("w3/k9")), QByteArray("299"));
    QCOMPARE(account.gv(QStringLiteral("r2")), QStringLiteral("299"));
}

WIVORA_TEST_GUILESS_MAIN(tst_WivoraAccount)
#include "tst_WivoraAccount.moc"

// Messages that reach a client between its login and the start of its
// plug-ins: real wivora-server and wivora-headless processes with the
// messaging and file-sharing plug-ins. The receiver is held in that window
// by the probe (loaded first) until the test lets her go on.
#include "QtTestSuite.h"
#include "MailClients.h"
#include "WMailCommands.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString &kAlice = MailClients::Alice;
const QString &kBob = MailClients::Bob;
const QString kPlugin = QStringLiteral("WMail");

constexpr int kDeliveryTimeoutMs = 180000;
const QString kRelayedToAlice = QStringLiteral("buffered command relayed to alice: true");
const QString kRelayNotice = QStringLiteral("command received: Local::ExchangeMessageAvailable");

} // namespace

class tst_WMailDeliveryAtLogin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_release.isValid());
        QVERIFY2(MailClients::startService(m_fixture), qPrintable(m_fixture.server.errorText()));
        m_alice = MailClients::client(m_fixture, kAlice);
        m_bob = MailClients::client(m_fixture, kBob);
        QVERIFY2(m_alice && m_bob, qPrintable(m_fixture.clientSetupError));
        m_alice->setEnvironment(QString::fromLatin1(ProbeProtocol::HoldStartVariable), releaseFile());
        QVERIFY2(m_bob->start(), qPrintable(m_bob->diagnostics()));
    }

    // Bob writes while alice is down (relayed) and while she is held after
    // her login (over a link, and relayed with its notice in that window):
    // once her plug-ins start, every message is in her conversation, once.
    void everyMessageArrivesOnceDespiteTheLoginWindow()
    {
        QStringList sent;
        for (const char *text : {"while you were away", "still away"})
            sent << send(text);
        QTRY_VERIFY2_WITH_TIMEOUT(m_bob->log().count(kRelayedToAlice) >= 2, qPrintable(m_bob->diagnostics()),
                                  kDeliveryTimeoutMs);

        QVERIFY(m_alice->launch());
        QVERIFY2(m_alice->waitForOutput(ProbeProtocol::HoldingStartLine, ClientProcess::StartTimeoutMs),
                 qPrintable(m_alice->diagnostics()));
        sent << send("during your start");
        sent << relayDirectly("relayed during your start");
        QTRY_VERIFY2_WITH_TIMEOUT(m_alice->log().contains(kRelayNotice), qPrintable(m_alice->diagnostics()),
                                  kDeliveryTimeoutMs);

        QFile release(releaseFile());
        QVERIFY(release.open(QIODevice::WriteOnly));
        release.close();
        QVERIFY2(m_alice->waitUntilStarted(), qPrintable(m_alice->diagnostics()));

        // A later message comes after any repeat of the earlier ones.
        const QString later = send("after your start");
        QTRY_VERIFY2_WITH_TIMEOUT(MailClients::storedIds(*m_alice, kBob).contains(later), qPrintable(m_alice->diagnostics()),
                                  kDeliveryTimeoutMs);
        QTRY_VERIFY2_WITH_TIMEOUT(MailClients::storedIds(*m_alice, kBob).size() == sent.size() + 1,
                                  qPrintable(MailClients::storedIds(*m_alice, kBob).join(' ')), kDeliveryTimeoutMs);
        const QStringList stored = MailClients::storedIds(*m_alice, kBob);
        for (const QString &id : qAsConst(sent))
            QVERIFY2(stored.count(id) == 1, qPrintable(id + " in " + stored.join(' ')));
    }

private:
    QString releaseFile() const { return m_release.filePath(QStringLiteral("release")); }

    // Bob's message to alice as his chat page sends it; its id.
    QString send(const char *text)
    {
        KvrConfig request;
        request.sv(QStringLiteral("user"), kAlice);
        request.SetValue(QStringLiteral("data"), QByteArray(text));
        const QString id =
            m_bob->probe().invoke(kPlugin, QStringLiteral("sendMessage"), request).gv(QStringLiteral("id"));
        [&] { QVERIFY2(!id.isEmpty(), text); }();
        return id;
    }

    // Bob's message to alice straight into the relay, as his buffered road
    // relays one it cannot deliver; its id.
    QString relayDirectly(const char *text)
    {
        WMailStructure message;
        message.id = WMailStructure::newId();
        message.time = QDateTime::currentDateTimeUtc();
        message.localTime = message.time;
        message.itemType = QStringLiteral("text");
        message.sender = kBob;
        message.recipients = QStringList{kBob, kAlice};
        const KvrConfig record = WMailCommands::newMessageRecord(kBob, kAlice, QString(), QString(),
                                                                 message.serializeStructure(), QByteArray(text));
        [&] { QVERIFY(m_bob->probe().queue(kAlice, record)); }();
        return message.id;
    }

    QTemporaryDir m_release;
    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice;
    std::unique_ptr<ClientProcess> m_bob;
};

WIVORA_TEST_GUILESS_MAIN(tst_WMailDeliveryAtLogin)
#include "tst_WMailDeliveryAtLogin.moc"

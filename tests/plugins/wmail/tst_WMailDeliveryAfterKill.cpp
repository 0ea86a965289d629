// Messages that reached a client whose plug-ins had not stored them yet when
// the client was killed: real wivora-server and wivora-headless processes
// with the messaging and file-sharing plug-ins. The probe (loaded first)
// holds each arriving record before the messaging plug-in sees it, so the
// kill lands exactly after the message's source let go of it: the server
// deleted its relayed copy, or the sender got the last acknowledgement.
#include "QtTestSuite.h"
#include "MailClients.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {

const QString &kAlice = MailClients::Alice;
const QString &kBob = MailClients::Bob;
const QString kPlugin = QStringLiteral("WMail");

constexpr int kDeliveryTimeoutMs = 180000;
const QString kRelayedToAlice = QStringLiteral("buffered command relayed to alice: true");
const QString kDeletedAtTheServer = QStringLiteral("relayed record deleted at the server");
const QString kPartAcknowledged = QStringLiteral(" result true");

} // namespace

class tst_WMailDeliveryAfterKill : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_holds.isValid());
        QVERIFY2(MailClients::startService(m_fixture), qPrintable(m_fixture.server.errorText()));
        m_alice = MailClients::client(m_fixture, kAlice);
        m_bob = MailClients::client(m_fixture, kBob);
        QVERIFY2(m_alice && m_bob, qPrintable(m_fixture.clientSetupError));
        QVERIFY2(m_bob->start(), qPrintable(m_bob->diagnostics()));
    }

    // Relayed while alice was down; she is killed once the relay handed the
    // messages out and before her plug-in stored them.
    void relayedMessagesSurviveAKillBeforeTheyAreStored()
    {
        QStringList sent;
        for (const char *text : {"while you were away", "still away"})
            sent << send(text);
        QTRY_VERIFY2_WITH_TIMEOUT(m_bob->log().count(kRelayedToAlice) >= 2, qPrintable(m_bob->diagnostics()),
                                  kDeliveryTimeoutMs);

        QVERIFY(startAliceHoldingRecords());
        QVERIFY2(m_alice->waitForOutput(ProbeProtocol::HoldingRecordLine, kDeliveryTimeoutMs),
                 qPrintable(m_alice->diagnostics()));
        QTRY_VERIFY2_WITH_TIMEOUT(m_alice->log().count(kDeletedAtTheServer) >= sent.size(),
                                  qPrintable(m_alice->diagnostics()), kDeliveryTimeoutMs);
        QVERIFY(m_alice->kill());

        verifyFiledOnceAfterRestart(sent);
    }

    // Over a link while alice runs; she is killed once bob got the last
    // acknowledgement (and forgot the message) and before her plug-in
    // stored it.
    void bufferedMessageSurvivesAKillAfterItsAcknowledgement()
    {
        QVERIFY(startAliceHoldingRecords());
        const int acknowledged = m_bob->log().count(kPartAcknowledged);
        const QStringList sent{send("acknowledged, then killed")};
        QVERIFY2(m_alice->waitForOutput(ProbeProtocol::HoldingRecordLine, kDeliveryTimeoutMs),
                 qPrintable(m_alice->diagnostics()));
        QTRY_VERIFY2_WITH_TIMEOUT(m_bob->log().count(kPartAcknowledged) > acknowledged,
                                  qPrintable(m_bob->diagnostics()), kDeliveryTimeoutMs);
        QVERIFY(m_alice->kill());

        verifyFiledOnceAfterRestart(sent);
    }

private:
    // Alice started with her probe holding every record for other plug-ins.
    bool startAliceHoldingRecords()
    {
        m_alice->setEnvironment(QString::fromLatin1(ProbeProtocol::HoldRecordsVariable),
                                m_holds.filePath(QString::number(++m_holdCount)));
        return m_alice->start();
    }

    // Alice restarted as usual: every message sent is in her conversation,
    // each once, also after a later message had time to overtake repeats.
    void verifyFiledOnceAfterRestart(const QStringList &sent)
    {
        m_alice->setEnvironment(QString::fromLatin1(ProbeProtocol::HoldRecordsVariable), QString());
        QVERIFY2(m_alice->start(), qPrintable(m_alice->diagnostics()));
        const QString later = send("after your restart");
        QTRY_VERIFY2_WITH_TIMEOUT(MailClients::storedIds(*m_alice, kBob).contains(later), qPrintable(m_alice->diagnostics()),
                                  kDeliveryTimeoutMs);
        const auto allSentStored = [&] {
            const QStringList stored = MailClients::storedIds(*m_alice, kBob);
            return std::all_of(sent.cbegin(), sent.cend(), [&](const QString &id) { return stored.contains(id); });
        };
        QTRY_VERIFY2_WITH_TIMEOUT(allSentStored(), qPrintable(MailClients::storedIds(*m_alice, kBob).join(' ')), kDeliveryTimeoutMs);
        const QStringList stored = MailClients::storedIds(*m_alice, kBob);
        for (const QString &id : sent + QStringList{later})
            QVERIFY2(stored.count(id) == 1, qPrintable(id + " in " + stored.join(' ')));
    }

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

    QTemporaryDir m_holds;
    int m_holdCount = 0;
    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice;
    std::unique_ptr<ClientProcess> m_bob;
};

WIVORA_TEST_GUILESS_MAIN(tst_WMailDeliveryAfterKill)
#include "tst_WMailDeliveryAfterKill.moc"

// The starting side of the single-instance check against answering servers
// that behave in every way a running copy (or something else) might.

#include "QtTestSuite.h"
#include "SingleInstanceGuard.h"
#include "WakeUpServer.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>
#include <QtConcurrent>
#include <QtTest>

namespace {

// A piece of an answer and how long to wait before sending it.
struct AnswerPiece
{
    int delayMs;
    QByteArray bytes;
};
using Answer = QList<AnswerPiece>;

// Listens like a running copy, records what a starter sends and answers it
// with the scripted pieces once the whole request is there.
class ScriptedAnswerServer : public QObject
{
public:
    ScriptedAnswerServer(const QString &name, const Answer &answer) : m_answer(answer)
    {
        QLocalServer::removeServer(name);
        m_server.listen(name);
        connect(&m_server, &QLocalServer::newConnection, this, [this] {
            QLocalSocket *socket = m_server.nextPendingConnection();
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                m_received += socket->readAll();
                if (m_received.size() == SingleInstanceGuard::WakeUpRequest.size())
                    sendPiece(socket, 0);
            });
        });
    }
    bool isListening() const { return m_server.isListening(); }
    QByteArray received() const { return m_received; }

private:
    void sendPiece(QLocalSocket *socket, int index)
    {
        if (index >= m_answer.size())
            return;
        QPointer<QLocalSocket> guarded(socket);
        QTimer::singleShot(m_answer.at(index).delayMs, this, [this, guarded, index] {
            if (!guarded)
                return;
            guarded->write(m_answer.at(index).bytes);
            guarded->flush();
            sendPiece(guarded, index + 1);
        });
    }

    QLocalServer m_server;
    Answer m_answer;
    QByteArray m_received;
};

// The check blocks its thread, so it runs on a pool thread while this
// thread serves the answering side.
bool probeKeepingEventsFlowing(const QString &name)
{
    QFuture<bool> probe = QtConcurrent::run([name] { return SingleInstanceGuard::wakeRunningCopy(name); });
    if (!QTest::qWaitFor([&] { return probe.isFinished(); }, 10000))
        return false;
    return probe.result();
}

} // namespace

Q_DECLARE_METATYPE(Answer)

class tst_SingleInstanceGuard : public QObject
{
    Q_OBJECT

private slots:
    void answerDecides_data()
    {
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<bool>("running");

        QTest::newRow("answers that it runs") << Answer{{0, "isrunning"}} << true;
        QTest::newRow("answer split before 4 bytes") << Answer{{0, "isr"}, {150, "unning"}} << true;
        QTest::newRow("answer split after 4 bytes") << Answer{{0, "isru"}, {250, "nning"}} << true;
        QTest::newRow("rest of the answer too late") << Answer{{0, "isru"}, {900, "nning"}} << false;
        QTest::newRow("another answer") << Answer{{0, "notrunning"}} << false;
        QTest::newRow("answer with more bytes") << Answer{{0, "isrunning!"}} << false;
        QTest::newRow("no answer") << Answer{} << false;
    }
    void answerDecides()
    {
        QFETCH(Answer, answer);
        QFETCH(bool, running);
        const QString name = QStringLiteral("wivora-probe-test");
        ScriptedAnswerServer server(name, answer);
        QVERIFY(server.isListening());

        QCOMPARE(probeKeepingEventsFlowing(name), running);
        QCOMPARE(server.received(), QByteArray("wivorawakeup"));
    }

    void nobodyListens()
    {
        const QString name = QStringLiteral("wivora-probe-nobody");
        QLocalServer::removeServer(name);
        QVERIFY(!SingleInstanceGuard::wakeRunningCopy(name));
    }

    // The two halves of the check together, as two copies of the program
    // use them.
    void wakeUpServerAnswers()
    {
        const QString name = QStringLiteral("wivora-probe-wakeup");
        WakeUpServer server;
        QSignalSpy wakeUps(&server, &WakeUpServer::signalWakeUp);
        QVERIFY(server.listen(name));

        QVERIFY(probeKeepingEventsFlowing(name));
        QCOMPARE(wakeUps.count(), 1);
        QVERIFY(probeKeepingEventsFlowing(name));
        QCOMPARE(wakeUps.count(), 2);
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_SingleInstanceGuard)
#include "tst_SingleInstanceGuard.moc"

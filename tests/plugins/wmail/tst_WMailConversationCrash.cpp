#include "QtTestSuite.h"
#include "WMailConversation.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

// Runs the filing child on folder until it has reported `stored` messages,
// then kills it with SIGKILL; the ids it reported, in order.
QStringList fileUntilKilled(const QString &folder, int foldInterval, int stored)
{
    QProcess child;
    child.setProgram(QStringLiteral(WIVORA_FILING_CHILD));
    child.setArguments({folder, QString::number(foldInterval)});
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start();
    if (!child.waitForStarted())
        return {};
    QByteArray output;
    while (output.count('\n') < stored && child.state() == QProcess::Running) {
        child.waitForReadyRead(10000);
        output += child.readAllStandardOutput();
    }
    ::kill(pid_t(child.processId()), SIGKILL);
    child.waitForFinished();
    output += child.readAllStandardOutput();
    // A line cut short was being printed: that message may or may not be kept.
    output.truncate(output.lastIndexOf('\n') + 1);
    QStringList ids;
    for (const QByteArray &line : output.split('\n')) {
        if (!line.isEmpty())
            ids << QString::fromLatin1(line);
    }
    return ids;
}

} // namespace

// A process killed at any moment while it files messages (appending, or
// rewriting the whole conversation) loses at most the message it was
// writing: the next start reads every message it had reported as stored,
// and files more after them.
class tst_WMailConversationCrash : public QObject
{
    Q_OBJECT

private slots:
    void killedWhileFiling_data()
    {
        QTest::addColumn<int>("foldInterval");
        QTest::addColumn<int>("stored");
        QTest::newRow("appending") << 0 << 150;
        QTest::newRow("appending a longer burst") << 0 << 600;
        QTest::newRow("appending and rewriting") << 40 << 300;
        QTest::newRow("rewriting after every few") << 3 << 120;
    }
    void killedWhileFiling()
    {
        QFETCH(int, foldInterval);
        QFETCH(int, stored);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QStringList reported;
        for (int round = 0; round < 2; ++round) {
            const QStringList ids = fileUntilKilled(dir.path(), foldInterval, stored);
            QVERIFY2(ids.size() >= stored, qPrintable(QString::number(ids.size())));
            reported += ids;

            WMailConversation reopened(dir.path(), QStringLiteral("bob"));
            QVERIFY(reopened.load());
            QVERIFY(!reopened.isDamaged());
            const QStringList kept = reopened.messageIds();
            // Everything reported, in order, and at most the one being written besides.
            QVERIFY2(kept.size() - reported.size() >= 0 && kept.size() - reported.size() <= round + 1,
                     qPrintable(QStringLiteral("%1 kept, %2 reported").arg(kept.size()).arg(reported.size())));
            int at = 0;
            for (const QString &id : qAsConst(reported)) {
                at = kept.indexOf(id, at);
                QVERIFY2(at >= 0, qPrintable(id + QStringLiteral(" is lost or out of order")));
                QCOMPARE(reopened.loadItemPreview(id), "text of " + id.toUtf8());
            }
            QCOMPARE(reopened.root()->children.size(), kept.size());
            for (int i = 0; i < kept.size(); ++i)
                QCOMPARE(reopened.root()->children.at(i)->id, kept.at(i));
        }
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_WMailConversationCrash)
#include "tst_WMailConversationCrash.moc"

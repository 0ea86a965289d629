// The upload of crash reports at start-up: against a real wivora-server, and
// against a small HTTP server of this test that answers as it is told and
// records what arrives, in order.

#include "QtTestSuite.h"
#include "CrashDumpUploader.h"

#include "ServerProcess.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

namespace {

// Answers each request with the next of its answers (the last one repeats),
// or never when it is silent; keeps every request body in arrival order.
class RecordingHttpServer : public QObject
{
public:
    explicit RecordingHttpServer(const QList<QByteArray> &answers, bool silent = false)
        : m_answers(answers), m_silent(silent)
    {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
            }
        });
    }
    QUrl url() const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1/backend/crashreport.aspx").arg(m_server.serverPort()));
    }
    QList<QByteArray> bodies() const { return m_bodies; }
    QByteArrayList paths() const { return m_paths; }

private:
    void readRequest(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        int length = 0;
        for (const QByteArray &line : buffer.left(headerEnd).split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toInt();
        }
        if (buffer.size() < headerEnd + 4 + length)
            return;
        m_paths << buffer.left(buffer.indexOf("\r\n"));
        m_bodies << buffer.mid(headerEnd + 4, length);
        m_buffers.remove(socket);
        if (m_silent)
            return;
        const QByteArray answer = m_answers.at(qMin(m_bodies.size(), m_answers.size()) - 1);
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: "
                      + QByteArray::number(answer.size()) + "\r\n\r\n" + answer);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QList<QByteArray> m_answers;
    bool m_silent;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QList<QByteArray> m_bodies;
    QByteArrayList m_paths;
};

// A folder of dumps, by file name.
class DumpsFolder
{
public:
    DumpsFolder() : m_dir(QDir::tempPath() + QStringLiteral("/dumps-XXXXXX")) {}
    QString path() const { return m_dir.path(); }
    void add(const QString &name, const QByteArray &bytes)
    {
        QFile file(m_dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(bytes), qint64(bytes.size()));
    }
    QStringList names() const { return QDir(path()).entryList(QDir::Files | QDir::System, QDir::Name); }

private:
    QTemporaryDir m_dir;
};

// Runs the upload on a pool thread, as the program does, while this thread
// serves the test's HTTP server.
int uploadKeepingEventsFlowing(CrashDumpUploader &uploader)
{
    QFuture<int> upload = QtConcurrent::run(&uploader, &CrashDumpUploader::uploadAll);
    if (!QTest::qWaitFor([&] { return upload.isFinished(); }, 60000))
        return -1;
    return upload.result();
}

QUrl refusingUrl()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const quint16 port = probe.serverPort();
    probe.close();
    return QUrl(QStringLiteral("http://127.0.0.1:%1/backend/crashreport.aspx").arg(port));
}

} // namespace

class tst_CrashDumpUploader : public QObject
{
    Q_OBJECT

private slots:
    void formBody_data()
    {
        QTest::addColumn<QByteArray>("dump");
        QTest::addColumn<QByteArray>("body");

        // 0xfb 0xff 0xbf is "+/+/" in Base64; one or two bytes give "=" padding.
        QTest::newRow("plus and slash") << QByteArray("\xfb\xff\xbf\xfb\xff\xbf", 6)
                                        << QByteArray("dumpdata={p}/{p}/{p}/{p}/&ver=1.0021&platform=linux");
        QTest::newRow("padding") << QByteArray("ab") << QByteArray("dumpdata=YWI=&ver=1.0021&platform=linux");
        QTest::newRow("empty dump") << QByteArray() << QByteArray("dumpdata=&ver=1.0021&platform=linux");
    }
    void formBody()
    {
        QFETCH(QByteArray, dump);
        QFETCH(QByteArray, body);
        QCOMPARE(CrashDumpUploader::formBody(dump), body);
    }

    // Smallest first, whatever the names; only the ones answered "ok" go.
    void sendsSmallestFirstAndDeletesOnlyAcknowledged()
    {
        DumpsFolder dumps;
        dumps.add(QStringLiteral("a.dmp"), QByteArray(30, 'a'));
        dumps.add(QStringLiteral("b.dmp"), QByteArray(10, 'b'));
        dumps.add(QStringLiteral("c.dmp"), QByteArray(20, 'c'));
        RecordingHttpServer server({"ok", "no", "ok"});

        CrashDumpUploader uploader(dumps.path(), server.url());
        QCOMPARE(uploadKeepingEventsFlowing(uploader), 2);

        QCOMPARE(server.bodies(),
                 (QList<QByteArray>{CrashDumpUploader::formBody(QByteArray(10, 'b')),
                                    CrashDumpUploader::formBody(QByteArray(20, 'c')),
                                    CrashDumpUploader::formBody(QByteArray(30, 'a'))}));
        QCOMPARE(server.paths().first(), QByteArray("POST /backend/crashreport.aspx HTTP/1.1"));
        QCOMPARE(dumps.names(), QStringList{QStringLiteral("c.dmp")});
    }

    void keepsDumpUnlessAnsweredExactlyOk_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("kept");

        QTest::newRow("ok") << QByteArray("ok") << false;
        QTest::newRow("no") << QByteArray("no") << true;
        QTest::newRow("ok and a line end") << QByteArray("ok\n") << true;
        QTest::newRow("upper case") << QByteArray("OK") << true;
        QTest::newRow("empty") << QByteArray() << true;
    }
    void keepsDumpUnlessAnsweredExactlyOk()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, kept);
        DumpsFolder dumps;
        dumps.add(QStringLiteral("one.dmp"), "report");
        RecordingHttpServer server({answer});

        CrashDumpUploader uploader(dumps.path(), server.url());
        QCOMPARE(uploadKeepingEventsFlowing(uploader), kept ? 0 : 1);
        QCOMPARE(server.bodies().size(), 1);
        QCOMPARE(dumps.names(), kept ? QStringList{QStringLiteral("one.dmp")} : QStringList());
    }

    // A site that cannot be reached or never answers costs each report one
    // time-out, and the reports stay.
    void keepsDumpsWhenTheSiteFails_data()
    {
        QTest::addColumn<bool>("silent");
        QTest::newRow("connection refused") << false;
        QTest::newRow("never answers") << true;
    }
    void keepsDumpsWhenTheSiteFails()
    {
        QFETCH(bool, silent);
        DumpsFolder dumps;
        dumps.add(QStringLiteral("one.dmp"), "first");
        dumps.add(QStringLiteral("two.dmp"), "second");
        RecordingHttpServer server({"ok"}, true);

        CrashDumpUploader uploader(dumps.path(), silent ? server.url() : refusingUrl(), 300);
        QCOMPARE(uploadKeepingEventsFlowing(uploader), 0);
        QCOMPARE(server.bodies().size(), silent ? 2 : 0);
        QCOMPARE(dumps.names(), (QStringList{QStringLiteral("one.dmp"), QStringLiteral("two.dmp")}));
    }

    void cancelEndsAWaitingUpload()
    {
        DumpsFolder dumps;
        dumps.add(QStringLiteral("one.dmp"), "first");
        dumps.add(QStringLiteral("two.dmp"), "second");
        RecordingHttpServer server({"ok"}, true);

        CrashDumpUploader uploader(dumps.path(), server.url(), 120000);
        QFuture<int> upload = QtConcurrent::run(&uploader, &CrashDumpUploader::uploadAll);
        QTRY_COMPARE(server.bodies().size(), 1);
        uploader.cancel();
        QTRY_VERIFY(upload.isFinished());
        QCOMPARE(upload.result(), 0);
        QCOMPARE(server.bodies().size(), 1);
        QCOMPARE(dumps.names().size(), 2);
    }

    // Only regular ".dmp" files of the folder are reports.
    void sendsOnlyDumpFiles()
    {
        DumpsFolder dumps;
        dumps.add(QStringLiteral("real.dmp"), "report");
        dumps.add(QStringLiteral("notes.txt"), "not a report");
        QTemporaryDir elsewhere;
        QFile outside(elsewhere.filePath(QStringLiteral("outside.dmp")));
        QVERIFY(outside.open(QIODevice::WriteOnly));
        outside.write("somebody else's file");
        outside.close();
        QVERIFY(QFile::link(outside.fileName(), QDir(dumps.path()).filePath(QStringLiteral("link.dmp"))));
        QVERIFY(QDir(dumps.path()).mkdir(QStringLiteral("folder.dmp")));
        RecordingHttpServer server({"ok"});

        CrashDumpUploader uploader(dumps.path(), server.url());
        QCOMPARE(uploadKeepingEventsFlowing(uploader), 1);
        QCOMPARE(server.bodies(), QList<QByteArray>{CrashDumpUploader::formBody("report")});
        QVERIFY(outside.exists());
        QVERIFY(QFileInfo(QDir(dumps.path()).filePath(QStringLiteral("link.dmp"))).isSymLink());
    }

    void missingFolderSendsNothing()
    {
        CrashDumpUploader uploader(QDir::tempPath() + QStringLiteral("/no-such-folder"), refusingUrl());
        QCOMPARE(uploader.uploadAll(), 0);
    }

    // The real web site decodes what the client sends: every report arrives
    // with the bytes it left with, "+" included.
    void realSiteStoresEveryReport()
    {
        ServerProcess server;
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        QVERIFY(server.httpPort() != 0);
        const QList<QByteArray> reports{QByteArray("\xfb\xff\xbf\x00\x01", 5), QByteArray(3000, '\xfb'),
                                        QByteArray("signal=11\nprod=Wivora\n")};
        DumpsFolder dumps;
        for (int index = 0; index < reports.size(); ++index)
            dumps.add(QStringLiteral("%1.dmp").arg(index), reports.at(index));

        CrashDumpUploader uploader(
            dumps.path(), QUrl(QStringLiteral("http://127.0.0.1:%1/backend/crashreport.aspx").arg(server.httpPort())));
        QCOMPARE(uploadKeepingEventsFlowing(uploader), reports.size());
        QCOMPARE(dumps.names(), QStringList());

        QList<QByteArray> stored;
        const QDir storedFolder(QDir(server.dataDir()).filePath(QStringLiteral("dumps")));
        for (const QString &name : storedFolder.entryList(QDir::Files)) {
            QFile file(storedFolder.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            stored << file.readAll();
        }
        std::sort(stored.begin(), stored.end());
        QList<QByteArray> expected = reports;
        std::sort(expected.begin(), expected.end());
        QCOMPARE(stored, expected);
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_CrashDumpUploader)
#include "tst_CrashDumpUploader.moc"

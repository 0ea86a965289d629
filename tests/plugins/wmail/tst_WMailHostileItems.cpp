// Files and albums a hostile peer crafts, fed to bob through the real receive
// road: wivora-server and wivora-headless processes, alice's probe buffering
// a "wmail:::newMessage" record of her own making. Bob files it, saves every
// file of it into a folder of the test's choosing and reads the album back as
// his page and viewer do: nothing is written outside that folder, nothing
// crashes, and bob still answers afterwards.
#include "QtTestSuite.h"
#include "E2eFixture.h"
#include "WMailCommands.h"
#include "WMailConversation.h"
#include "WMailStreams.h"

#include <QBuffer>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QImage>
#include <QtTest>

namespace {

const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");
const QString kPlugin = QStringLiteral("WMail");
const QString kAckTimeoutMs = QStringLiteral("5000");
constexpr int kDeliveryTimeoutMs = 180000;
// Saving 10 000 files of one message may take a while on a loaded machine.
constexpr int kSaveTimeoutMs = 300000;

struct PeerFile
{
    QString name;
    QByteArray contents;
};
using PeerFiles = QList<PeerFile>;

} // namespace

Q_DECLARE_METATYPE(PeerFiles)

namespace {

QByteArray filesData(const PeerFiles &files)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(WMailStreams::Version);
    out << qint32(files.size());
    for (const PeerFile &file : files)
        out << file.name << qint64(file.contents.size()) << file.contents;
    return bytes;
}

QByteArray albumData(const QList<QByteArray> &pictures)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(WMailStreams::Version);
    out << qint32(pictures.size());
    for (int i = 0; i < pictures.size(); ++i)
        out << QStringLiteral("picture%1.jpg").arg(i) << pictures.at(i);
    return bytes;
}

QByteArray encoded(const char *format, const QColor &colour)
{
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// A small JPEG whose frame header claims 30000 x 30000 pixels.
QByteArray claimingHugeJpeg()
{
    QByteArray bytes = encoded("JPG", Qt::red);
    const int frame = bytes.indexOf("\xFF\xC0");
    if (frame < 0)
        return QByteArray();
    for (int at : {frame + 5, frame + 7}) {
        bytes[at] = char(30000 >> 8);
        bytes[at + 1] = char(30000 & 0xFF);
    }
    return bytes;
}

// Every file below root, as paths relative to it.
QStringList filesBelow(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

class tst_WMailHostileItems : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_fixture.clientEnvironment.insert(QString::fromLatin1(ProbeProtocol::AckTimeoutVariable), kAckTimeoutMs);
        QVERIFY2(m_fixture.startService({kAlice, kBob}, {{kAlice, kBob}}), qPrintable(m_fixture.server.errorText()));
        for (auto *client : {&m_bob, &m_alice}) {
            *client = m_fixture.client(client == &m_bob ? kBob : kAlice);
            QVERIFY(*client);
            QVERIFY((*client)->installPlugin(QStringLiteral(WIVORA_WMAIL_PLUGIN)));
            QVERIFY2((*client)->start(), qPrintable((*client)->diagnostics()));
        }
        // Bob looks at alice's conversation, so her items reach his page too.
        QVERIFY(!send(*m_bob, kAlice, "text", "show me").isEmpty());
    }

    void files_data()
    {
        QTest::addColumn<PeerFiles>("files");
        QTest::addColumn<QStringList>("saved"); // what the chosen folder then holds

        QTest::newRow("climbing out") << PeerFiles{{"../../outside.txt", "a"}, {"..\\..\\evil.txt", "b"}}
                                      << QStringList{"evil.txt", "outside.txt"};
        QTest::newRow("into a sub-folder and absolute")
            << PeerFiles{{"a/b/c.txt", "c"}, {"/etc/passwd", "d"}, {"/dev/null", "e"}}
            << QStringList{"c.txt", "null", "passwd"};
        QTest::newRow("NUL and control characters")
            << PeerFiles{{QStringLiteral("name") + QChar(0) + QStringLiteral("hidden.txt"), "f"},
                         {QStringLiteral("bell\a\r\n.txt"), "g"}}
            << QStringList{"bell___.txt", "name_hidden.txt"};
        QTest::newRow("device names") << PeerFiles{{"CON", "h"}, {"nul.txt", "i"}, {"com1", "j"}}
                                      << QStringList{"_CON", "_com1", "_nul.txt"};
        QTest::newRow("no name left") << PeerFiles{{"..", "k"}, {".", "l"}, {"", "m"}, {"/", "n"}}
                                      << QStringList{"file", "file (2)", "file (3)", "file (4)"};
        QTest::newRow("one name twice") << PeerFiles{{"same.txt", "first"}, {"same.txt", "second"}}
                                        << QStringList{"same (2).txt", "same.txt"};
        PeerFiles many;
        QStringList manyNames;
        for (int i = 0; i < 10000; ++i) {
            many << PeerFile{QStringLiteral("f%1").arg(i, 5, 10, QLatin1Char('0')), QByteArray::number(i)};
            manyNames << many.last().name;
        }
        QTest::newRow("10 000 entries") << many << manyNames;
    }
    void files()
    {
        QFETCH(PeerFiles, files);
        QFETCH(QStringList, saved);
        const QString id = deliverCrafted("files", filesData(files));
        QVERIFY(!id.isEmpty());

        QTemporaryDir root;
        // Deep enough that a climbing name lands inside root, where it is seen.
        const QString chosen = root.filePath(QStringLiteral("a/b/chosen"));
        QVERIFY(QDir().mkpath(chosen));
        KvrConfig request;
        request.sv(QStringLiteral("user"), kAlice);
        request.sv(QStringLiteral("id"), id);
        request.sv(QStringLiteral("folder"), chosen);
        bool invoked = false;
        const KvrConfig answer = m_bob->probe().invoke(kPlugin, QStringLiteral("saveFiles"), request, &invoked, kSaveTimeoutMs);
        QVERIFY2(invoked && answer.checkResult(), qPrintable(m_bob->diagnostics().right(2000)));
        QCOMPARE(answer.gv(QStringLiteral("errors")), QString());
        QVERIFY(m_bob->isRunning());

        QStringList inChosen;
        for (const QString &name : saved)
            inChosen << QStringLiteral("a/b/chosen/") + name;
        inChosen.sort();
        QCOMPARE(filesBelow(root.path()), inChosen);
        // Each entry's own bytes under the name it was given: read back in
        // the order they were saved.
        const QStringList paths = answer.gv(QStringLiteral("saved")).split(QLatin1Char('\n'));
        QCOMPARE(paths.size(), files.size());
        for (int i = 0; i < files.size(); ++i) {
            QFile file(paths.at(i));
            QVERIFY(QFileInfo(paths.at(i)).canonicalPath() == QFileInfo(chosen).canonicalFilePath());
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), files.at(i).contents);
        }
    }

    void album_data()
    {
        QTest::addColumn<QList<QByteArray>>("pictures");
        QTest::addColumn<int>("shown"); // thumbnails in the page, pictures in the viewer

        const QByteArray jpeg = encoded("JPG", Qt::darkGreen);
        QTest::newRow("not JPEG") << QList<QByteArray>{encoded("PNG", Qt::blue), encoded("BMP", Qt::blue), jpeg} << 1;
        QTest::newRow("claiming 30000 x 30000") << QList<QByteArray>{claimingHugeJpeg(), jpeg} << 1;
        QTest::newRow("garbage and empty") << QList<QByteArray>{QByteArray(5000, '\xFF'), QByteArray()} << 0;
    }
    void album()
    {
        QFETCH(QList<QByteArray>, pictures);
        QFETCH(int, shown);
        const QString id = deliverCrafted("photoalbum", albumData(pictures));
        QVERIFY(!id.isEmpty());
        KvrConfig request;
        request.sv(QStringLiteral("user"), kAlice);
        request.sv(QStringLiteral("id"), id);
        bool invoked = false;
        const KvrConfig answer = m_bob->probe().invoke(kPlugin, QStringLiteral("albumPictures"), request, &invoked);
        QVERIFY2(invoked && answer.checkResult(), qPrintable(m_bob->diagnostics().right(2000)));
        QCOMPARE(answer.gv(QStringLiteral("thumbnails")).toInt(), shown);
        QCOMPARE(answer.gv(QStringLiteral("pictures")).toInt(), shown);
    }

    // After all of it, a plain message from alice still reaches bob's
    // conversation, and bob still sends.
    void bobStillAnswers()
    {
        QVERIFY(m_bob->isRunning());
        const QString id = send(*m_alice, kBob, "text", "still there?");
        QVERIFY(!id.isEmpty());
        QVERIFY2(waitForMessage(id), qPrintable(m_bob->diagnostics().right(2000)));
        QVERIFY(!send(*m_bob, kAlice, "text", "yes").isEmpty());
        QVERIFY2(m_bob->stop(), qPrintable(m_bob->diagnostics().right(2000)));
    }

private:
    // What the chat page does when from sends data of kind type: the new id.
    QString send(ClientProcess &from, const QString &to, const QString &type, const QByteArray &data)
    {
        KvrConfig request;
        request.sv(QStringLiteral("user"), to);
        request.sv(QStringLiteral("type"), type);
        request.SetValue(QStringLiteral("data"), data);
        bool invoked = false;
        const KvrConfig answer = from.probe().invoke(kPlugin, QStringLiteral("sendMessage"), request, &invoked);
        return invoked && answer.checkResult() ? answer.gv(QStringLiteral("id")) : QString();
    }

    // Alice's own record, not made by her editor: buffered to bob by her
    // probe. The message id once bob filed it; empty when he did not.
    QString deliverCrafted(const QString &type, const QByteArray &itemData)
    {
        WMailStructure message;
        message.id = WMailStructure::newId();
        message.time = QDateTime::currentDateTimeUtc();
        message.localTime = message.time;
        message.itemType = type;
        message.sender = kAlice;
        message.recipients = QStringList{kAlice, kBob};
        const KvrConfig record = WMailCommands::newMessageRecord(kAlice, kBob, QString(), QString(),
                                                                 message.serializeStructure(), itemData);
        if (!m_alice->probe().buffer(kBob, record) || !waitForMessage(message.id))
            return QString();
        return message.id;
    }

    bool waitForMessage(const QString &id)
    {
        const QString folder = m_bob->storagePath(QStringLiteral("pluginsstorage/%1/wmail").arg(kBob));
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < kDeliveryTimeoutMs) {
            auto conversation = WMailConversation::Pointer::create(folder, kAlice);
            if (conversation->load() && conversation->messageIds().contains(id))
                return true;
            if (!m_bob->isRunning())
                return false;
            QTest::qWait(100);
        }
        return false;
    }

    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice;
    std::unique_ptr<ClientProcess> m_bob;
};

WIVORA_TEST_MAIN(tst_WMailHostileItems)
#include "tst_WMailHostileItems.moc"

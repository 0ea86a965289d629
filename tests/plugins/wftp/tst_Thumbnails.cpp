// Thumbnails of listed folders: pictures, who gets them, and the limits.
#include "QtTestSuite.h"
#include "ShareFixture.h"

#include <ThumbnailMaker.h>

#include <QImageReader>
#include <QtEndian>
#include <QtTest>

namespace {

struct Delivered
{
    QList<QPair<QString, QString>> taken()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return rows;
    }

    std::mutex mutex;
    QList<QPair<QString, QString>> rows; // asker, serialised row
    std::atomic<int> running{0};
    std::atomic<int> mostRunning{0};
};

WFtpEngine::ThumbnailDelivery collectInto(Delivered *delivered, const QString &asker)
{
    return [delivered, asker](const QString &, const QString &row) {
        const int now = ++delivered->running;
        int most = delivered->mostRunning;
        while (now > most && !delivered->mostRunning.compare_exchange_weak(most, now)) {
        }
        QThread::msleep(5);
        {
            const std::lock_guard<std::mutex> lock(delivered->mutex);
            delivered->rows << qMakePair(asker, row);
        }
        --delivered->running;
    };
}

quint32 crc32(const QByteArray &bytes)
{
    quint32 crc = 0xffffffffu;
    for (const char byte : bytes) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A PNG whose header claims a size and whose pixels are missing.
QByteArray pngClaiming(quint32 width, quint32 height)
{
    QByteArray ihdr("IHDR");
    quint32 big[2] = {qToBigEndian(width), qToBigEndian(height)};
    ihdr.append(reinterpret_cast<const char *>(big), 8).append("\x08\x02\x00\x00\x00", 5);
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    const auto chunk = [&png](const QByteArray &typeAndData) {
        const quint32 length = qToBigEndian(quint32(typeAndData.size() - 4));
        const quint32 crc = qToBigEndian(crc32(typeAndData));
        png.append(reinterpret_cast<const char *>(&length), 4).append(typeAndData);
        png.append(reinterpret_cast<const char *>(&crc), 4);
    };
    chunk(ihdr);
    chunk(QByteArray("IDAT") + qCompress(QByteArray(64, '\0')).mid(4));
    chunk("IEND");
    return png;
}

} // namespace

class tst_Thumbnails : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void picturesFitTheCanvas();
    void onlyPicturesAndOnlyForRights();
    void ownerGetsThemLocally();
    void hugeHeadersAreSkipped();
    void concurrentListingsShareTwoThreads();

private:
    std::unique_ptr<ShareFixture> m_files;
};

void tst_Thumbnails::init()
{
    m_files = std::make_unique<ShareFixture>();
    QImage tall(50, 200, QImage::Format_RGB32);
    tall.fill(Qt::black);
    QVERIFY(tall.save(m_files->docs() + "/pub/tall.png"));
    QImage wide(300, 60, QImage::Format_RGB32);
    wide.fill(Qt::black);
    QVERIFY(wide.save(m_files->docs() + "/pub/wide.jpg", "JPG", 95));
    m_files->grant("bob", "pub", {"1"});
}

void tst_Thumbnails::picturesFitTheCanvas()
{
    Delivered delivered;
    m_files->engine.getFolderThumbnails(ShareFixture::vpath("pub"), "bob", collectInto(&delivered, "bob"));
    QCOMPARE(delivered.rows.size(), 2);
    QMap<QString, QImage> pictures;
    for (const auto &entry : delivered.taken()) {
        WDataStructure row;
        QVERIFY(row.DeserializeStructure(entry.second));
        QCOMPARE(row.gv("Directory"), QStringLiteral("0"));
        pictures.insert(row.gv("Name"), QImage::fromData(row.GetValue("thumbnail"), "JPG"));
    }
    const QImage tall = pictures.value("tall.png");
    const QImage wide = pictures.value("wide.jpg");
    QCOMPARE(tall.size(), QSize(100, 100));
    QCOMPARE(wide.size(), QSize(100, 100));
    // The picture at the top left, white beside (tall) or below (wide) it.
    QVERIFY(qGray(tall.pixel(10, 50)) < 60);
    QVERIFY(qGray(tall.pixel(90, 50)) > 200);
    QVERIFY(qGray(wide.pixel(50, 5)) < 60);
    QVERIFY(qGray(wide.pixel(50, 90)) > 200);
}

void tst_Thumbnails::onlyPicturesAndOnlyForRights()
{
    QVERIFY(ShareFixture::writeFile(m_files->docs() + "/pub/notes.txt", "not a picture"));
    QVERIFY(ShareFixture::writeFile(m_files->docs() + "/pub/fake.png", "not a png either"));
    QVERIFY(QFile::link(m_files->docs() + "/pub/tall.png", m_files->docs() + "/pub/link.png"));
    Delivered delivered;
    m_files->engine.getFolderThumbnails(ShareFixture::vpath("pub"), "bob", collectInto(&delivered, "bob"));
    QCOMPARE(delivered.rows.size(), 2);
    m_files->engine.getFolderThumbnails(ShareFixture::vpath("pub"), "carol", collectInto(&delivered, "carol"));
    m_files->engine.getFolderThumbnails(ShareFixture::vpath("pub/.."), "bob", collectInto(&delivered, "bob"));
    QCOMPARE(delivered.rows.size(), 2);
}

void tst_Thumbnails::ownerGetsThemLocally()
{
    // Collected under a lock: the signal comes from the engine's pool.
    std::mutex mutex;
    QList<QPair<QString, QImage>> own;
    connect(&m_files->engine, &WFtpEngine::signalOwnThumbnail, this,
            [&](const QString &folder, const QString &, const QImage &picture) {
                const std::lock_guard<std::mutex> lock(mutex);
                own << qMakePair(folder, picture);
            }, Qt::DirectConnection);
    Delivered delivered;
    m_files->engine.getFolderThumnailsStartThread(ShareFixture::vpath("pub"), "alice", collectInto(&delivered, "alice"));
    m_files->engine.thumbnailScheduler().waitForDone();
    const std::lock_guard<std::mutex> lock(mutex);
    QCOMPARE(own.size(), 2);
    QCOMPARE(own.at(0).first, ShareFixture::vpath("pub"));
    QCOMPARE(own.at(0).second.size(), QSize(100, 100));
    QVERIFY(delivered.taken().isEmpty());
}

void tst_Thumbnails::hugeHeadersAreSkipped()
{
    const QString huge = m_files->docs() + "/pub/huge.png";
    QVERIFY(ShareFixture::writeFile(huge, pngClaiming(30000, 30000)));
    QImageReader reader(huge);
    QCOMPARE(reader.size(), QSize(30000, 30000));
    QVERIFY(ThumbnailMaker::getImageThumnail(huge).isNull());
    Delivered delivered;
    m_files->engine.getFolderThumbnails(ShareFixture::vpath("pub"), "bob", collectInto(&delivered, "bob"));
    QCOMPARE(delivered.rows.size(), 2);
}

void tst_Thumbnails::concurrentListingsShareTwoThreads()
{
    Delivered delivered;
    for (int i = 0; i < 20; ++i) {
        const QString asker = QStringLiteral("user%1").arg(i);
        m_files->grant(asker, "pub", {"1"});
        m_files->engine.getFolderThumnailsStartThread(ShareFixture::vpath("pub"), asker, collectInto(&delivered, asker));
        // The same asker again while its task waits: folded into it.
        m_files->engine.getFolderThumnailsStartThread(ShareFixture::vpath("pub"), asker, collectInto(&delivered, asker));
    }
    m_files->engine.thumbnailScheduler().waitForDone();
    QVERIFY(delivered.mostRunning <= ThumbnailScheduler::MaxThreads);
    QMap<QString, int> perAsker;
    for (const auto &entry : delivered.taken())
        ++perAsker[entry.first];
    QCOMPARE(perAsker.size(), 20);
    for (int count : perAsker)
        QCOMPARE(count, 2);
}

WIVORA_TEST_GUILESS_MAIN(tst_Thumbnails)
#include "tst_Thumbnails.moc"

// The download writer on real files: chunks given in any order land at their
// offsets, a gap or an overlap is an error rather than a silent hole, room is
// reserved ahead and given back at the end, and a disc that refuses the bytes
// fails the file instead of passing as written.
#include "FileBytes.h"
#include "QtTestSuite.h"
#include "RandomBytes.h"

#include <FileWriter.h>

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int Chunk = 64 * 1024;

// The file at path, opened for writing as a download's temporary is.
struct OpenFile
{
    explicit OpenFile(const QString &path, int flags = O_WRONLY | O_CREAT)
        : fd(::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC, 0600))
    {
    }
    ~OpenFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
    const int fd;
};

qint64 allocatedBytes(int fd)
{
    struct stat info {};
    return ::fstat(fd, &info) == 0 ? qint64(info.st_blocks) * 512 : -1;
}

} // namespace

class tst_FileWriter : public QObject
{
    Q_OBJECT

private slots:
    void chunksLandInOffsetOrder_data();
    void chunksLandInOffsetOrder();
    void gapsAndOverlapsFail();
    void refusedBytesFailTheFile_data();
    void refusedBytesFailTheFile();
    void reservedRoomIsGivenBack();
};

void tst_FileWriter::chunksLandInOffsetOrder_data()
{
    QTest::addColumn<QString>("order");
    QTest::addColumn<int>("kept");
    QTest::addColumn<int>("size");

    QTest::newRow("in order") << "forward" << 0 << 40 * Chunk + 123;
    QTest::newRow("backwards") << "backward" << 0 << 40 * Chunk + 123;
    QTest::newRow("shuffled after kept bytes") << "shuffled" << 5 * Chunk + 7 << 40 * Chunk;
    // More than the writer queues: the receiving side waits, nothing is lost.
    QTest::newRow("beyond the queue") << "forward" << 0
                                      << int(FileWriter::MaxQueuedBytes + FileWriter::MaxQueuedBytes / 2);
}

void tst_FileWriter::chunksLandInOffsetOrder()
{
    QFETCH(QString, order);
    QFETCH(int, kept);
    QFETCH(int, size);

    QTemporaryDir folder;
    const QString path = folder.filePath("film.bin");
    const QByteArray source = randomBytes(size, 7);
    QVERIFY(writeBytes(path, source.left(kept)));

    std::vector<qint64> offsets;
    for (qint64 at = kept; at < size; at += Chunk)
        offsets.push_back(at);
    if (order == "backward")
        std::reverse(offsets.begin(), offsets.end());
    else if (order == "shuffled")
        std::shuffle(offsets.begin(), offsets.end(), std::mt19937(11));

    FileWriter writer;
    // Two files in turn through the same writer, as a transfer's do.
    for (int file = 0; file < 2; ++file) {
        if (file == 1)
            QVERIFY(writeBytes(path, source.left(kept)));
        OpenFile out(path);
        QVERIFY(out.fd >= 0);
        writer.start(out.fd, kept, size);
        for (const qint64 at : offsets)
            QVERIFY(writer.write(at, source.mid(int(at), Chunk)));
        QVERIFY2(writer.finish(), qPrintable(writer.errorString()));
        QCOMPARE(writer.writtenEnd(), qint64(size));
        QCOMPARE(QFileInfo(path).size(), qint64(size));
        QVERIFY(readBytes(path) == source);
    }
}

void tst_FileWriter::gapsAndOverlapsFail()
{
    QTemporaryDir folder;
    const QByteArray source = randomBytes(8 * Chunk, 3);
    FileWriter writer;

    OpenFile gap(folder.filePath("gap"));
    writer.start(gap.fd, 0, source.size());
    QVERIFY(writer.write(0, source.left(Chunk)));
    QVERIFY(writer.write(2 * Chunk, source.mid(2 * Chunk, Chunk)));
    QVERIFY(!writer.finish());
    QVERIFY(!writer.errorString().isEmpty());
    // Only the bytes before the gap are there.
    QCOMPARE(writer.writtenEnd(), qint64(Chunk));

    const struct
    {
        const char *name;
        qint64 first, second;
    } overlaps[] = {{"same offset", Chunk, Chunk},
                    {"into the next", 2 * Chunk, 2 * Chunk - 1},
                    {"into one before", 2 * Chunk, 2 * Chunk + 1},
                    {"before the written end", 0, 10}};
    for (const auto &overlap : overlaps) {
        OpenFile out(folder.filePath(overlap.name));
        writer.start(out.fd, 0, source.size());
        QVERIFY2(writer.write(overlap.first, source.mid(int(overlap.first), Chunk)), overlap.name);
        if (overlap.first == 0)
            QTRY_COMPARE(writer.writtenEnd(), qint64(Chunk));
        QVERIFY2(!writer.write(overlap.second, source.mid(int(overlap.second), Chunk)), overlap.name);
        QVERIFY2(!writer.finish(), overlap.name);
    }
}

void tst_FileWriter::refusedBytesFailTheFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("flags");
    QTest::addColumn<QString>("reason");

    // Every write there fails as on a full disc.
    QTest::newRow("full disc") << "/dev/full" << int(O_WRONLY) << QString::fromLocal8Bit(strerror(ENOSPC));
    QTest::newRow("read-only file") << "" << int(O_RDONLY | O_CREAT) << QString::fromLocal8Bit(strerror(EBADF));
}

void tst_FileWriter::refusedBytesFailTheFile()
{
    QFETCH(QString, path);
    QFETCH(int, flags);
    QFETCH(QString, reason);

    QTemporaryDir folder;
    OpenFile out(path.isEmpty() ? folder.filePath("readonly") : path, flags);
    QVERIFY(out.fd >= 0);
    const QByteArray source = randomBytes(4 * Chunk, 5);
    FileWriter writer;
    writer.start(out.fd, 0, source.size());
    QVERIFY(writer.write(0, source.left(Chunk)));
    QTRY_VERIFY(!writer.errorString().isEmpty());
    // Once the error is known, every later chunk is refused.
    QVERIFY(!writer.write(Chunk, source.mid(Chunk, Chunk)));
    QVERIFY(!writer.finish());
    QVERIFY2(writer.errorString().contains(reason), qPrintable(writer.errorString()));

    // The next file through the same writer starts clean.
    OpenFile next(folder.filePath("next"));
    writer.start(next.fd, 0, source.size());
    QVERIFY(writer.write(0, source));
    QVERIFY2(writer.finish(), qPrintable(writer.errorString()));
    QVERIFY(readBytes(folder.filePath("next")) == source);
}

void tst_FileWriter::reservedRoomIsGivenBack()
{
    QTemporaryDir folder;
    const QString path = folder.filePath("short.bin");
    OpenFile out(path);
    const qint64 announced = 48 * 1024 * 1024;
    FileWriter writer;
    writer.start(out.fd, 0, announced);
    const QByteArray first = randomBytes(Chunk, 9);
    QVERIFY(writer.write(0, first));
    QTRY_COMPARE(writer.writtenEnd(), qint64(Chunk));
    if (allocatedBytes(out.fd) < announced)
        QSKIP("this file system reserves no room ahead");
    // The size stays that of the bytes written while room is reserved.
    QCOMPARE(QFileInfo(path).size(), qint64(Chunk));

    // The source turned out shorter than announced.
    QVERIFY(writer.finish());
    QCOMPARE(QFileInfo(path).size(), qint64(Chunk));
    QVERIFY(allocatedBytes(out.fd) < announced / 2);
    QVERIFY(readBytes(path) == first);
}

WIVORA_TEST_GUILESS_MAIN(tst_FileWriter)
#include "tst_FileWriter.moc"

// Received files put in place a batch at a time on real files: each
// reported once in place, an existing target replaced whole with its
// permissions kept, and one that cannot be replaced failed alone.
#include "QtTestSuite.h"
#include "ShareFixture.h"

#include <FileCommitter.h>

#include <QMutex>
#include <QtTest>

#include <sys/stat.h>

class tst_FileCommitter : public QObject
{
    Q_OBJECT

private slots:
    void batchIsInPlaceWhenReported();
};

void tst_FileCommitter::batchIsInPlaceWhenReported()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString old = folder.filePath("old.txt");
    QVERIFY(ShareFixture::writeFile(old, "the old text, longer than the new"));
    QVERIFY(QFile::setPermissions(old, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QVERIFY(QDir().mkpath(folder.filePath("taken/inside")));
    QVERIFY(QFile::link(folder.filePath("elsewhere.txt"), folder.filePath("link.txt")));

    std::vector<FileCommitter::Received> files;
    for (int i = 0; i < 100; ++i)
        files.push_back({folder.filePath(QString("new%1").arg(i)), QByteArray(i * 37, char('a' + i % 26))});
    files.push_back({old, "new"});
    files.push_back({folder.filePath("taken"), "a folder holds the name"});
    files.push_back({folder.filePath("link.txt"), "replaces the link"});
    files.push_back({folder.filePath("deeper/made.txt"), "its folder is made"});

    QMutex mutex;
    QMap<QString, bool> reported;
    QMap<QString, QByteArray> seen;
    {
        FileCommitter committer;
        committer.commitBatch(files, [&](const QString &target, bool committed) {
            // What the report stands for is there when it is made.
            const QByteArray now = ShareFixture::readFile(target);
            QMutexLocker lock(&mutex);
            reported.insert(target, committed);
            seen.insert(target, now);
        });
        committer.waitForAll();
    }
    QCOMPARE(reported.size(), int(files.size()));
    for (const auto &file : files) {
        const bool placeable = !file.target.endsWith("/taken");
        QCOMPARE(reported.value(file.target), placeable);
        if (placeable) {
            QCOMPARE(seen.value(file.target), file.data);
            QCOMPARE(ShareFixture::readFile(file.target), file.data);
        }
    }
    QVERIFY(QFileInfo(folder.filePath("taken/inside")).isDir());
    QVERIFY(!QFileInfo(folder.filePath("link.txt")).isSymLink());
    QVERIFY(!QFile::exists(folder.filePath("elsewhere.txt")));
    struct stat replaced {};
    QCOMPARE(::stat(QFile::encodeName(old).constData(), &replaced), 0);
    QCOMPARE(replaced.st_mode & 07777, mode_t(0600));
    // Nothing half-written stays.
    QCOMPARE(QDir(folder.path()).entryList({".wftp-part-*"}, QDir::Files | QDir::Hidden), QStringList());
}

WIVORA_TEST_GUILESS_MAIN(tst_FileCommitter)
#include "tst_FileCommitter.moc"

// The server's data folder kept private: folders 0700, files 0600.

#include "QtTestSuite.h"
#include "FileMode.h"
#include "PrivateDataFolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

bool makeFile(const QString &path, mode_t mode)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("x") == 1
        && ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

} // namespace

class tst_PrivateDataFolder : public QObject
{
    Q_OBJECT

private slots:
    void foldersAndFilesBecomePrivate_data()
    {
        QTest::addColumn<bool>("existing");
        QTest::newRow("made by the server") << false;
        QTest::newRow("made before, readable by everyone") << true;
    }
    void foldersAndFilesBecomePrivate()
    {
        QFETCH(bool, existing);
        QTemporaryDir root;
        const QString data = root.filePath(QStringLiteral("a/b/data"));
        if (existing) {
            QVERIFY(makeFile(data + QStringLiteral("/wivora-server.sqlite"), 0644));
            QVERIFY(makeFile(data + QStringLiteral("/dumps/one.dmp"), 0666));
            QVERIFY(::chmod(QFile::encodeName(data + QStringLiteral("/dumps")).constData(), 0777) == 0);
            QVERIFY(::chmod(QFile::encodeName(data).constData(), 0755) == 0);
        }

        QString error;
        QVERIFY2(PrivateDataFolder::prepare(data, &error), qPrintable(error));

        QCOMPARE(modeOf(data), 0700);
        if (existing) {
            QCOMPARE(modeOf(data + QStringLiteral("/wivora-server.sqlite")), 0600);
            QCOMPARE(modeOf(data + QStringLiteral("/dumps")), 0700);
            QCOMPARE(modeOf(data + QStringLiteral("/dumps/one.dmp")), 0600);
        }
    }

    void symbolicLinksAreNeitherFollowedNorChanged()
    {
        QTemporaryDir root;
        const QString outside = root.filePath(QStringLiteral("outside"));
        QVERIFY(makeFile(outside + QStringLiteral("/shared.txt"), 0644));
        QVERIFY(::chmod(QFile::encodeName(outside).constData(), 0755) == 0);
        const QString data = root.filePath(QStringLiteral("data"));
        QVERIFY(QDir().mkpath(data));
        QVERIFY(QFile::link(outside, data + QStringLiteral("/linked-folder")));
        QVERIFY(QFile::link(outside + QStringLiteral("/shared.txt"), data + QStringLiteral("/linked-file")));

        QString error;
        QVERIFY2(PrivateDataFolder::prepare(data, &error), qPrintable(error));

        QCOMPARE(modeOf(outside), 0755);
        QCOMPARE(modeOf(outside + QStringLiteral("/shared.txt")), 0644);
    }

    void aFolderThatCannotBeUsedSaysWhy_data()
    {
        QTest::addColumn<QString>("relativePath");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a file where the folder should be") << "file" << "is not a folder";
        QTest::newRow("a folder below a file") << "file/data" << "not a directory";
    }
    void aFolderThatCannotBeUsedSaysWhy()
    {
        QFETCH(QString, relativePath);
        QFETCH(QString, reason);
        QTemporaryDir root;
        QVERIFY(makeFile(root.filePath(QStringLiteral("file")), 0600));

        QString error;
        QVERIFY(!PrivateDataFolder::prepare(root.filePath(relativePath), &error));
        QVERIFY2(error.contains(reason) && error.contains(root.filePath(relativePath)), qPrintable(error));
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_PrivateDataFolder)
#include "tst_PrivateDataFolder.moc"

#include "QtTestSuite.h"
#include "FileMode.h"
#include <PrivateFiles.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

bool makeWithMode(const QString &path, bool folder, int mode)
{
    if (folder ? !QDir().mkpath(path) : !QFile(path).open(QIODevice::WriteOnly))
        return false;
    return ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

// The process's umask for a scope.
class Umask
{
public:
    explicit Umask(int mask) : m_previous(::umask(mode_t(mask))) {}
    ~Umask() { ::umask(m_previous); }

private:
    const mode_t m_previous;
};

} // namespace

class tst_PrivateFiles : public QObject
{
    Q_OBJECT

private slots:
    void makeFolder_data();
    void makeFolder();
    void write_data();
    void write();
    void repair_data();
    void repair();
};

void tst_PrivateFiles::makeFolder_data()
{
    QTest::addColumn<QStringList>("existing"); // "<path> <octal mode>", folders
    QTest::addColumn<QString>("made");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("modes"); // "<path> <octal mode>" afterwards

    QTest::newRow("missing folders are each made owner-only")
        << QStringList{"data 755"} << "data/wivora/pluginsstorage/alice" << true
        << QStringList{"data 755", "data/wivora 700", "data/wivora/pluginsstorage 700",
                       "data/wivora/pluginsstorage/alice 700"};
    QTest::newRow("an existing loose folder is made owner-only")
        << QStringList{"data 755", "data/wivora 755"} << "data/wivora" << true << QStringList{"data/wivora 700"};
    QTest::newRow("a file in the way")
        << QStringList{"data 755", "data/wivora file"} << "data/wivora/alice" << false
        << QStringList{"data/wivora 644"};
}

void tst_PrivateFiles::makeFolder()
{
    QFETCH(QStringList, existing);
    QFETCH(QString, made);
    QFETCH(bool, result);
    QFETCH(QStringList, modes);

    QTemporaryDir root;
    const Umask loose(022);
    for (const QString &entry : existing) {
        const QStringList parts = entry.split(QLatin1Char(' '));
        const bool folder = parts.at(1) != QLatin1String("file");
        QVERIFY(makeWithMode(root.filePath(parts.at(0)), folder, folder ? parts.at(1).toInt(nullptr, 8) : 0644));
    }
    QCOMPARE(PrivateFiles::makeFolder(root.filePath(made)), result);
    for (const QString &entry : modes) {
        const QStringList parts = entry.split(QLatin1Char(' '));
        QCOMPARE(QString::number(modeOf(root.filePath(parts.at(0))), 8), parts.at(1));
    }
}

void tst_PrivateFiles::write_data()
{
    QTest::addColumn<int>("existingMode"); // -1: no file yet, -2: a link to a file elsewhere, -3: a dangling link
    QTest::addColumn<int>("umask");

    QTest::newRow("new file, usual umask") << -1 << 022;
    QTest::newRow("new file, no umask at all") << -1 << 0;
    QTest::newRow("existing file readable by all") << 0644 << 022;
    QTest::newRow("existing file writable by all") << 0666 << 0;
    // A link in the file's place is replaced; what it points at stays.
    QTest::newRow("a link to a file elsewhere") << -2 << 022;
    QTest::newRow("a dangling link") << -3 << 022;
}

void tst_PrivateFiles::write()
{
    QFETCH(int, existingMode);
    QFETCH(int, umask);

    QTemporaryDir root;
    const QString path = root.filePath(QStringLiteral("account.acc"));
    const Umask mask(umask);
    if (existingMode >= 0)
        QVERIFY(makeWithMode(path, false, existingMode));
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("target"));
    if (existingMode == -2)
        QVERIFY(makeWithMode(target, false, 0644));
    if (existingMode <= -2)
        QVERIFY(QFile::link(target, path));

    QVERIFY(PrivateFiles::write(path, "sealed text"));
    QCOMPARE(QString::number(modeOf(path), 8), QStringLiteral("600"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("sealed text"));
    // Nothing else is left in the folder (no temporary file).
    QCOMPARE(QDir(root.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"account.acc"});
    QVERIFY(!QFileInfo(path).isSymLink());
    QCOMPARE(QFileInfo::exists(target), existingMode == -2);
    QCOMPARE(QFileInfo(target).size(), 0);
}

void tst_PrivateFiles::repair_data()
{
    QTest::addColumn<bool>("recursive");
    QTest::addColumn<QStringList>("modes"); // "<path> <octal mode>" afterwards

    // The tree: store 755 { account.acc 644, run.sh 755, plugin 755 { cache 666 },
    // link -> ../outside 644 }.
    QTest::newRow("recursive: every folder and file below")
        << true
        << QStringList{"store 700", "store/account.acc 600", "store/run.sh 700", "store/plugin 700",
                       "store/plugin/cache 600", "outside 644"};
    QTest::newRow("not recursive: the folder alone")
        << false
        << QStringList{"store 700", "store/account.acc 644", "store/plugin 755", "store/plugin/cache 666",
                       "outside 644"};
}

void tst_PrivateFiles::repair()
{
    QFETCH(bool, recursive);
    QFETCH(QStringList, modes);

    QTemporaryDir root;
    QVERIFY(makeWithMode(root.filePath(QStringLiteral("store")), true, 0755));
    QVERIFY(makeWithMode(root.filePath(QStringLiteral("store/plugin")), true, 0755));
    QVERIFY(makeWithMode(root.filePath(QStringLiteral("store/account.acc")), false, 0644));
    QVERIFY(makeWithMode(root.filePath(QStringLiteral("store/run.sh")), false, 0755));
    QVERIFY(makeWithMode(root.filePath(QStringLiteral("store/plugin/cache")), false, 0666));
    QVERIFY(makeWithMode(root.filePath(QStringLiteral("outside")), false, 0644));
    QVERIFY(QFile::link(QStringLiteral("../outside"), root.filePath(QStringLiteral("store/link"))));

    PrivateFiles::repair(root.filePath(QStringLiteral("store")), recursive);

    for (const QString &entry : modes) {
        const QStringList parts = entry.split(QLatin1Char(' '));
        QCOMPARE(QString::number(modeOf(root.filePath(parts.at(0))), 8), parts.at(1));
    }
}

WIVORA_TEST_GUILESS_MAIN(tst_PrivateFiles)
#include "tst_PrivateFiles.moc"

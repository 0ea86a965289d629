#include "QtTestSuite.h"
#include "FilesEditor.h"
#include "FilesList.h"
#include "WMailFiles.h"

#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(contents);
}

} // namespace

class tst_FilesEditor : public QObject
{
    Q_OBJECT

private slots:
    // Only existing regular files are listed, each once; the total follows.
    void addingFiles()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("a"), QByteArray(1025, 'a'));
        writeFile(dir.filePath("b"), QByteArray(1024, 'b'));
        QDir(dir.path()).mkdir("folder");
        FilesEditor editor;
        editor.slotAddFiles({dir.filePath("a"), dir.filePath("a"), dir.filePath("gone"), dir.filePath("folder")});
        QCOMPARE(editor.list()->topLevelItemCount(), 1);
        QCOMPARE(editor.totalText(), QStringLiteral("1 KB"));

        // A drop adds through the same road.
        QMimeData drop;
        drop.setUrls({QUrl::fromLocalFile(dir.filePath("b")), QUrl::fromLocalFile(dir.filePath("a"))});
        QVERIFY(editor.list()->model()->dropMimeData(&drop, Qt::CopyAction, 0, 0, QModelIndex()));
        QCOMPARE(editor.list()->topLevelItemCount(), 2);
        QCOMPARE(editor.totalText(), QStringLiteral("2 KB"));
        QMimeData noUrls;
        noUrls.setText("x");
        QVERIFY(editor.list()->model()->dropMimeData(&noUrls, Qt::CopyAction, 0, 0, QModelIndex()));
        QCOMPARE(editor.list()->topLevelItemCount(), 2);
    }

    // Sending emits the files as they are when sent, then empties the list;
    // a file removed since it was listed is left out.
    void sendingFiles()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("keep.txt"), "first");
        writeFile(dir.filePath("gone.txt"), "second");
        FilesEditor editor;
        editor.slotAddFiles({dir.filePath("keep.txt"), dir.filePath("gone.txt")});
        QVERIFY(QFile::remove(dir.filePath("gone.txt")));
        writeFile(dir.filePath("keep.txt"), "changed");
        QSignalSpy sent(&editor, &FilesEditor::signalNewContentRequest);
        editor.on_actionSend_files_triggered();
        QTRY_COMPARE(sent.size(), 1);
        QCOMPARE(sent.at(0).at(1).toString(), QStringLiteral("files"));
        const QByteArray data = sent.at(0).at(0).toByteArray();
        QCOMPARE(WMailFiles::readPreview(WMailFiles::preview(data)).size(), 1);
        WMailFiles::Entry entry;
        QVERIFY(WMailFiles::readEntry(data, 0, &entry));
        QCOMPARE(entry.name, QStringLiteral("keep.txt"));
        QCOMPARE(entry.contents, QByteArray("changed"));
        QCOMPARE(editor.list()->topLevelItemCount(), 0);
        QCOMPARE(editor.totalText(), QStringLiteral("0 bytes"));

        editor.on_actionSend_files_triggered();
        QTest::qWait(50);
        QCOMPARE(sent.size(), 1);
    }
};

WIVORA_TEST_MAIN(tst_FilesEditor)
#include "tst_FilesEditor.moc"

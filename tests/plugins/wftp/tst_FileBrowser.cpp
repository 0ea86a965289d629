// The file browser on real discs: alice's own disc read by her engine, bob's
// disc reached through alice's listing cache and request client, answered by
// bob's plug-in on real files in a temporary folder. Dialogs are answered
// like a user would; transfers really run.

#include "QtTestSuite.h"
#include "ModalAnswer.h"
#include "ShareFixture.h"
#include "TestHost.h"

#include <DiscItemsMimeData.h>
#include <FileList.h>
#include <FileListIconView.h>
#include <ShareFolderWizard.h>
#include <WFtp.h>
#include <uiFolderPreferences.h>
#include <wpSelectFolder.h>
#include <uiFileBrowser.h>

#include <PSettings.h>

#include <QAbstractButton>
#include <QAction>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QUrl>

#include <chrono>
#include <memory>
#include <thread>

Q_DECLARE_METATYPE(QTreeWidgetItem *)

namespace {

const QString Own = QStringLiteral("vls/alice/docs/root");
const QString Bobs = QStringLiteral("vls/bob/docs/root");

// bob's client, whose answers can be held back like those of a slow contact.
class SlowHost : public TestHost
{
public:
    using TestHost::TestHost;
    void sendCommand(const KvrConfig &record, const QString &receiver, bool serverConnection,
                     const QString &connectionID) override
    {
        if (const int delay = replyDelayMs.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        TestHost::sendCommand(record, receiver, serverConnection, connectionID);
    }
    std::atomic<int> replyDelayMs{0};
};

// alice's client: like the program's, a wait for a reply on the GUI thread
// keeps its events flowing.
class EventfulHost : public TestHost
{
public:
    using TestHost::TestHost;
    KvrConfig waitInputCommand(const QString &id, int timeoutMs) override
    {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            return TestHost::waitInputCommand(id, timeoutMs);
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            const KvrConfig reply = takeInputCommand(id);
            if (!reply.isEmpty() || clock.elapsed() >= timeoutMs)
                return reply;
            QEventLoop loop;
            QTimer::singleShot(10, &loop, &QEventLoop::quit);
            loop.exec();
        }
    }
};

QByteArray jpeg(const QColor &colour)
{
    QImage image(160, 120, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG");
    return bytes;
}

// A small landscape: sky, sun and a hill in the given colour.
QByteArray photograph(const QColor &hill)
{
    QImage image(320, 240, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient sky(0, 0, 0, 240);
    sky.setColorAt(0, QColor(90, 150, 220));
    sky.setColorAt(1, QColor(250, 210, 160));
    painter.fillRect(image.rect(), sky);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 230, 120));
    painter.drawEllipse(QPointF(230, 70), 30, 30);
    painter.setBrush(hill);
    painter.drawEllipse(QRectF(-80, 150, 480, 220));
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG");
    return bytes;
}

// Both discs hold: song.mp3 (476 bytes), readme.xyz (1024 bytes), the
// folder sub (with inner.txt) and the shared folder pub.
void fillDisc(const QString &folder)
{
    QDir().mkpath(folder + QStringLiteral("/sub"));
    QDir().mkpath(folder + QStringLiteral("/pub"));
    ShareFixture::writeFile(folder + QStringLiteral("/song.mp3"), QByteArray(476, 's'));
    ShareFixture::writeFile(folder + QStringLiteral("/readme.xyz"), QByteArray(1024, 'r'));
    ShareFixture::writeFile(folder + QStringLiteral("/sub/inner.txt"), "inner");
}

class BrowserFixture
{
public:
    BrowserFixture()
        : alice(QStringLiteral("alice"), &network), bob(QStringLiteral("bob"), &network),
          alicePlugin(std::make_unique<WFtp>()), bobPlugin(std::make_unique<WFtp>())
    {
        fillDisc(path("alice"));
        fillDisc(path("bob"));
        QDir().mkpath(path("local"));
        alice.addContact(QStringLiteral("bob"));
        bob.addContact(QStringLiteral("alice"));
        alice.setPlugin(alicePlugin.get());
        bob.setPlugin(bobPlugin.get());
        WFtpEngine &bobs = *bobPlugin->commandParser().engine();
        const QString bobDisc = bobs.addSharedDisc(path("bob"), QStringLiteral("docs"));
        bobs.addSharedFolder(bobDisc, QStringLiteral("/pub"));
        bobs.addPermittedUser(ShareFixture::record(QStringLiteral("alice"), {"1", "1", "1"}), bobDisc,
                              QStringLiteral("root"));
        WFtpEngine &own = *main().engine();
        const QString ownDisc = own.addSharedDisc(path("alice"), QStringLiteral("docs"));
        own.addSharedFolder(ownDisc, QStringLiteral("/pub"));
        own.addPermittedUser(ShareFixture::record(QStringLiteral("carol"), {"1"}), ownDisc, QStringLiteral("pub"));

        browser = std::make_unique<uiFileBrowser>(main(), alicePlugin->transfers());
        // As the sharing page routes them: on the thread they arrive on.
        uiFileBrowser *const shown = browser.get();
        QObject::connect(
            &main(), &WFtpMain::fileThumbnail, shown,
            [shown](const QString &folder, const QString &name, const QImage &picture) {
                shown->setFileThumbnail(folder, name, picture);
            },
            Qt::DirectConnection);
        browser->discPaths = QStringList{Own, Bobs};
        browser->resize(760, 420);
        browser->show();
    }
    ~BrowserFixture()
    {
        browser.reset();
        alicePlugin->transfers().waitForDone();
        alice.waitIdle();
        bob.waitIdle();
    }

    QString path(const QString &tail) const { return root.path() + QLatin1Char('/') + tail; }
    WFtpMain &main() { return alicePlugin->controller(); }

    void open(const QString &location, bool reload = false)
    {
        browser->currentPath = location;
        browser->requestListDirectory(reload);
    }
    // The texts of the view that is current, in view order.
    QStringList names() const
    {
        QStringList texts;
        if (browser->isIconViewCurrent()) {
            for (int row = 0; row < browser->iconView()->count(); ++row)
                texts << browser->iconView()->item(row)->text();
        } else {
            for (int row = 0; row < browser->treeWidget()->topLevelItemCount(); ++row)
                texts << browser->treeWidget()->topLevelItem(row)->text(0);
        }
        return texts;
    }
    QStringList paths() const
    {
        QStringList found;
        for (int row = 0; row < browser->treeWidget()->topLevelItemCount(); ++row)
            found << browser->treeWidget()->topLevelItem(row)->data(0, uiFileBrowser::PathRole).toString();
        for (int row = 0; row < browser->iconView()->count(); ++row)
            found << browser->iconView()->item(row)->data(uiFileBrowser::PathRole).toString();
        return found;
    }
    // By the name shown, or by path (a disc at "/" shows its owner's name for it).
    QTreeWidgetItem *treeItem(const QString &name) const
    {
        for (int row = 0; row < browser->treeWidget()->topLevelItemCount(); ++row) {
            QTreeWidgetItem *item = browser->treeWidget()->topLevelItem(row);
            if (item->text(0) == name || item->data(0, uiFileBrowser::PathRole).toString() == name)
                return item;
        }
        return nullptr;
    }
    QListWidgetItem *iconItem(const QString &name) const
    {
        for (int row = 0; row < browser->iconView()->count(); ++row) {
            QListWidgetItem *item = browser->iconView()->item(row);
            if (item->text() == name || item->data(uiFileBrowser::PathRole).toString() == name)
                return item;
        }
        return nullptr;
    }
    void select(const QStringList &names)
    {
        browser->treeWidget()->clearSelection();
        browser->iconView()->clearSelection();
        for (const QString &name : names) {
            if (browser->isIconViewCurrent())
                iconItem(name)->setSelected(true);
            else
                treeItem(name)->setSelected(true);
        }
    }
    QAction *action(const char *name) const { return browser->findChild<QAction *>(QString::fromLatin1(name)); }
    void trigger(const char *name) { action(name)->trigger(); }
    void iconView() { trigger("actionIcon_View"); }

    bool transfersDone()
    {
        const auto transfers = alicePlugin->transfers().transfers();
        for (const auto &transfer : transfers) {
            if (!transfer->hasReturned())
                return false;
        }
        return true;
    }
    int transferCount() { return alicePlugin->transfers().transfers().size(); }

    QTemporaryDir root;
    TestNetwork network;
    EventfulHost alice;
    SlowHost bob;
    std::unique_ptr<WFtp> alicePlugin;
    std::unique_ptr<WFtp> bobPlugin;
    std::unique_ptr<uiFileBrowser> browser;
};

QImage iconImage(const QIcon &icon)
{
    return icon.pixmap(64, 64).toImage().convertToFormat(QImage::Format_ARGB32);
}

QImage asIcon(const QImage &image)
{
    return iconImage(QIcon(QPixmap::fromImage(image)));
}

// Tests answer within a scope of their own, so an answer a test did not use
// cannot take a later test's dialog.
void answerText(QObject *scope, const QString &text)
{
    answerModal<QInputDialog>(scope, [text](QInputDialog *input) {
        input->setTextValue(text);
        input->accept();
    });
}

void answerQuestion(QObject *scope, QMessageBox::StandardButton button)
{
    answerModal<QMessageBox>(scope, [button](QMessageBox *box) { box->button(button)->click(); });
}

// Picks path in the next file dialog; `meanwhile` runs first, while it is up.
void answerFile(QObject *scope, const QString &path, const std::function<void()> &meanwhile = {})
{
    answerModal<QFileDialog>(scope, [path, meanwhile](QFileDialog *dialog) {
        if (meanwhile)
            meanwhile();
        // Typed, as a user would: selectFile leaves a focused name field alone.
        dialog->setDirectory(QFileInfo(path).absolutePath());
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(QFileInfo(path).fileName());
        static_cast<QDialog *>(dialog)->accept(); // QFileDialog's own accept is protected
    });
}

// A drop at `at` on the view, with the events Qt's drag manager sends.
bool sendDrop(QAbstractItemView *view, const QPoint &at, const QMimeData *data)
{
    QWidget *viewport = view->viewport();
    QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    QDragMoveEvent move(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &move);
    QDropEvent drop(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &drop);
    return drop.isAccepted();
}

bool saveScreenshot(QWidget *widget, const QString &name)
{
    QDir().mkpath(QStringLiteral(SCREENSHOT_FOLDER));
    QCoreApplication::processEvents(); // the layout follows the texts just set
    return widget->grab().save(QStringLiteral(SCREENSHOT_FOLDER "/") + name + QStringLiteral(".png"));
}

} // namespace

class tst_FileBrowser : public QObject
{
    Q_OBJECT

private slots:
    void sizeTexts_data();
    void sizeTexts();
    void upLocation_data();
    void upLocation();
    void iconForKey_data();
    void iconForKey();
    void pictures_data();
    void pictures();

    void discList_data();
    void discList();
    void listing_data();
    void listing();
    void thumbnails();
    void thumbnailsIgnored();
    void contactThumbnails();
    void relistDuringSlowListing_data();
    void relistDuringSlowListing();
    void dropData();

    void newFolder_data();
    void newFolder();
    void deleteEntries_data();
    void deleteEntries();
    void rename();
    void stopSharing();
    void shareFolder();
    void folderProperties_data();
    void folderProperties();
    void download();
    void downloadAtDiscList();
    void upload_data();
    void upload();
    void drops();
    void dropsIgnoredAtDiscList();
    void dragOutOfContactsFolder_data();
    void dragOutOfContactsFolder();
    void nothingToDragOutOfOwnFolders();
    void keys_data();
    void keys();
    void refusalsSayWhy_data();
    void refusalsSayWhy();

    void screenshots();
};

void tst_FileBrowser::sizeTexts_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("size");
    QTest::addColumn<QString>("status");
    QTest::newRow("0") << qint64(0) << "0 bytes" << "3 item(s), 0 KB";
    QTest::newRow("1024") << qint64(1024) << "1024 bytes" << "3 item(s), 1 KB";
    QTest::newRow("1025") << qint64(1025) << "1 KB" << "3 item(s), 1 KB";
    QTest::newRow("1500") << qint64(1500) << "1 KB" << "3 item(s), 1 KB";
    QTest::newRow("1 MiB") << qint64(1048576) << "1024 KB" << "3 item(s), 1024 KB";
    QTest::newRow("1 MiB + 1") << qint64(1048577) << "1024 KB" << "3 item(s), 1024 KB";
    QTest::newRow("1025 KiB") << qint64(1049600) << "1 MB" << "3 item(s), 1 MB";
    QTest::newRow("1025 KiB + 1") << qint64(1049601) << "1 MB" << "3 item(s), 1 MB";
    QTest::newRow("5 GB") << qint64(5000000000) << "4768 MB" << "3 item(s), 4768 MB";
}

void tst_FileBrowser::sizeTexts()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, size);
    QFETCH(QString, status);
    QCOMPARE(uiFileBrowser::formatSize(bytes), size);
    QCOMPARE(uiFileBrowser::statusText(3, bytes), status);
}

void tst_FileBrowser::upLocation_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::newRow("disc list") << "/" << "/";
    QTest::newRow("disc root") << Bobs << "/";
    QTest::newRow("folder") << "vls/a/D/root/x" << "vls/a/D/root";
    QTest::newRow("deep folder") << "vls/a/D/root/x/y z" << "vls/a/D/root/x";
}

void tst_FileBrowser::upLocation()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QCOMPARE(uiFileBrowser::parentLocation(from, {Own, Bobs}), to);
}

void tst_FileBrowser::iconForKey_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("resource");
    QTest::newRow("mp3") << "mp3" << ":/ext/Resources/MP3.png";
    QTest::newRow("upper case") << "JPG" << ":/ext/Resources/JPG.png";
    QTest::newRow("directory") << "directory" << ":/ext/Resources/directory.png";
    QTest::newRow("disc") << "disc" << ":/ext/Resources/disc.png";
    QTest::newRow("shared") << "shared" << ":/ext/Resources/shared.png";
    QTest::newRow("unknown") << "xyz" << ":/ext/Resources/file.png";
    QTest::newRow("none") << "" << ":/ext/Resources/file.png";
}

void tst_FileBrowser::iconForKey()
{
    QFETCH(QString, key);
    QFETCH(QString, resource);
    BrowserFixture f;
    const QImage expected(resource);
    QVERIFY(!expected.isNull());
    QCOMPARE(f.browser->iconForKey(key), expected);
    QCOMPARE(f.browser->iconForKey(key), expected); // from the cache
}

// Every picture the file-sharing windows name is in the plug-in's resources.
void tst_FileBrowser::pictures_data()
{
    QTest::addColumn<QString>("resource");
    for (const char *name : {"Download", "upload", "play", "pause", "stop", "newfolder", "clearcompleted", "delete",
                             "up", "refresh", "rename", "sharedfolder", "sharefolder", "iconview", "listview",
                             "addfiles", "copy", "wftp"})
        QTest::newRow(name) << QStringLiteral(":/icons/Resources/%1.png").arg(QLatin1String(name));
    for (const char *name : {"file", "directory", "disc", "shared", "FLAC", "MP3", "MP4", "MPC", "MOV", "OGG", "PDF",
                             "MPEG", "PHP", "JS", "PNG", "PL", "AAC", "RM", "PSD", "ACE", "APE", "RAR", "ARJ", "ASF",
                             "ASP", "AVI", "BMP", "CAB", "RTF", "CGI", "3GP", "TAR", "DAT", "CSS", "TGA", "SWF", "HTML",
                             "XHTML", "DOC", "MPEG4", "TXT", "VCD", "SVCD", "XVID", "VOB", "VQF", "WAV", "GIF", "WMA",
                             "WMV", "WPD", "XML", "TIFF", "AIFF", "DIVX", "7ZIP", "ZIP", "GZIP", "JPG"})
        QTest::newRow(name) << QStringLiteral(":/ext/Resources/%1.png").arg(QLatin1String(name));
}

void tst_FileBrowser::pictures()
{
    QFETCH(QString, resource);
    const QImage image(resource);
    QVERIFY(!image.isNull());
    QVERIFY(image.hasAlphaChannel());
}

void tst_FileBrowser::discList_data()
{
    QTest::addColumn<bool>("icons");
    QTest::newRow("list view") << false;
    QTest::newRow("icon view") << true;
}

void tst_FileBrowser::discList()
{
    QFETCH(bool, icons);
    BrowserFixture f;
    f.open(Bobs);
    QVERIFY(f.action("actionUp")->isEnabled());
    if (icons)
        f.iconView();
    f.trigger("actionUp");

    QCOMPARE(f.browser->currentPath, QStringLiteral("/"));
    QCOMPARE(f.names(), QStringList({"alice: docs", "bob: docs"}));
    QCOMPARE(f.paths(), QStringList({Own, Bobs}));
    for (const QString &disc : {Own, Bobs}) {
        const QString kind = icons ? f.iconItem(disc)->data(uiFileBrowser::KindRole).toString()
                                   : f.treeItem(disc)->data(1, uiFileBrowser::PathRole).toString();
        QCOMPARE(kind, QStringLiteral("disc"));
    }
    for (const char *name : {"actionUp", "actionNew_folder", "actionRename"})
        QVERIFY2(!f.action(name)->isEnabled(), name);
    QVERIFY(f.action("actionDelete")->isEnabled());
    QCOMPARE(f.browser->statusLine(), QStringLiteral("2 item(s), 0 KB"));
}

void tst_FileBrowser::listing_data()
{
    QTest::addColumn<QString>("disc");
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("pubIcon");
    // Only the owner sees which of its folders are shared.
    QTest::newRow("own disc") << Own << "alice" << "shared";
    QTest::newRow("contact's disc") << Bobs << "bob" << "directory";
}

void tst_FileBrowser::listing()
{
    QFETCH(QString, disc);
    QFETCH(QString, local);
    QFETCH(QString, pubIcon);
    BrowserFixture f;
    f.browser->requestListDisc();
    emit f.browser->treeWidget()->itemActivated(f.treeItem(disc), 0);

    QCOMPARE(f.browser->currentPath, disc);
    QCOMPARE(f.names(), QStringList({"pub", "readme.xyz", "song.mp3", "sub"}));
    const qint64 total = 476 + 1024 + QFileInfo(f.path(local + QStringLiteral("/sub"))).size()
        + QFileInfo(f.path(local + QStringLiteral("/pub"))).size();
    QCOMPARE(f.browser->statusLine(), uiFileBrowser::statusText(4, total));
    const struct
    {
        const char *name, *extension, *size, *icon;
    } rows[] = {
        {"song.mp3", "mp3", "476 bytes", "MP3"},
        {"readme.xyz", "xyz", "1024 bytes", "file"},
        {"sub", "directory", nullptr, "directory"},
        {"pub", "directory", nullptr, nullptr},
    };
    for (const auto &row : rows) {
        QTreeWidgetItem *item = f.treeItem(QString::fromLatin1(row.name));
        QVERIFY2(item, row.name);
        QCOMPARE(item->data(0, uiFileBrowser::PathRole).toString(), disc + QLatin1Char('/') + row.name);
        QCOMPARE(item->text(1), QString::fromLatin1(row.extension));
        QCOMPARE(item->data(1, uiFileBrowser::PathRole).toString(), QString::fromLatin1(row.extension));
        if (row.size)
            QCOMPARE(item->text(2), QString::fromLatin1(row.size));
        QVERIFY(QDateTime::fromString(item->text(3), Qt::TextDate).isValid());
        const QString icon = row.icon ? QString::fromLatin1(row.icon) : pubIcon;
        QCOMPARE(iconImage(item->icon(0)), asIcon(QImage(QStringLiteral(":/ext/Resources/%1.png").arg(icon))));
    }
    QVERIFY(f.browser->iconView()->count() == 0); // only the current view is filled

    // Into a folder and back up.
    emit f.browser->treeWidget()->itemActivated(f.treeItem(QStringLiteral("sub")), 0);
    QCOMPARE(f.browser->currentPath, disc + QStringLiteral("/sub"));
    QCOMPARE(f.paths(), QStringList({disc + QStringLiteral("/sub/inner.txt")}));
    f.trigger("actionUp");
    QCOMPARE(f.browser->currentPath, disc);
    QCOMPARE(f.names().size(), 4);
}

// Pictures of the user's own folder are made on a pool thread and replace the
// icons of the icon view; a file that is no picture keeps its type's icon.
void tst_FileBrowser::thumbnails()
{
    BrowserFixture f;
    ShareFixture::writeFile(f.path("alice/photo.jpg"), jpeg(Qt::darkRed));
    ShareFixture::writeFile(f.path("alice/broken.jpg"), "not a picture");
    f.open(Own);
    f.iconView();

    QListWidgetItem *photo = f.iconItem(QStringLiteral("photo.jpg"));
    QVERIFY(photo);
    QCOMPARE(photo->data(uiFileBrowser::KindRole).toString(), QStringLiteral("jpg"));
    QCOMPARE(photo->data(uiFileBrowser::PathRole).toString(), Own + QStringLiteral("/photo.jpg"));
    const QImage typeIcon = asIcon(f.browser->iconForKey(QStringLiteral("jpg")));
    QTRY_VERIFY(iconImage(photo->icon()) != typeIcon);
    const QImage thumbnail = iconImage(photo->icon());
    QCOMPARE(thumbnail.pixelColor(32, 32).red() > 100, true); // the picture's own colour
    QCOMPARE(iconImage(f.iconItem(QStringLiteral("broken.jpg"))->icon()), typeIcon);
    QCOMPARE(iconImage(f.iconItem(QStringLiteral("pub"))->icon()),
             asIcon(f.browser->iconForKey(QStringLiteral("shared"))));
    QCOMPARE(f.iconItem(QStringLiteral("pub"))->sizeHint(), QSize(100, 100));
}

// Late pictures: for a folder not shown (also one left while they were on
// their way) and while the list view is shown, they change nothing; from
// another thread they land on the GUI thread.
void tst_FileBrowser::thumbnailsIgnored()
{
    BrowserFixture f;
    f.open(Own);
    f.iconView();
    QImage picture(100, 100, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    QListWidgetItem *song = f.iconItem(QStringLiteral("song.mp3"));
    const QImage before = iconImage(song->icon());

    f.browser->setFileThumbnail(Own + QStringLiteral("/sub"), QStringLiteral("song.mp3"), picture);
    QCoreApplication::processEvents();
    QCOMPARE(iconImage(song->icon()), before);

    std::thread worker([&] { f.browser->setFileThumbnail(Own, QStringLiteral("song.mp3"), picture); });
    worker.join();
    QTRY_COMPARE(iconImage(song->icon()), asIcon(picture));

    f.trigger("actionList_View");
    QTreeWidgetItem *row = f.treeItem(QStringLiteral("song.mp3"));
    const QImage rowIcon = iconImage(row->icon(0));
    f.browser->setFileThumbnail(Own, QStringLiteral("song.mp3"), picture);
    QCOMPARE(iconImage(row->icon(0)), rowIcon);
}

// A contact's pictures come with the listing or just after it; a picture in a
// cached row that is no JPEG leaves the placeholder.
void tst_FileBrowser::contactThumbnails()
{
    BrowserFixture f;
    ShareFixture::writeFile(f.path("bob/photo.jpg"), jpeg(Qt::darkGreen));
    f.iconView();
    f.open(Bobs);
    QListWidgetItem *photo = f.iconItem(QStringLiteral("photo.jpg"));
    QVERIFY(photo);
    const QImage typeIcon = asIcon(f.browser->iconForKey(QStringLiteral("jpg")));
    QTRY_VERIFY(iconImage(photo->icon()) != typeIcon);
    QVERIFY(iconImage(photo->icon()).pixelColor(32, 32).green() > 60);

    auto row = QSharedPointer<WDataStructure>::create();
    row->sv(QStringLiteral("Name"), QStringLiteral("song.mp3"));
    row->SetValue(QStringLiteral("thumbnail"), QByteArray("GIF89a, not a JPEG"));
    f.main().fileCache().updateEntry(row, Bobs);
    f.main().fileCache().flush();
    f.open(Bobs);
    QCOMPARE(iconImage(f.iconItem(QStringLiteral("song.mp3"))->icon()),
             asIcon(f.browser->iconForKey(QStringLiteral("disc"))));
}

// While a contact's listing waits for its answer, the GUI goes on: further
// requests neither nest the listing nor block, and the view ends on the last
// place asked for, its items named after that place.
void tst_FileBrowser::relistDuringSlowListing_data()
{
    QTest::addColumn<QString>("then");
    QTest::addColumn<bool>("fromThread");
    QTest::newRow("another folder") << Bobs + QStringLiteral("/sub") << false;
    QTest::newRow("another folder, from a thread") << Bobs + QStringLiteral("/sub") << true;
    QTest::newRow("own disc") << Own + QStringLiteral("/sub") << false;
    QTest::newRow("the disc list") << QStringLiteral("/") << false;
}

void tst_FileBrowser::relistDuringSlowListing()
{
    QFETCH(QString, then);
    QFETCH(bool, fromThread);
    BrowserFixture f;
    f.bob.replyDelayMs = 400;
    bool asked = false;
    QTimer::singleShot(100, f.browser.get(), [&] {
        f.browser->currentPath = then;
        if (fromThread) {
            std::thread worker([&] { f.browser->requestListDirectory(false); });
            worker.join();
        } else {
            f.browser->requestListDirectory(false);
            f.browser->requestListDirectory(true);
        }
        asked = true;
    });
    f.open(Bobs, true);
    QVERIFY(asked);

    QTRY_COMPARE(f.browser->currentPath, then);
    if (then == QLatin1String("/")) {
        QTRY_COMPARE(f.paths(), QStringList({Own, Bobs}));
        QVERIFY(!f.action("actionUp")->isEnabled());
        return;
    }
    QTRY_COMPARE(f.paths(), QStringList({then + QStringLiteral("/inner.txt")}));
    QCOMPARE(f.browser->statusLine(), QStringLiteral("1 item(s), 0 KB"));
}

void tst_FileBrowser::dropData()
{
    // The views as Qt drives them on a drop.
    struct Tree : FileList
    {
        using FileList::dropMimeData;
        using FileList::mimeData;
        using FileList::mimeTypes;
    } tree;
    struct Icons : FileListIconView
    {
        using FileListIconView::dropMimeData;
    } icons;
    qRegisterMetaType<QTreeWidgetItem *>();
    QSignalSpy treeDrops(&tree, &FileList::signalFilesDropped);
    QSignalSpy iconDrops(&icons, &FileListIconView::signalFilesDropped);

    QMimeData urls;
    urls.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/a b.txt")), QUrl(QStringLiteral("https://example.org/x")),
                  QUrl::fromLocalFile(QStringLiteral("/tmp/c"))});
    QVERIFY(tree.dropMimeData(nullptr, 0, &urls, Qt::CopyAction));
    QVERIFY(icons.dropMimeData(0, &urls, Qt::CopyAction));
    const QStringList expected{QStringLiteral("/tmp/a b.txt"), QString(), QStringLiteral("/tmp/c")};
    QCOMPARE(treeDrops.size(), 1);
    QCOMPARE(treeDrops.first().at(1).toStringList(), expected);
    QCOMPARE(iconDrops.size(), 1);
    QCOMPARE(iconDrops.first().at(0).toStringList(), expected);

    QMimeData text;
    text.setText(QStringLiteral("/tmp/a b.txt"));
    QVERIFY(tree.dropMimeData(nullptr, 0, &text, Qt::CopyAction));
    QVERIFY(icons.dropMimeData(0, &text, Qt::CopyAction));
    QCOMPARE(treeDrops.size(), 1);
    QCOMPARE(iconDrops.size(), 1);

    QVERIFY(tree.mimeTypes().contains(QStringLiteral("text/uri-list")));
    QVERIFY(tree.mimeTypes().contains(DiscItemsMimeData::Format));

    // Entries are dragged only out of a contact's folder, and come back
    // whole on a drop.
    auto *file = new QTreeWidgetItem({QStringLiteral("song.mp3")});
    file->setData(0, uiFileBrowser::PathRole, Bobs + QStringLiteral("/song.mp3"));
    file->setData(1, uiFileBrowser::PathRole, QStringLiteral("mp3"));
    auto *folder = new QTreeWidgetItem({QStringLiteral("sub")});
    folder->setData(0, uiFileBrowser::PathRole, Bobs + QStringLiteral("/sub"));
    folder->setData(1, uiFileBrowser::PathRole, QStringLiteral("directory"));
    tree.addTopLevelItems({file, folder});
    QVERIFY(!tree.mimeData({file, folder}));
    tree.setDragFolder(Bobs);
    QVERIFY(!tree.mimeData({}));
    const std::unique_ptr<QMimeData> dragged(tree.mimeData({file, folder}));
    QVERIFY(dragged);
    QVERIFY(dragged->hasFormat(DiscItemsMimeData::Format));
    QSignalSpy itemDrops(&tree, &FileList::signalDiscItemsDropped);
    QVERIFY(tree.dropMimeData(nullptr, 0, dragged.get(), Qt::CopyAction));
    QCOMPARE(itemDrops.size(), 1);
    const DiscItems *carried = DiscItemsMimeData::from(dragged.get());
    QVERIFY(carried);
    QCOMPARE(carried->folder, Bobs);
    const QMap<QString, bool> expectedItems{{Bobs + QStringLiteral("/song.mp3"), true},
                                            {Bobs + QStringLiteral("/sub"), false}};
    QCOMPARE(carried->items, expectedItems);

    // Another program offering the same format names nothing to fetch.
    QMimeData foreign;
    foreign.setData(DiscItemsMimeData::Format, Bobs.toUtf8() + "/song.mp3");
    QVERIFY(!DiscItemsMimeData::from(&foreign));
    QVERIFY(tree.dropMimeData(nullptr, 0, &foreign, Qt::CopyAction));
    QVERIFY(icons.dropMimeData(0, &foreign, Qt::CopyAction));
    QCOMPARE(itemDrops.size(), 1);
    QCOMPARE(treeDrops.size(), 1);
    QCOMPARE(iconDrops.size(), 1);
}

void tst_FileBrowser::newFolder_data()
{
    QTest::addColumn<QString>("disc");
    QTest::addColumn<QString>("local");
    QTest::newRow("own disc") << Own << "alice";
    QTest::newRow("contact's disc") << Bobs << "bob";
}

// The contact's folder was cached: the new folder shows because the browser
// lists it again from the owner.
void tst_FileBrowser::newFolder()
{
    QFETCH(QString, disc);
    QFETCH(QString, local);
    BrowserFixture f;
    QObject scope;
    f.open(disc);
    answerText(&scope, QStringLiteral("fresh"));
    f.trigger("actionNew_folder");

    QVERIFY(QFileInfo(f.path(local + QStringLiteral("/fresh"))).isDir());
    QVERIFY(f.names().contains(QStringLiteral("fresh")));
    QCOMPARE(f.treeItem(QStringLiteral("fresh"))->data(1, uiFileBrowser::PathRole).toString(),
             QStringLiteral("directory"));

    answerModal<QInputDialog>(&scope, [](QInputDialog *input) { input->reject(); });
    f.trigger("actionNew_folder");
    QCOMPARE(QDir(f.path(local)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 3);
}

void tst_FileBrowser::deleteEntries_data()
{
    QTest::addColumn<QString>("disc");
    QTest::addColumn<QString>("local");
    QTest::addColumn<bool>("confirm");
    QTest::newRow("own disc") << Own << "alice" << true;
    QTest::newRow("contact's disc") << Bobs << "bob" << true;
    QTest::newRow("contact's disc, answered No") << Bobs << "bob" << false;
}

void tst_FileBrowser::deleteEntries()
{
    QFETCH(QString, disc);
    QFETCH(QString, local);
    QFETCH(bool, confirm);
    BrowserFixture f;
    QObject scope;
    f.open(disc);
    f.select({QStringLiteral("readme.xyz"), QStringLiteral("sub")});
    answerQuestion(&scope, confirm ? QMessageBox::Yes : QMessageBox::No);
    f.trigger("actionDelete");

    const QStringList left =
        confirm ? QStringList({"pub", "song.mp3"}) : QStringList({"pub", "readme.xyz", "song.mp3", "sub"});
    QCOMPARE(f.names(), left);
    QCOMPARE(QDir(f.path(local)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), left);
}

// The entry changes in place: its name and path, not its icon or type.
void tst_FileBrowser::rename()
{
    BrowserFixture f;
    QObject scope;
    f.open(Bobs);
    QTreeWidgetItem *item = f.treeItem(QStringLiteral("song.mp3"));
    const QImage icon = iconImage(item->icon(0));
    f.select({QStringLiteral("song.mp3")});
    answerModal<QInputDialog>(&scope, [](QInputDialog *input) {
        QCOMPARE(input->textValue(), QStringLiteral("song.mp3"));
        input->setTextValue(QStringLiteral("tune.ogg"));
        input->accept();
    });
    f.trigger("actionRename");

    QCOMPARE(f.treeItem(QStringLiteral("tune.ogg")), item);
    QCOMPARE(item->data(0, uiFileBrowser::PathRole).toString(), Bobs + QStringLiteral("/tune.ogg"));
    QCOMPARE(item->text(1), QStringLiteral("mp3"));
    QCOMPARE(iconImage(item->icon(0)), icon);
    QVERIFY(QFile::exists(f.path("bob/tune.ogg")));
    QVERIFY(!QFile::exists(f.path("bob/song.mp3")));
}

// Only own discs stop being shared; everyone who could see the disc or a
// folder in it is told, once per path.
void tst_FileBrowser::stopSharing()
{
    BrowserFixture f;
    QObject scope;
    WFtpEngine &own = *f.main().engine();
    own.addPermittedUser(ShareFixture::record(QStringLiteral("bob"), {"1"}), QStringLiteral("docs"),
                         QStringLiteral("root"));
    f.browser->discPaths = QStringList{Own, Bobs, Own};
    f.browser->requestListDisc();
    f.select({Own, Bobs});
    answerQuestion(&scope, QMessageBox::Yes);
    f.trigger("actionDelete");

    QCOMPARE(f.browser->discPaths, QStringList({Bobs}));
    QCOMPARE(f.names(), QStringList({"bob: docs"}));
    QVERIFY(!own.getSharedDisc(QStringLiteral("docs")));
    QStringList told;
    const auto sent = f.alice.sentCommands();
    const auto routes = f.alice.sentRoutes();
    for (int i = 0; i < sent.size(); ++i) {
        if (sent.at(i).gv(QStringLiteral("command")) == QLatin1String("wftp:::disconnectDisc:callback"))
            told << routes.at(i).first + QLatin1Char(' ') + sent.at(i).gv(QStringLiteral("path"));
    }
    told.sort();
    QCOMPARE(told, QStringList({"bob vls/alice/docs", "carol vls/alice/docs/pub"}));
    QVERIFY(f.bobPlugin->commandParser().engine()->getSharedDisc(QStringLiteral("docs")));
}

// A new disc joins the disc list at once; sharing a folder that is shared
// already keeps its disc and replaces who may see it.
void tst_FileBrowser::shareFolder()
{
    BrowserFixture f;
    QObject scope;
    WFtpEngine &own = *f.main().engine();
    own.addPermittedUser(ShareFixture::record(QStringLiteral("bob"), {"1"}), QStringLiteral("docs"),
                         QStringLiteral("root"));
    const auto share = [&](const QString &folder, const QString &name) {
        answerModal<ShareFolderWizard>(&scope, [folder, name](ShareFolderWizard *wizard) {
            wizard->folderPage()->findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(folder);
            wizard->folderPage()->findChild<QLineEdit *>(QStringLiteral("lineEdit_2"))->setText(name);
            wizard->next();
            wizard->button(QWizard::FinishButton)->click();
        });
        f.trigger("actionShare_Folder");
    };
    f.browser->requestListDisc();

    share(f.path("local"), QStringLiteral("Holiday"));
    const QString holiday = QStringLiteral("vls/alice/Holiday/root");
    QCOMPARE(f.browser->discPaths, QStringList({Own, Bobs, holiday}));
    QCOMPARE(f.paths(), QStringList({holiday, Own, Bobs})); // sorted by the name shown
    QCOMPARE(f.names(), QStringList({"alice: Holiday", "alice: docs", "bob: docs"}));

    const int saves = f.alice.saves;
    share(f.path("alice"), QStringLiteral("Another name"));
    QCOMPARE(f.browser->discPaths.last(), Own);
    QVERIFY(!own.getSharedDisc(QStringLiteral("Another name")));
    const auto root = own.getSharedFolderByPath(QStringLiteral("docs"), QString());
    const auto users = root->GetStructureByValue(QStringLiteral("section"), QStringLiteral("permittedusers"));
    QVERIFY(!users || users->childCount() == 0);
    QVERIFY(f.alice.saves > saves);

    answerModal<ShareFolderWizard>(&scope, [](ShareFolderWizard *wizard) { wizard->reject(); });
    f.trigger("actionShare_Folder");
    QCOMPARE(f.browser->discPaths.size(), 4);
}

void tst_FileBrowser::folderProperties_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QString>("opened");
    QTest::newRow("disc selected") << "/" << Own << Own;
    QTest::newRow("nothing selected at the disc list") << "/" << "" << "";
    QTest::newRow("file selected") << Own << "song.mp3" << Own;
    QTest::newRow("folder selected") << Own << "sub" << Own + "/sub";
    QTest::newRow("nothing selected") << Own << "" << Own;
}

void tst_FileBrowser::folderProperties()
{
    QFETCH(QString, location);
    QFETCH(QString, selected);
    QFETCH(QString, opened);
    BrowserFixture f;
    QObject scope;
    f.open(location);
    f.select(selected.isEmpty() ? QStringList() : QStringList{selected});
    QString shown;
    answerModal<uiFolderPreferences>(&scope, [&shown](uiFolderPreferences *dialog) {
        shown = dialog->virtualPath;
        dialog->reject();
    });
    f.trigger("actionFolder_properties");
    QTest::qWait(50);
    QCOMPARE(shown, opened);
}

// A folder and two files of bob's come down whole; the place the browser
// shows while the folder dialog is open does not change what is fetched.
void tst_FileBrowser::download()
{
    BrowserFixture f;
    QObject scope;
    f.open(Bobs);
    f.select({QStringLiteral("sub"), QStringLiteral("song.mp3"), QStringLiteral("readme.xyz")});
    const QString target = f.path("local");
    answerFile(&scope, target, [&] {
        f.open(Bobs + QStringLiteral("/pub"));
        f.browser->requestListDisc();
    });
    f.trigger("actionDownload");

    QCOMPARE(f.transferCount(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(f.transfersDone(), 30000);
    QCOMPARE(f.alicePlugin->transfers().transfers().first()->failedItems(), 0);
    QCOMPARE(ShareFixture::readFile(target + QStringLiteral("/song.mp3")), QByteArray(476, 's'));
    QCOMPARE(ShareFixture::readFile(target + QStringLiteral("/readme.xyz")), QByteArray(1024, 'r'));
    QCOMPARE(ShareFixture::readFile(target + QStringLiteral("/sub/inner.txt")), QByteArray("inner"));
    QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), 3);
    QCOMPARE(PSettings::GetValue(QStringLiteral("lastopendirectory")).toString(), target);

    // Activating a file downloads the selection too; a cancelled dialog
    // starts nothing.
    f.open(Bobs);
    f.select({QStringLiteral("song.mp3")});
    answerModal<QFileDialog>(&scope, [](QFileDialog *dialog) { dialog->reject(); });
    emit f.browser->treeWidget()->itemActivated(f.treeItem(QStringLiteral("song.mp3")), 0);
    QCOMPARE(f.transferCount(), 1);
}

void tst_FileBrowser::downloadAtDiscList()
{
    BrowserFixture f;
    QObject scope;
    f.browser->requestListDisc();
    f.select({Bobs});
    bool asked = false;
    answerModal<QFileDialog>(&scope, [&asked](QFileDialog *dialog) {
        asked = true;
        dialog->reject();
    });
    f.trigger("actionDownload");
    QTest::qWait(100);
    QVERIFY(!asked);
    QCOMPARE(f.transferCount(), 0);
}

void tst_FileBrowser::upload_data()
{
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QString>("lands");
    QTest::newRow("folder selected") << "sub" << "bob/sub/up.txt";
    QTest::newRow("file selected") << "song.mp3" << "bob/up.txt";
    QTest::newRow("nothing selected") << "" << "bob/up.txt";
}

void tst_FileBrowser::upload()
{
    QFETCH(QString, selected);
    QFETCH(QString, lands);
    BrowserFixture f;
    QObject scope;
    const QString file = f.path("local/up.txt");
    ShareFixture::writeFile(file, "uploaded");
    f.open(Bobs);
    f.select(selected.isEmpty() ? QStringList() : QStringList{selected});
    answerFile(&scope, file);
    f.trigger("actionUpload");

    QCOMPARE(f.transferCount(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(f.transfersDone(), 30000);
    QCOMPARE(ShareFixture::readFile(f.path(lands)), QByteArray("uploaded"));
    QCOMPARE(PSettings::GetValue(QStringLiteral("lastopendirectory")).toString(), f.path("local"));
}

// Files dropped from two folders keep their own names; a missing file and a
// URL that is no local file are left out; a drop on a folder goes into it.
void tst_FileBrowser::drops()
{
    BrowserFixture f;
    QDir().mkpath(f.path("local/other"));
    ShareFixture::writeFile(f.path("local/one.txt"), "one");
    ShareFixture::writeFile(f.path("local/other/two.txt"), "two");
    f.open(Bobs);
    // The desktop's drag manager offers drops only to widgets that take them.
    QVERIFY(f.browser->treeWidget()->viewport()->acceptDrops());
    QVERIFY(f.browser->findChild<FileListIconView *>()->viewport()->acceptDrops());
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(f.path("local/one.txt")), QUrl::fromLocalFile(f.path("local/gone.txt")),
                  QUrl(QStringLiteral("https://example.org/three.txt")),
                  QUrl::fromLocalFile(f.path("local/other/two.txt"))});
    const QPoint onSub = f.browser->treeWidget()->visualItemRect(f.treeItem(QStringLiteral("sub"))).center();
    QVERIFY(sendDrop(f.browser->treeWidget(), onSub, &data));

    QTRY_VERIFY_WITH_TIMEOUT(f.transferCount() > 0 && f.transfersDone(), 30000);
    QCOMPARE(f.transferCount(), 2); // one per folder the files came from
    QCOMPARE(ShareFixture::readFile(f.path("bob/sub/one.txt")), QByteArray("one"));
    QCOMPARE(ShareFixture::readFile(f.path("bob/sub/two.txt")), QByteArray("two"));
    QCOMPARE(QDir(f.path("bob/sub")).entryList(QDir::Files).size(), 3);

    // On the icon view: into the folder shown.
    f.iconView();
    f.browser->slotIconViewFilesDropped({f.path("local/one.txt"), QString()});
    QTRY_VERIFY_WITH_TIMEOUT(f.transferCount() == 3 && f.transfersDone(), 30000);
    QCOMPARE(ShareFixture::readFile(f.path("bob/one.txt")), QByteArray("one"));
}

void tst_FileBrowser::dropsIgnoredAtDiscList()
{
    BrowserFixture f;
    ShareFixture::writeFile(f.path("local/one.txt"), "one");
    const QStringList dropped{f.path("local/one.txt")};
    f.browser->requestListDisc();
    f.browser->slotFilesDropped(nullptr, dropped);
    f.browser->slotFilesDropped(f.treeItem(Bobs), {QString(), f.path("local/none.txt")});
    f.iconView();
    f.browser->slotIconViewFilesDropped(dropped);
    QCOMPARE(f.transferCount(), 0);
}

void tst_FileBrowser::dragOutOfContactsFolder_data()
{
    QTest::addColumn<bool>("icons");
    QTest::addColumn<QString>("dropAt");
    QTest::addColumn<QString>("onItem");
    QTest::addColumn<QString>("lands"); // "" when nothing may be fetched
    QTest::newRow("list view, on an own folder") << false << Own << "pub" << "alice/pub";
    QTest::newRow("list view, in the own folder shown") << false << Own + QStringLiteral("/pub") << "" << "alice/pub";
    QTest::newRow("icon view, in the own folder shown") << true << Own + QStringLiteral("/pub") << "" << "alice/pub";
    QTest::newRow("disc list, on the own disc") << false << "/" << Own << "alice";
    QTest::newRow("disc list, beside the discs") << false << "/" << "" << "";
    QTest::newRow("disc list, on the contact's disc") << false << "/" << Bobs << "";
    QTest::newRow("contact's folder") << false << Bobs + QStringLiteral("/sub") << "" << "";
}

// Entries of bob's disc carried to one of alice's own folders are downloaded
// there, folders whole; dropped anywhere else nothing is fetched.
void tst_FileBrowser::dragOutOfContactsFolder()
{
    QFETCH(bool, icons);
    QFETCH(QString, dropAt);
    QFETCH(QString, onItem);
    QFETCH(QString, lands);
    BrowserFixture f;
    ShareFixture::writeFile(f.path("bob/gift.txt"), "from bob");
    if (icons)
        f.iconView();
    f.open(Bobs);
    f.select({QStringLiteral("gift.txt"), QStringLiteral("sub")});
    // What Qt's drag start asks of the view for its selection.
    QAbstractItemView *view = icons ? static_cast<QAbstractItemView *>(f.browser->iconView())
                                    : static_cast<QAbstractItemView *>(f.browser->treeWidget());
    const std::unique_ptr<QMimeData> dragged(view->model()->mimeData(view->selectionModel()->selectedIndexes()));
    QVERIFY(dragged);

    f.open(dropAt);
    QPoint at(view->viewport()->width() / 2, view->viewport()->height() - 2);
    if (!onItem.isEmpty())
        at = f.browser->treeWidget()->visualItemRect(f.treeItem(onItem)).center();
    QVERIFY(sendDrop(view, at, dragged.get()));

    if (lands.isEmpty()) {
        QTest::qWait(100);
        QCOMPARE(f.transferCount(), 0);
        return;
    }
    QCOMPARE(f.transferCount(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(f.transfersDone(), 30000);
    QCOMPARE(f.alicePlugin->transfers().transfers().first()->failedItems(), 0);
    QCOMPARE(ShareFixture::readFile(f.path(lands + QStringLiteral("/gift.txt"))), QByteArray("from bob"));
    QCOMPARE(ShareFixture::readFile(f.path(lands + QStringLiteral("/sub/inner.txt"))), QByteArray("inner"));
}

void tst_FileBrowser::nothingToDragOutOfOwnFolders()
{
    BrowserFixture f;
    const auto dragOf = [&f](const QString &name) {
        f.select({name});
        QTreeWidget *tree = f.browser->treeWidget();
        return std::unique_ptr<QMimeData>(tree->model()->mimeData(tree->selectionModel()->selectedIndexes()));
    };
    f.browser->requestListDisc();
    QVERIFY(!dragOf(Bobs));
    f.open(Own);
    QVERIFY(!dragOf(QStringLiteral("song.mp3")));
}

namespace {
// The browser's window active and the focus in its list, as after a click.
bool focusList(BrowserFixture &f)
{
    QApplication::setActiveWindow(f.browser.get());
    if (!QTest::qWaitForWindowActive(f.browser.get()))
        return false;
    f.browser->treeWidget()->setFocus();
    return f.browser->treeWidget()->hasFocus();
}
} // namespace

void tst_FileBrowser::keys_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("Backspace goes up") << int(Qt::Key_Backspace);
    QTest::newRow("F5 lists again from the owner") << int(Qt::Key_F5);
    QTest::newRow("F2 renames") << int(Qt::Key_F2);
    QTest::newRow("Delete deletes") << int(Qt::Key_Delete);
}

// The keys of a file browser, pressed in the list of a contact's folder.
void tst_FileBrowser::keys()
{
    QFETCH(int, key);
    BrowserFixture f;
    QObject scope;
    f.open(Bobs + QStringLiteral("/sub"));
    QCOMPARE(f.names(), QStringList({"inner.txt"}));
    f.select({QStringLiteral("inner.txt")});
    QVERIFY(focusList(f));
    // Unseen until the folder is listed again: the listing is cached.
    QVERIFY(ShareFixture::writeFile(f.path("bob/sub/later.txt"), "later"));
    if (key == Qt::Key_F2)
        answerText(&scope, QStringLiteral("renamed.txt"));
    if (key == Qt::Key_Delete)
        answerQuestion(&scope, QMessageBox::Yes);
    QTest::keyClick(f.browser->treeWidget(), Qt::Key(key));

    switch (key) {
    case Qt::Key_Backspace:
        QCOMPARE(f.browser->currentPath, Bobs);
        QCOMPARE(f.names().size(), 4);
        break;
    case Qt::Key_F5:
        QTRY_COMPARE(f.names(), QStringList({"inner.txt", "later.txt"}));
        break;
    case Qt::Key_F2:
        QTRY_VERIFY(QFile::exists(f.path("bob/sub/renamed.txt")));
        QVERIFY(f.treeItem(QStringLiteral("renamed.txt")));
        break;
    case Qt::Key_Delete:
        QTRY_VERIFY(!QFile::exists(f.path("bob/sub/inner.txt")));
        QTRY_COMPARE(f.names(), QStringList({"later.txt"}));
        break;
    }
}

void tst_FileBrowser::refusalsSayWhy_data()
{
    QTest::addColumn<QString>("disc");
    QTest::addColumn<QString>("action"); // a key, or the tool bar's button
    QTest::addColumn<QString>("name");   // typed into the dialog, if one asks
    QTest::addColumn<QStringList>("told");
    const QString readOnly = QStringLiteral("bob may not have given you the right to %1 there");
    QTest::newRow("delete without the right") << Bobs << "Delete" << ""
                                              << QStringList{"Not everything selected could be deleted in bob: docs: readme.xyz.",
                                                             readOnly.arg("delete"), "Ask bob for the right"};
    QTest::newRow("rename without the right")
        << Bobs << "F2" << "other.xyz"
        << QStringList{"\u201creadme.xyz\u201d could not be renamed to \u201cother.xyz\u201d in bob: docs.",
                       readOnly.arg("write")};
    QTest::newRow("new folder without the right")
        << Bobs << "actionNew_folder" << "fresh"
        << QStringList{"The folder \u201cfresh\u201d could not be made in bob: docs.", readOnly.arg("write")};
    QTest::newRow("own: rename onto an existing name")
        << Own << "F2" << "song.mp3"
        << QStringList{"\u201creadme.xyz\u201d could not be renamed to \u201csong.mp3\u201d in alice: docs.",
                       "An entry of that name may be there already"};
}

// Nothing changed: the user is told what failed where, and what to do.
void tst_FileBrowser::refusalsSayWhy()
{
    QFETCH(QString, disc);
    QFETCH(QString, action);
    QFETCH(QString, name);
    QFETCH(QStringList, told);
    BrowserFixture f;
    QObject scope;
    // bob lets alice read his disc, nothing more.
    f.bobPlugin->commandParser().engine()->setPermittedUser(
        ShareFixture::record(QStringLiteral("alice"), {"1", "0", "0"}), QStringLiteral("docs"), QStringLiteral("root"));
    f.open(disc);
    f.select({QStringLiteral("readme.xyz")});
    QVERIFY(focusList(f));
    const QStringList before = f.names();

    QString message;
    const auto readWarning = [&] {
        answerModal<QMessageBox>(&scope, [&message](QMessageBox *box) {
            if (box->icon() == QMessageBox::Warning) {
                message = box->text();
                saveScreenshot(box, QStringLiteral("filebrowser-refusal-") + QString::fromLatin1(QTest::currentDataTag())
                                        .replace(QLatin1Char(' '), QLatin1Char('-')).remove(QLatin1Char(':')));
            }
            box->button(QMessageBox::Ok)->click();
        });
    };
    if (action == QLatin1String("Delete")) {
        answerModal<QMessageBox>(&scope, [&](QMessageBox *box) {
            box->button(QMessageBox::Yes)->click();
            readWarning();
        });
    } else {
        answerModal<QInputDialog>(&scope, [&, name](QInputDialog *input) {
            input->setTextValue(name);
            input->accept();
            readWarning();
        });
    }
    if (action.startsWith(QLatin1String("action"))) {
        QToolBar *bar = f.browser->findChild<QToolBar *>(QStringLiteral("toolBar"));
        QTest::mouseClick(bar->widgetForAction(f.action(qPrintable(action))), Qt::LeftButton);
    } else {
        QTest::keySequence(f.browser->treeWidget(), QKeySequence(action));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!message.isEmpty(), 20000);
    for (const QString &part : told)
        QVERIFY2(message.contains(part), qPrintable(message));
    QVERIFY2(!message.contains(QLatin1String("vls/")), qPrintable(message));
    QCOMPARE(f.names(), before);
}

void tst_FileBrowser::screenshots()
{
    BrowserFixture f;
    ShareFixture::writeFile(f.path("alice/sunset over the harbour.jpg"), photograph(QColor(40, 90, 140)));
    ShareFixture::writeFile(f.path("alice/meadow.jpg"), photograph(QColor(70, 150, 60)));
    ShareFixture::writeFile(f.path("alice/report.pdf"), QByteArray(250000, 'p'));
    ShareFixture::writeFile(f.path("alice/archive.zip"), QByteArray(3 * 1024 * 1024, 'z'));
    f.browser->discPaths << QStringLiteral("vls/bob/Holiday photos/root");
    f.browser->requestListDisc();
    QVERIFY(saveScreenshot(f.browser.get(), QStringLiteral("filebrowser-list-discs")));
    f.open(Own);
    QVERIFY(saveScreenshot(f.browser.get(), QStringLiteral("filebrowser-list-folder")));
    f.iconView();
    QTRY_VERIFY(iconImage(f.iconItem(QStringLiteral("meadow.jpg"))->icon())
                != asIcon(f.browser->iconForKey(QStringLiteral("jpg"))));
    QTRY_VERIFY(iconImage(f.iconItem(QStringLiteral("sunset over the harbour.jpg"))->icon())
                != asIcon(f.browser->iconForKey(QStringLiteral("jpg"))));
    QVERIFY(saveScreenshot(f.browser.get(), QStringLiteral("filebrowser-icons-folder")));
    f.trigger("actionUp");
    QVERIFY(saveScreenshot(f.browser.get(), QStringLiteral("filebrowser-icons-discs")));
}

WIVORA_TEST_MAIN(tst_FileBrowser)
#include "tst_FileBrowser.moc"

// The page of files published on the web, on the real engine and a real
// account: publishing by drop or file dialog through the wizard, the links
// dialog, reloads (also asked from pool threads), editing, deleting and
// copying links; and a file published here downloaded over plain HTTP from
// the real wivora-server, served by the owner's real client.
#include "FileBytes.h"
#include "QtTestSuite.h"
#include "E2eFixture.h"
#include "HttpTestClient.h"
#include "ModalAnswer.h"
#include "TestHost.h"

#include <FileList.h>
#include <PSettings.h>
#include <WFtpMain.h>
#include <uiLinksDisplay.h>
#include <uiWebFileProperties.h>
#include <uiWebFilePropertiesDialog.h>
#include <uiWebSharedFiles.h>

#include <QAction>
#include <QClipboard>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTextEdit>
#include <QWizard>
#include <QtTest>

#include <thread>

namespace {

const QString PublicSite = QStringLiteral("http://files.example:8081");
const int Role = uiWebSharedFiles::KeyRole;

bool save(QWidget *widget, const QString &name)
{
    QDir().mkpath(QStringLiteral(SCREENSHOT_FOLDER));
    const QImage image = widget->grab().toImage();
    return !image.isNull() && image.save(QStringLiteral(SCREENSHOT_FOLDER "/") + name + QStringLiteral(".png"));
}

// Local files dropped on a view the way a file manager drops them.
void dropFiles(QWidget *viewport, const QList<QUrl> &urls)
{
    QMimeData data;
    data.setUrls(urls);
    const QPoint at(viewport->width() / 2, viewport->height() - 5);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &move);
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &drop);
}

// What the user does in the wizard, and what the page showed afterwards.
struct Publishing
{
    bool accept = true;
    QString password;
    QDateTime expiry; // invalid: leave the offered one
    bool wizardShown = false;
    bool linksShown = false;
    QString shownLinks;
};

// One user's page on the real engine over an account held by an in-process host.
struct PageFixture
{
    PageFixture()
    {
        main.setHost(&host);
        page.resize(900, 260);
        page.show();
    }
    FileList *list() const { return page.fileList(); }
    int rows() const { return list()->topLevelItemCount(); }
    QTreeWidgetItem *rowOf(const QString &fileId) const
    {
        for (int row = 0; row < rows(); ++row) {
            if (list()->topLevelItem(row)->data(uiWebSharedFiles::PathColumn, Role).toString() == fileId)
                return list()->topLevelItem(row);
        }
        return nullptr;
    }
    QSharedPointer<WDataStructure> publishDirectly(const QString &path, const QDateTime &validTo,
                                                   const QString &password = QString())
    {
        return main.engine()->addWebSharedFile(path, password, validTo);
    }
    QStringList recordIds()
    {
        QStringList ids;
        if (const auto files = main.engine()->getWebSharedFiles()) {
            for (const auto &record : files->getChildren())
                ids << record->gv("section");
        }
        return ids;
    }
    // Answers the wizard and the links dialog as `user` says, then waits
    // until the page is done with them.
    bool answer(Publishing &user, const std::function<void()> &start)
    {
        QObject scope;
        answerModal<QWizard>(&scope, [&](QWizard *wizard) {
            user.wizardShown = true;
            auto *page = wizard->findChild<uiWebFileProperties *>();
            page->findChild<QLineEdit *>("lineEdit")->setText(user.password);
            if (user.expiry.isValid())
                page->findChild<QDateTimeEdit *>("dateTimeEdit")->setDateTime(user.expiry);
            if (user.accept)
                wizard->button(QWizard::FinishButton)->click();
            else
                wizard->button(QWizard::CancelButton)->click();
        });
        answerModal<uiLinksDisplay>(&scope, [&](uiLinksDisplay *display) {
            user.linksShown = true;
            user.shownLinks = display->findChild<QTextEdit *>("textEdit")->toPlainText();
            display->findChild<QPushButton *>("pushButton_2")->click();
        });
        start();
        return QTest::qWaitFor([&] { return user.wizardShown; }, 10000);
    }

    TestNetwork network;
    TestHost host{"alice", &network};
    WFtpMain main;
    uiWebSharedFiles page{main};
};

} // namespace

class tst_uiWebSharedFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void droppedFilesArePublished_data();
    void droppedFilesArePublished();
    void addFileAsksFromTheLastFolder();
    void reloadDropsOverdueRecords_data();
    void reloadDropsOverdueRecords();
    void reloadAskedFromAPoolThread_data();
    void reloadAskedFromAPoolThread();
    void editingAFile_data();
    void editingAFile();
    void copyWebLink_data();
    void copyWebLink();
    void linksDialogCopiesWhatTheUserLeft_data();
    void linksDialogCopiesWhatTheUserLeft();
    void deletingFiles_data();
    void deletingFiles();
    void screenshots();
    void publishedFileDownloadsThroughTheServer();

private:
    QString file(const QString &name) const { return m_files.filePath(name); }

    QTemporaryDir m_files;
    std::unique_ptr<PageFixture> m_fixture;
};

void tst_uiWebSharedFiles::initTestCase()
{
    QVERIFY(m_files.isValid());
    QVERIFY(QDir().mkpath(file("docs/folder")));
    for (const char *name : {"docs/a.txt", "docs/b.txt", "docs/c with space.txt"})
        QVERIFY(writeBytes(file(name), name));
}

void tst_uiWebSharedFiles::init()
{
    PSettings::SetValue(QStringLiteral("service/publicsite"), PublicSite + "/");
    QApplication::clipboard()->setText(QStringLiteral("before"));
    m_fixture = std::make_unique<PageFixture>();
}

void tst_uiWebSharedFiles::cleanup()
{
    m_fixture.reset();
}

void tst_uiWebSharedFiles::droppedFilesArePublished_data()
{
    QTest::addColumn<QStringList>("dropped"); // under the temporary folder; "<web>" a URL that is no local file
    QTest::addColumn<bool>("accept");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QStringList>("published");
    QTest::addColumn<int>("saves");

    const QStringList three{"docs/a.txt", "docs/b.txt", "docs/c with space.txt"};
    QTest::newRow("three files, no password") << three << true << "" << three << 1;
    QTest::newRow("three files with one password") << three << true << "pass word" << three << 1;
    QTest::newRow("wizard cancelled") << three << false << "" << QStringList() << 0;
    QTest::newRow("a missing file left out") << QStringList{"docs/a.txt", "docs/gone.txt", "docs/b.txt"} << true << ""
                                             << QStringList{"docs/a.txt", "docs/b.txt"} << 1;
    QTest::newRow("a folder is not published") << QStringList{"docs/folder", "docs/b.txt"} << true << ""
                                               << QStringList{"docs/b.txt"} << 1;
    QTest::newRow("nothing publishable: no links, still saved")
        << QStringList{"docs/gone.txt", "docs/folder", "<web>"} << true << "pw" << QStringList() << 1;
}

void tst_uiWebSharedFiles::droppedFilesArePublished()
{
    QFETCH(QStringList, dropped);
    QFETCH(bool, accept);
    QFETCH(QString, password);
    QFETCH(QStringList, published);
    QFETCH(int, saves);

    QList<QUrl> urls;
    for (const QString &name : dropped)
        urls << (name == "<web>" ? QUrl("http://example.org/a.txt") : QUrl::fromLocalFile(file(name)));
    Publishing user;
    user.accept = accept;
    user.password = password;
    const QDateTime offeredFrom = QDateTime::currentDateTime().addDays(1).addSecs(-1);
    QVERIFY(m_fixture->answer(user, [&] { dropFiles(m_fixture->list()->viewport(), urls); }));

    QCOMPARE(m_fixture->host.saves.load(), saves);
    QCOMPARE(m_fixture->rows(), published.size());
    const QStringList ids = m_fixture->recordIds();
    QCOMPARE(ids.size(), published.size());
    QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), ids.size());
    QString expectedLinks;
    QString validTo;
    for (int i = 0; i < published.size(); ++i) {
        const auto record = m_fixture->main.engine()->getWebSharedFile(ids[i]);
        QCOMPARE(record->gv("path"), file(published[i]));
        QCOMPARE(record->gv("password"), password);
        // Every file of one run gets the same expiry: the wizard's, a day ahead.
        if (i == 0)
            validTo = record->gv("validTo");
        QCOMPARE(record->gv("validTo"), validTo);
        QVERIFY(QDateTime::fromString(validTo, Qt::ISODate) >= offeredFrom);
        QVERIFY(QDateTime::fromString(validTo, Qt::ISODate) <= QDateTime::currentDateTime().addDays(1));

        const QString link = PublicSite + "/webfiles/alice/" + ids[i] + ".html";
        QVERIFY(QRegularExpression("^http://files\\.example:8081/webfiles/alice/\\{[0-9a-f-]{36}\\}\\.html$")
                    .match(link)
                    .hasMatch());
        const QTreeWidgetItem *row = m_fixture->rowOf(ids[i]);
        QVERIFY(row);
        QCOMPARE(row->text(uiWebSharedFiles::PathColumn), file(published[i]));
        QCOMPARE(row->text(uiWebSharedFiles::LinkColumn), link);
        QCOMPARE(row->data(uiWebSharedFiles::LinkColumn, Role).toString(), link);
        QCOMPARE(row->data(uiWebSharedFiles::ExpiryColumn, Qt::DisplayRole).toDateTime().toString(Qt::ISODate),
                 validTo);
        QCOMPARE(row->data(uiWebSharedFiles::ExpiryColumn, Role).toString(), password);
        // The page hands each link to the dialog followed by "\r\n": one line each.
        expectedLinks += link + "\n";
    }
    QCOMPARE(user.linksShown, !published.isEmpty());
    QCOMPARE(user.shownLinks, expectedLinks);
}

void tst_uiWebSharedFiles::addFileAsksFromTheLastFolder()
{
    PSettings::SetValue("lastopendirectory", file("docs/folder"));
    QString startFolder;
    QObject scope;
    answerModal<QFileDialog>(&scope, [&](QFileDialog *dialog) {
        startFolder = dialog->directory().absolutePath();
        dialog->setDirectory(file("docs"));
        dialog->findChild<QLineEdit *>("fileNameEdit")->setText("\"a.txt\" \"b.txt\"");
        QMetaObject::invokeMethod(dialog, "accept");
    });
    Publishing user;
    QVERIFY(m_fixture->answer(user, [&] {
        m_fixture->page.findChild<QAction *>("actionAdd_File")->trigger();
    }));

    QCOMPARE(startFolder, file("docs/folder"));
    QCOMPARE(PSettings::GetValue("lastopendirectory").toString(), file("docs"));
    QStringList paths;
    for (const QString &id : m_fixture->recordIds())
        paths << m_fixture->main.engine()->getWebSharedFile(id)->gv("path");
    paths.sort();
    QCOMPARE(paths, QStringList({file("docs/a.txt"), file("docs/b.txt")}));
    QCOMPARE(m_fixture->host.saves.load(), 1);
}

void tst_uiWebSharedFiles::reloadDropsOverdueRecords_data()
{
    QTest::addColumn<QString>("validTo");
    QTest::addColumn<bool>("kept");

    QTest::newRow("tomorrow") << QDateTime::currentDateTime().addDays(1).toString(Qt::ISODate) << true;
    QTest::newRow("a minute ago") << QDateTime::currentDateTime().addSecs(-60).toString(Qt::ISODate) << false;
    QTest::newRow("years ago") << "2020-01-01T00:00:00" << false;
    QTest::newRow("unreadable") << "next week" << false;
    QTest::newRow("empty") << "" << false;
}

void tst_uiWebSharedFiles::reloadDropsOverdueRecords()
{
    QFETCH(QString, validTo);
    QFETCH(bool, kept);

    const QString lasting =
        m_fixture->publishDirectly(file("docs/a.txt"), QDateTime::currentDateTime().addDays(2))->gv("section");
    const auto record = m_fixture->publishDirectly(file("docs/b.txt"), QDateTime::currentDateTime().addDays(2));
    record->sv("validTo", validTo);
    m_fixture->page.loadSharedFiles();

    QCOMPARE(m_fixture->rows(), kept ? 2 : 1);
    QVERIFY(m_fixture->rowOf(lasting));
    QCOMPARE(bool(m_fixture->rowOf(record->gv("section"))), kept);
    QCOMPARE(bool(m_fixture->main.engine()->getWebSharedFile(record->gv("section"))), kept);
    // The clean-up is saved; a reload that removed nothing saves nothing.
    QCOMPARE(m_fixture->host.saves.load(), kept ? 0 : 1);
}

void tst_uiWebSharedFiles::reloadAskedFromAPoolThread_data()
{
    QTest::addColumn<bool>("throughRefresh");
    QTest::newRow("refreshFiles (maintenance)") << true;
    QTest::newRow("loadSharedFiles (reconnect)") << false;
}

void tst_uiWebSharedFiles::reloadAskedFromAPoolThread()
{
    QFETCH(bool, throughRefresh);

    for (const char *name : {"docs/a.txt", "docs/b.txt", "docs/c with space.txt"})
        m_fixture->publishDirectly(file(name), QDateTime::currentDateTime().addDays(1));
    QList<QThread *> buildingThreads;
    connect(m_fixture->list()->model(), &QAbstractItemModel::rowsInserted, this,
            [&] { buildingThreads << QThread::currentThread(); }, Qt::DirectConnection);

    // A thread of its own: a pool task waited for may run on the waiting thread.
    uiWebSharedFiles &page = m_fixture->page;
    std::thread([&] {
        if (throughRefresh)
            page.refreshFiles();
        else
            page.loadSharedFiles();
    }).join();

    QTRY_COMPARE(m_fixture->rows(), 3);
    QCOMPARE(buildingThreads, QList<QThread *>({qApp->thread(), qApp->thread(), qApp->thread()}));
}

void tst_uiWebSharedFiles::editingAFile_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("meanwhile"); // "", "reload" or "remove" while the dialog is open
    QTest::addColumn<bool>("changed");

    QTest::newRow("OK") << "pushButton" << "" << true;
    QTest::newRow("Cancel") << "pushButton_2" << "" << false;
    QTest::newRow("OK after the list was rebuilt") << "pushButton" << "reload" << true;
    QTest::newRow("OK after the record went") << "pushButton" << "remove" << false;
}

void tst_uiWebSharedFiles::editingAFile()
{
    QFETCH(QString, button);
    QFETCH(QString, meanwhile);
    QFETCH(bool, changed);

    const QDateTime stored = QDateTime::currentDateTime().addDays(3);
    const QString storedText = stored.toString(Qt::ISODate);
    m_fixture->publishDirectly(file("docs/a.txt"), stored, "old");
    const QString id = m_fixture->publishDirectly(file("docs/b.txt"), stored, "old")->gv("section");
    m_fixture->page.loadSharedFiles();
    const QDateTime edited(QDate(2031, 2, 3), QTime(4, 5, 6, 789));

    QDateTime shownExpiry;
    QString shownPassword;
    QObject scope;
    answerModal<uiWebFilePropertiesDialog>(&scope, [&](uiWebFilePropertiesDialog *dialog) {
        auto *expiry = dialog->findChild<QDateTimeEdit *>("dateTimeEdit");
        auto *password = dialog->findChild<QLineEdit *>("lineEdit");
        shownExpiry = expiry->dateTime();
        shownPassword = password->text();
        expiry->setDateTime(edited);
        password->setText("new one");
        if (meanwhile == "reload")
            m_fixture->page.loadSharedFiles();
        else if (meanwhile == "remove")
            m_fixture->main.engine()->deleteWebSharedFile(id);
        dialog->findChild<QPushButton *>(button)->click();
    });
    FileList *list = m_fixture->list();
    list->setCurrentItem(m_fixture->rowOf(id));
    QTest::keyClick(list, Qt::Key_Return);

    QCOMPARE(shownExpiry.toString(Qt::ISODate), storedText);
    QCOMPARE(shownPassword, QStringLiteral("old"));
    QCOMPARE(m_fixture->host.saves.load(), changed ? 1 : 0);
    const auto record = m_fixture->main.engine()->getWebSharedFile(id);
    QCOMPARE(bool(record), meanwhile != "remove");
    if (!record)
        return;
    QCOMPARE(record->gv("validTo"), changed ? QStringLiteral("2031-02-03T04:05:06") : storedText);
    QCOMPARE(record->gv("password"), changed ? QStringLiteral("new one") : QStringLiteral("old"));
    const QTreeWidgetItem *row = m_fixture->rowOf(id);
    QCOMPARE(row->data(uiWebSharedFiles::ExpiryColumn, Qt::DisplayRole).toDateTime().toString(Qt::ISODate),
             record->gv("validTo"));
    QCOMPARE(row->data(uiWebSharedFiles::ExpiryColumn, Role).toString(), record->gv("password"));
    QCOMPARE(row->text(uiWebSharedFiles::LinkColumn), PublicSite + "/webfiles/alice/" + id + ".html");
    // The other file keeps its values.
    QCOMPARE(m_fixture->main.engine()->getWebSharedFiles()->getChildren().first()->gv("password"), "old");
}

void tst_uiWebSharedFiles::copyWebLink_data()
{
    QTest::addColumn<QList<int>>("selectedInOrder");
    QTest::addColumn<int>("copied"); // -1: nothing

    QTest::newRow("nothing selected") << QList<int>() << -1;
    QTest::newRow("one row") << QList<int>{1} << 1;
    QTest::newRow("several: the first selected") << QList<int>{2, 0, 1} << 2;
}

void tst_uiWebSharedFiles::copyWebLink()
{
    QFETCH(QList<int>, selectedInOrder);
    QFETCH(int, copied);

    QStringList ids;
    for (const char *name : {"docs/a.txt", "docs/b.txt", "docs/c with space.txt"})
        ids << m_fixture->publishDirectly(file(name), QDateTime::currentDateTime().addDays(1))->gv("section");
    m_fixture->page.loadSharedFiles();
    for (int index : selectedInOrder)
        m_fixture->rowOf(ids[index])->setSelected(true);

    m_fixture->page.findChild<QAction *>("actionCopy_Web_Link")->trigger();

    QCOMPARE(QApplication::clipboard()->text(),
             copied < 0 ? QStringLiteral("before") : PublicSite + "/webfiles/alice/" + ids[copied] + ".html");
}

void tst_uiWebSharedFiles::linksDialogCopiesWhatTheUserLeft_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("clipboard");

    const QString edited = "Here you are:\nhttp://x/webfiles/alice/{1}.html\nhttp://x/webfiles/alice/{2}.html\n";
    QTest::newRow("Copy to Clipboard and Close") << "pushButton" << int(QDialog::Accepted) << edited;
    QTest::newRow("Close") << "pushButton_2" << int(QDialog::Rejected) << "before";
}

void tst_uiWebSharedFiles::linksDialogCopiesWhatTheUserLeft()
{
    QFETCH(QString, button);
    QFETCH(int, result);
    QFETCH(QString, clipboard);

    uiLinksDisplay display;
    display.setLinks("http://x/webfiles/alice/{1}.html\r\nhttp://x/webfiles/alice/{2}.html\r\n");
    QObject scope;
    answerModal<uiLinksDisplay>(&scope, [&](uiLinksDisplay *shown) {
        auto *text = shown->findChild<QTextEdit *>("textEdit");
        text->moveCursor(QTextCursor::Start);
        QTest::keyClicks(text, "Here you are:");
        QTest::keyClick(text, Qt::Key_Return);
        shown->findChild<QPushButton *>(button)->click();
    });
    QCOMPARE(display.exec(), result);
    QCOMPARE(QApplication::clipboard()->text(), clipboard);
}

void tst_uiWebSharedFiles::deletingFiles_data()
{
    QTest::addColumn<QList<int>>("selected");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("yes");

    QTest::newRow("none selected: no question") << QList<int>() << false << false;
    QTest::newRow("two of three, Yes") << QList<int>{0, 2} << true << true;
    QTest::newRow("two of three, No") << QList<int>{0, 2} << true << false;
}

void tst_uiWebSharedFiles::deletingFiles()
{
    QFETCH(QList<int>, selected);
    QFETCH(bool, asked);
    QFETCH(bool, yes);

    QStringList ids;
    for (const char *name : {"docs/a.txt", "docs/b.txt", "docs/c with space.txt"})
        ids << m_fixture->publishDirectly(file(name), QDateTime::currentDateTime().addDays(1))->gv("section");
    m_fixture->page.loadSharedFiles();
    for (int index : selected)
        m_fixture->rowOf(ids[index])->setSelected(true);

    bool questionShown = false;
    QObject scope;
    answerModal<QMessageBox>(&scope, [&](QMessageBox *box) {
        questionShown = true;
        QCOMPARE(box->windowTitle(), QStringLiteral("Delete files"));
        QCOMPARE(box->text(), QStringLiteral("Do you want to remove selected files?"));
        QCOMPARE(box->defaultButton(), box->button(QMessageBox::No));
        // The wait cursor stays while the user decides.
        QCOMPARE(m_fixture->list()->cursor().shape(), Qt::WaitCursor);
        box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
    });
    m_fixture->page.findChild<QAction *>("actionDelete_file")->trigger();

    QCOMPARE(questionShown, asked);
    QVERIFY(!m_fixture->list()->testAttribute(Qt::WA_SetCursor));
    QCOMPARE(m_fixture->host.saves.load(), yes ? 1 : 0);
    for (int index = 0; index < ids.size(); ++index) {
        const bool gone = yes && selected.contains(index);
        QCOMPARE(bool(m_fixture->rowOf(ids[index])), !gone);
        QCOMPARE(bool(m_fixture->main.engine()->getWebSharedFile(ids[index])), !gone);
    }
}

void tst_uiWebSharedFiles::screenshots()
{
    QVERIFY(QDir().mkpath(file("Documents")));
    QStringList published;
    for (const char *name : {"Documents/Quarterly report 2026.pdf", "Documents/Holiday photos.zip",
                             "Documents/Band rehearsal.mp3"}) {
        QVERIFY(writeBytes(file(name), name));
        published << file(name);
    }
    m_fixture->publishDirectly(file("docs/a.txt"), QDateTime::currentDateTime().addDays(6), "pw");
    m_fixture->page.loadSharedFiles();

    QObject scope;
    bool saved = false;
    answerModal<QWizard>(&scope, [&](QWizard *wizard) {
        wizard->findChild<QLineEdit *>("lineEdit")->setText("summer26");
        saved = save(wizard, "web-new-file-sharing");
        wizard->button(QWizard::FinishButton)->click();
    });
    answerModal<uiLinksDisplay>(&scope, [&](uiLinksDisplay *display) {
        saved = saved && save(display, "web-links");
        display->findChild<QPushButton *>("pushButton_2")->click();
    });
    m_fixture->page.slotAddFiles(published);
    QVERIFY(saved);
    QCOMPARE(m_fixture->rows(), 4);
    m_fixture->list()->topLevelItem(1)->setSelected(true);
    QVERIFY(save(&m_fixture->page, "web-shared-files"));
}

void tst_uiWebSharedFiles::publishedFileDownloadsThroughTheServer()
{
    // The service, and alice's own client set up to serve her files from it.
    E2eFixture service;
    QVERIFY2(service.startService({"alice"}), qPrintable(service.server.errorText()));
    std::unique_ptr<ClientProcess> client = service.client("alice");
    QVERIFY(client && client->installPlugin(QStringLiteral(WIVORA_WFTP_PLUGIN)));

    // This page holds alice's account as the server keeps it.
    auto link = QSharedPointer<TcpConnection>::create();
    QVERIFY(link->connectToHost(service.server.host(), QString::number(service.server.tcpPort()),
                                service.server.publicKey()));
    QVERIFY(WServerCommands::Login("alice", E2eFixture::passwordOf("alice"), link));
    const QSharedPointer<WivoraAccount> account = m_fixture->host.getAccount();
    QVERIFY(account->openAccount(WServerCommands::getAccount(link), E2eFixture::passwordOf("alice"), true));
    account->setUserName("alice");

    const QByteArray content = E2eFixture::randomBytes(300 * 1000 + 7);
    QVERIFY(writeBytes(file("docs/report.bin"), content));
    Publishing user;
    user.password = "open sesame";
    QVERIFY(m_fixture->answer(user, [&] {
        dropFiles(m_fixture->list()->viewport(), {QUrl::fromLocalFile(file("docs/report.bin"))});
    }));
    QCOMPARE(m_fixture->host.saves.load(), 1);
    // Saved where the client saves it: on the server.
    QVERIFY(WServerCommands::saveAccount(account->saveAccount(), link));
    link->disconnectFromHost();
    QVERIFY2(client->start(), qPrintable(client->diagnostics()));

    // The link the page gave is the one the web server serves.
    const QString shownLink = user.shownLinks.trimmed();
    QCOMPARE(shownLink, m_fixture->list()->topLevelItem(0)->text(uiWebSharedFiles::LinkColumn));
    const QUrl url(shownLink);
    QCOMPARE(url.port(), int(service.server.httpPort()));
    const QtAnswer asked = qtExchange("GET", url);
    QCOMPARE(asked.status, 200);
    QVERIFY(asked.body.contains("password"));
    const QtAnswer wrong = qtExchange("POST", url, "password=open", "application/x-www-form-urlencoded");
    QCOMPARE(wrong.status, 403);
    const QtAnswer download =
        qtExchange("POST", url, "password=open%20sesame", "application/x-www-form-urlencoded");
    QCOMPARE(download.status, 200);
    QCOMPARE(download.body.size(), content.size());
    QVERIFY(download.body == content);
    QVERIFY(download.headers.value("content-disposition").contains("report.bin"));
    QVERIFY(client->stop());
}

WIVORA_TEST_MAIN(tst_uiWebSharedFiles)
#include "tst_uiWebSharedFiles.moc"

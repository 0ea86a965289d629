// The share-folder wizard and the folder properties dialog, driven as a user
// would: the folder page takes a folder only when it exists and refuses a
// name with "/"; the users page offers "allusers" and the contacts, one row
// per user; the wizard shares the folder and stores its rows; the dialog
// edits a folder's stored users and stores them on OK only.
#include "QtTestSuite.h"
#include "FolderSharingFixture.h"

#include <ModalAnswer.h>
#include <PSettings.h>
#include <ShareFolderWizard.h>
#include <applyPermittedUsers.h>
#include <uiFolderPreferences.h>
#include <wpSelectFolder.h>
#include <wpSelectUsers.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QTabWidget>

namespace {

void saveScreenshot(QWidget *widget, const QString &name)
{
    QDir().mkpath(QStringLiteral(SCREENSHOT_FOLDER));
    QVERIFY(widget->grab().save(QStringLiteral(SCREENSHOT_FOLDER "/") + name + QStringLiteral(".png")));
}

// Adds a row through the page's own controls, as "<user>:<rights>" (see
// FolderSharingFixture::row).
void addThroughPage(wpSelectUsers *page, const QString &spec)
{
    const QString rights = spec.section(':', 1);
    auto *users = page->findChild<QComboBox *>("comboBox");
    users->setCurrentIndex(users->findText(spec.section(':', 0, 0)));
    page->findChild<QCheckBox *>("checkBox")->setChecked(rights.contains('P'));
    page->findChild<QCheckBox *>("checkBox_2")->setChecked(rights.contains('R'));
    page->findChild<QCheckBox *>("checkBox_3")->setChecked(rights.contains('W'));
    page->findChild<QCheckBox *>("checkBox_4")->setChecked(rights.contains('D'));
    page->findChild<QCheckBox *>("checkBox_5")->setChecked(rights.contains('F'));
    page->findChild<QPushButton *>("pushButton_3")->click();
}

QStringList rowNames(const wpSelectUsers *page)
{
    QStringList names;
    for (const uiPermissionWidget *row : page->permissionWidgets)
        names << row->getUsername();
    return names;
}

void removeRow(wpSelectUsers *page, const QString &user)
{
    for (uiPermissionWidget *row : page->permissionWidgets) {
        if (row->getUsername() == user)
            return row->findChild<QPushButton *>("pushButton")->click();
    }
    QFAIL(qPrintable("no row of " + user));
}

QString textOf(QWidget *parent, const char *name)
{
    if (auto *edit = parent->findChild<QLineEdit *>(name))
        return edit->text();
    return parent->findChild<QLabel *>(name)->text();
}

} // namespace

class tst_ShareWizard : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void browse_data();
    void browse();
    void folderPage_data();
    void folderPage();
    void userList();
    void addAndRemoveUsers();
    void wizard_data();
    void wizard();
    void preferences_data();
    void preferences();
    void preferencesOfAContactsFolder();

private:
    std::unique_ptr<FolderSharingFixture> m_share;
};

void tst_ShareWizard::init()
{
    m_share = std::make_unique<FolderSharingFixture>();
    QVERIFY(QDir().mkpath(m_share->folder.filePath("photos")));
    QFile file(m_share->docs() + "/a.txt");
    QVERIFY(file.open(QIODevice::WriteOnly));
}

void tst_ShareWizard::cleanup()
{
    m_share.reset();
}

void tst_ShareWizard::browse_data()
{
    QTest::addColumn<bool>("pick");
    QTest::newRow("folder picked") << true;
    QTest::newRow("dialog cancelled") << false;
}

void tst_ShareWizard::browse()
{
    QFETCH(bool, pick);
    const QString start = m_share->folder.path();
    const QString photos = m_share->folder.filePath("photos");
    PSettings::SetValue("lastopendirectory", start);
    wpSelectFolder page;
    page.findChild<QLineEdit *>("lineEdit_2")->setText("typed before");

    QString shownAt;
    answerModal<QFileDialog>(this, [&](QFileDialog *dialog) {
        shownAt = dialog->directory().path();
        if (!pick)
            return dialog->reject();
        // Opened, not selected: a selection waits for the dialog's model,
        // which lists folders on a thread of its own.
        dialog->setDirectory(photos);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    page.findChild<QPushButton *>("pushButton")->click();

    QCOMPARE(shownAt, start);
    QCOMPARE(PSettings::GetValue("lastopendirectory").toString(), pick ? photos : start);
    QCOMPARE(page.folderPath, pick ? photos : QString());
    QCOMPARE(textOf(&page, "label_4"), pick ? photos : QString());
    QCOMPARE(textOf(&page, "lineEdit"), pick ? photos : QString());
    QCOMPARE(textOf(&page, "lineEdit_2"), pick ? QStringLiteral("photos") : QStringLiteral("typed before"));
}

void tst_ShareWizard::folderPage_data()
{
    // Steps: "type:<path>" into the folder field (pasted), "name:<text>" into the
    // name field, "remove:<path>"; "%1" is the temporary folder.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");

    QTest::newRow("typed folder") << QStringList{"type:%1/photos"} << "%1/photos" << "photos" << true;
    QTest::newRow("missing path keeps the folder") << QStringList{"type:%1/photos", "type:%1/photo"}
                                                   << "%1/photos" << "photos" << true;
    QTest::newRow("folder replaces an edited name") << QStringList{"type:%1/photos", "name:Holidays", "type:%1/docs"}
                                                    << "%1/docs" << "docs" << true;
    QTest::newRow("edited name kept") << QStringList{"type:%1/photos", "name:Holidays"} << "%1/photos"
                                      << "Holidays" << true;
    QTest::newRow("name with a slash") << QStringList{"type:%1/photos", "name:Holi/days"} << "%1/photos"
                                       << "Holi/days" << false;
    QTest::newRow("empty name") << QStringList{"type:%1/photos", "name:"} << "%1/photos" << "" << true;
    QTest::newRow("a file") << QStringList{"type:%1/docs/a.txt"} << "%1/docs/a.txt" << "a.txt" << true;
    QTest::newRow("folder gone") << QStringList{"type:%1/photos", "remove:%1/photos"} << "%1/photos" << "photos"
                                 << false;
    QTest::newRow("trailing slash") << QStringList{"type:%1/photos/"} << "%1/photos/" << "" << true;
    QTest::newRow("nothing chosen") << QStringList{} << "" << "" << false;
}

void tst_ShareWizard::folderPage()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QFETCH(bool, valid);
    const QString base = m_share->folder.path();
    wpSelectFolder page;
    for (const QString &step : steps) {
        const QString value = step.section(':', 1).replace("%1", base);
        if (step.startsWith("type:"))
            page.findChild<QLineEdit *>("lineEdit")->setText(value);
        else if (step.startsWith("name:"))
            page.findChild<QLineEdit *>("lineEdit_2")->setText(value);
        else
            QVERIFY(QDir(value).removeRecursively());
    }
    QCOMPARE(page.validatePage(), valid);
    folder.replace("%1", base);
    QCOMPARE(page.folderPath, folder);
    QCOMPARE(textOf(&page, "label_4"), folder);
    QCOMPARE(page.displayName, name);
}

void tst_ShareWizard::userList()
{
    wpSelectUsers page(m_share->main());
    auto *users = page.findChild<QComboBox *>("comboBox");
    QStringList offered;
    for (int i = 0; i < users->count(); ++i)
        offered << users->itemText(i) + "=" + users->itemData(i).toString();
    QCOMPARE(offered, QStringList({"allusers=allusers", "alice=alice", "carol=carol"}));
    QCOMPARE(page.findChild<QDateEdit *>("dateEdit")->date(), QDate::currentDate().addDays(1));
    QVERIFY(page.findChild<QCheckBox *>("checkBox")->isChecked());

    // Nobody logged in: nobody to offer.
    WFtpMain loggedOut;
    wpSelectUsers empty(loggedOut);
    QCOMPARE(empty.findChild<QComboBox *>("comboBox")->count(), 0);
}

void tst_ShareWizard::addAndRemoveUsers()
{
    wpSelectUsers page(m_share->main());
    addThroughPage(&page, "alice:R");
    addThroughPage(&page, "alice:RWDF");
    addThroughPage(&page, "allusers:W");
    QCOMPARE(rowNames(&page), QStringList({"alice", "allusers"}));
    auto *list = page.findChild<QListWidget *>("listWidget");
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->item(0)->sizeHint().height(), 94);

    // The first row kept what was chosen when it was added.
    auto record = QSharedPointer<WDataStructure>::create();
    page.permissionWidgets.first()->writePermission(record);
    QCOMPARE(record->gv("validTo"), QDate::currentDate().addDays(1).toString(Qt::ISODate));
    QCOMPARE(QStringList({record->gv("permanent"), record->gv("read"), record->gv("write"), record->gv("full")}),
             QStringList({"0", "1", "0", "0"}));

    QPointer<uiPermissionWidget> alice = page.permissionWidgets.first();
    removeRow(&page, "alice");
    QCOMPARE(rowNames(&page), QStringList{"allusers"});
    QCOMPARE(list->count(), 1);
    QTRY_VERIFY(alice.isNull());
    // Removed, the user can be added again.
    addThroughPage(&page, "alice:R");
    QCOMPARE(rowNames(&page), QStringList({"allusers", "alice"}));
}

void tst_ShareWizard::wizard_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<bool>("finish");
    QTest::addColumn<QString>("disc");
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QStringList>("pushes");

    QTest::newRow("shared with users") << "photos" << "Holidays" << QStringList{"alice:R", "carol:P", "allusers:R"}
                                       << true << "vls/bob/Holidays/root" << QStringList{"alice", "allusers"}
                                       << QStringList{"disconnect:carol vls/bob/Holidays/root", "shared:alice"};
    QTest::newRow("nobody chosen") << "photos" << "photos" << QStringList{} << true << "vls/bob/photos/root"
                                   << QStringList{} << QStringList{};
    QTest::newRow("name taken") << "photos" << "docs" << QStringList{"carol:F"} << true << "vls/bob/docs1/root"
                                << QStringList{"carol"} << QStringList{"shared:carol"};
    // A folder shared already keeps its disc and gets the new users.
    QTest::newRow("shared again") << "docs" << "Other" << QStringList{"alice:W"} << true << "vls/bob/docs/root"
                                  << QStringList{"alice"} << QStringList{"shared:alice"};
    QTest::newRow("cancelled") << "photos" << "photos" << QStringList{"alice:R"} << false << "" << QStringList{}
                               << QStringList{};
    QTest::newRow("no name") << "photos/" << "" << QStringList{"alice:R"} << true << "" << QStringList{}
                             << QStringList{};
}

void tst_ShareWizard::wizard()
{
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QFETCH(QStringList, rows);
    QFETCH(bool, finish);
    QFETCH(QString, disc);
    QFETCH(QStringList, stored);
    QFETCH(QStringList, pushes);
    const int discsBefore = m_share->main().engine()->getSharedDiscs()->childCount();
    QWidget browser;

    answerModal<ShareFolderWizard>(this, [&](ShareFolderWizard *wizard) {
        // A failed check must not leave the wizard open.
        const auto close = qScopeGuard([wizard] {
            if (wizard->isVisible())
                wizard->reject();
        });
        QCOMPARE(wizard->windowTitle(), QStringLiteral("New folder sharing"));
        QVERIFY(!wizard->pixmap(QWizard::LogoPixmap).isNull());
        QCOMPARE(wizard->currentPage(), wizard->folderPage());
        wizard->folderPage()->findChild<QLineEdit *>("lineEdit")->setText(m_share->folder.filePath(folder));
        wizard->folderPage()->findChild<QLineEdit *>("lineEdit_2")->setText(name);
        if (QTest::currentDataTag() == QByteArray("shared with users"))
            saveScreenshot(wizard, "share_wizard_folder");
        wizard->next();
        QCOMPARE(wizard->currentPage(), wizard->usersPage());
        for (const QString &row : rows)
            addThroughPage(wizard->usersPage(), row);
        if (QTest::currentDataTag() == QByteArray("shared with users"))
            saveScreenshot(wizard, "share_wizard_users");
        if (finish)
            wizard->button(QWizard::FinishButton)->click();
        else
            wizard->button(QWizard::CancelButton)->click();
    });
    QCOMPARE(ShareFolderWizard::run(m_share->main(), &browser), disc);

    const auto engine = m_share->main().engine();
    QCOMPARE(engine->getSharedDiscs()->childCount(), discsBefore + (disc.isEmpty() || folder == "docs" ? 0 : 1));
    if (!disc.isEmpty()) {
        const QString discName = disc.section('/', 2, 2);
        const auto root = engine->getSharedFolderByPath(discName, QString());
        QVERIFY(root);
        QStringList users;
        for (const auto &record : root->GetStructureByValue("section", "permittedusers")->getChildren())
            users << record->gv("section");
        QCOMPARE(users, stored);
    }
    QCOMPARE(m_share->takePushes(), pushes);
    QCOMPARE(m_share->knownBy("alice"), pushes.contains("shared:alice") ? QStringList{disc} : QStringList{});
    QCOMPARE(browser.cursor().shape(), Qt::ArrowCursor);
}

void tst_ShareWizard::preferences_data()
{
    // Steps on the dialog: "remove:<user>", "add:<spec>"; then "ok" or "cancel".
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QStringList>("pushes");

    const QString root = FolderSharingFixture::Root;
    QTest::newRow("unchanged") << root << QStringList{} << true << QStringList{"alice", "carol"}
                               << QStringList{"shared:alice", "shared:carol"};
    QTest::newRow("one removed") << root << QStringList{"remove:alice"} << true << QStringList{"carol"}
                                 << QStringList{"disconnect:alice " + root, "shared:carol"};
    QTest::newRow("every one removed") << root << QStringList{"remove:alice", "remove:carol"} << true << QStringList{}
                                       << QStringList{"disconnect:alice " + root, "disconnect:carol " + root};
    QTest::newRow("one added") << root << QStringList{"remove:carol", "add:allusers:R"} << true
                               << QStringList{"alice", "allusers"}
                               << QStringList{"disconnect:carol " + root, "shared:alice"};
    QTest::newRow("changes cancelled") << root << QStringList{"remove:alice", "add:allusers:R"} << false
                                       << QStringList{"alice", "carol"} << QStringList{};
    // A sub-folder with no record gets one on OK, with no users.
    QTest::newRow("new sub-folder") << root + "/sub" << QStringList{} << true << QStringList{} << QStringList{};
}

void tst_ShareWizard::preferences()
{
    QFETCH(QString, path);
    QFETCH(QStringList, steps);
    QFETCH(bool, ok);
    QFETCH(QStringList, stored);
    QFETCH(QStringList, pushes);
    QList<uiPermissionWidget *> rows{FolderSharingFixture::row("alice:R"), FolderSharingFixture::row("carol:WP")};
    applyPermittedUsers(m_share->main(), FolderSharingFixture::Root, rows);
    qDeleteAll(rows);
    m_share->takePushes();
    const QString account = m_share->accountText();
    const int saves = m_share->bob().saves;
    const bool isRoot = path == FolderSharingFixture::Root;
    QWidget browser;

    answerModal<uiFolderPreferences>(this, [&](uiFolderPreferences *dialog) {
        const auto close = qScopeGuard([dialog] {
            if (dialog->isVisible())
                dialog->reject();
        });
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Folder properties"));
        QCOMPARE(dialog->tabs()->count(), 1);
        QCOMPARE(dialog->tabs()->tabText(0), QStringLiteral("Folder sharing"));
        QCOMPARE(dialog->virtualPath, path);
        QCOMPARE(rowNames(dialog->usersPage), isRoot ? QStringList({"alice", "carol"}) : QStringList{});
        if (QTest::currentDataTag() == QByteArray("unchanged"))
            saveScreenshot(dialog, "folder_properties");
        for (const QString &step : steps) {
            if (step.startsWith("remove:"))
                removeRow(dialog->usersPage, step.section(':', 1));
            else
                addThroughPage(dialog->usersPage, step.section(':', 1));
        }
        dialog->findChild<QPushButton *>(ok ? "pushButton" : "pushButton_2")->click();
    });
    QCOMPARE(uiFolderPreferences::edit(m_share->main(), path, &browser), ok);

    QCOMPARE(m_share->stored(isRoot ? QString() : "/sub"), stored);
    QCOMPARE(m_share->takePushes(), pushes);
    if (!ok) {
        // Only the empty list loading made in memory may differ: nothing.
        QCOMPARE(m_share->accountText(), account);
        QCOMPARE(int(m_share->bob().saves), saves);
    }
}

void tst_ShareWizard::preferencesOfAContactsFolder()
{
    QList<uiPermissionWidget *> rows{FolderSharingFixture::row("alice:R")};
    applyPermittedUsers(m_share->main(), FolderSharingFixture::Root, rows);
    qDeleteAll(rows);
    m_share->takePushes();
    const QString account = m_share->accountText();
    QWidget browser;

    answerModal<uiFolderPreferences>(this, [&](uiFolderPreferences *dialog) {
        const auto close = qScopeGuard([dialog] {
            if (dialog->isVisible())
                dialog->reject();
        });
        QCOMPARE(dialog->usersPage->permissionWidgets.size(), 0);
        QCOMPARE(dialog->usersPage->findChild<QComboBox *>("comboBox")->count(), 3);
        addThroughPage(dialog->usersPage, "carol:F");
        dialog->findChild<QPushButton *>("pushButton")->click();
    });
    QVERIFY(uiFolderPreferences::edit(m_share->main(), "vrs/alice/docs/root", &browser));
    QCOMPARE(m_share->accountText(), account);
    QCOMPARE(m_share->takePushes(), QStringList{});
}

WIVORA_TEST_MAIN(tst_ShareWizard)
#include "tst_ShareWizard.moc"

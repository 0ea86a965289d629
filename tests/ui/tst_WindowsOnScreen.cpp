// Every window and dialog of the program and its plug-ins on a 1366×768
// screen of its own, at the scale the run was given (QT_SCALE_FACTOR, run by
// on-own-screen.sh): each opens within the screen, every button of it can be
// reached, and no text or control is cut by its parent or squeezed below the
// size it needs. A picture of each goes to the screenshot folder as
// onscreen-<scale>x-<name>.png, to be looked at.

#include "ContactList.h"
#include "MainContainer.h"
#include "ModalAnswer.h"
#include "NotifyWindow.h"
#include "QWivoraStyle.h"
#include "QtTestSuite.h"
#include "ScreenFit.h"
#include "WindowFixture.h"
#include "uiContacts.h"
#include "Wivora.h"

#include <PSettings.h>

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QTreeWidget>
#include <QWebView>
#include <QWizard>

#include <functional>
#include <memory>

namespace {

const QString Alice = QStringLiteral("alice");

QString describe(const QWidget *widget)
{
    QString text;
    if (auto *button = qobject_cast<const QAbstractButton *>(widget))
        text = button->text();
    else if (auto *label = qobject_cast<const QLabel *>(widget))
        text = label->text().left(40);
    return QStringLiteral("%1 \"%2\" (%3)")
        .arg(QString::fromLatin1(widget->metaObject()->className()), text, widget->objectName());
}

QString describe(const QRect &rect)
{
    return QStringLiteral("%1,%2 %3×%4").arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height());
}

// Inside a scrolled view the user scrolls to what is not in sight.
bool scrolled(const QWidget *widget, const QWidget *window)
{
    for (const QWidget *parent = widget->parentWidget(); parent && parent != window; parent = parent->parentWidget()) {
        auto *area = qobject_cast<const QAbstractScrollArea *>(parent->parentWidget());
        if (area && area->viewport() == parent)
            return true;
    }
    return false;
}

const QWidget *clippingParent(const QWidget *widget, const QWidget *window)
{
    for (const QWidget *parent = widget->parentWidget(); parent; parent = parent->parentWidget()) {
        const QRect inParent(widget->mapTo(parent, QPoint()), widget->size());
        if (!parent->rect().adjusted(-1, -1, 1, 1).contains(inParent))
            return parent;
        if (parent == window)
            break;
    }
    return nullptr;
}

// Smaller than it needs to show its text whole: labels that wrap need their
// height for the width they got; one told to ignore its width (a long path
// with the whole of it in the tool tip) only its height.
QString squeezed(const QWidget *widget)
{
    const QSize size = widget->size();
    QSize needed = widget->minimumSizeHint();
    if (auto *label = qobject_cast<const QLabel *>(widget)) {
        if (label->wordWrap() || label->sizePolicy().horizontalPolicy() == QSizePolicy::Ignored)
            needed.setWidth(0);
        if (label->wordWrap() && label->hasHeightForWidth())
            needed.setHeight(label->heightForWidth(size.width()));
    }
    if (size.width() + 1 >= needed.width() && size.height() + 1 >= needed.height())
        return QString();
    return QStringLiteral("%1 is %2×%3, needs %4×%5")
        .arg(describe(widget))
        .arg(size.width())
        .arg(size.height())
        .arg(needed.width())
        .arg(needed.height());
}

QStringList faultsOf(const QWidget *window)
{
    QStringList faults;
    const QRect screen = window->screen()->availableGeometry();
    if (!screen.contains(window->frameGeometry()))
        faults << QStringLiteral("window at %1, the screen %2").arg(describe(window->frameGeometry()), describe(screen));
    for (const QWidget *widget : window->findChildren<QWidget *>()) {
        if (!widget->isVisible() || widget->window() != window)
            continue;
        const bool button = qobject_cast<const QAbstractButton *>(widget);
        const bool control = button || qobject_cast<const QLabel *>(widget) || qobject_cast<const QLineEdit *>(widget)
            || qobject_cast<const QComboBox *>(widget) || qobject_cast<const QAbstractSpinBox *>(widget);
        if (!control)
            continue;
        // Buttons that show only a picture are drawn to the size they get.
        const bool text = !button || !static_cast<const QAbstractButton *>(widget)->text().isEmpty();
        const QString tooSmall = text ? squeezed(widget) : QString();
        if (!tooSmall.isEmpty())
            faults << tooSmall;
        if (scrolled(widget, window))
            continue;
        if (const QWidget *parent = clippingParent(widget, window))
            faults << QStringLiteral("%1 cut by %2").arg(describe(widget), describe(parent));
        const QRect global(widget->mapToGlobal(QPoint()), widget->size());
        if (button && !screen.contains(global))
            faults << QStringLiteral("%1 at %2, off the screen").arg(describe(widget), describe(global));
    }
    return faults;
}

QString scaleName()
{
    const QByteArray scale = qgetenv("QT_SCALE_FACTOR");
    return QString::fromLatin1(scale.isEmpty() ? QByteArray("1") : scale) + QLatin1Char('x');
}

bool save(QWidget *window, const QString &name)
{
    QDir().mkpath(QStringLiteral(SCREENSHOT_FOLDER));
    const QImage image = window->grab().toImage();
    return !image.isNull()
        && image.save(QStringLiteral(SCREENSHOT_FOLDER "/onscreen-%1-%2.png").arg(scaleName(), name));
}

} // namespace

class tst_WindowsOnScreen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase()
    {
        // As the program ends: the session first, with the plug-ins' work.
        if (m_window && m_window->isLoggedInPage()) {
            action(QStringLiteral("actionLog_out"))->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(!m_window->isLoggedInPage(), 30000);
        }
        m_window.reset();
    }

    void loggedOut() { check(m_window.get(), QStringLiteral("logged-out")); }
    void loggedIn();
    void pluginPages();
    void contactPages();
    void menuDialogs_data();
    void menuDialogs();
    void shareFolderWizard();
    void notice();

    // Keyboard users reach every entry of the window's own menus, and the
    // plug-ins' menus are given a mnemonic too.
    void everyMenuEntryHasItsOwnMnemonic()
    {
        QList<QWidget *> menus{m_window->menuBar()};
        while (!menus.isEmpty()) {
            QWidget *menu = menus.takeFirst();
            QStringList letters;
            for (QAction *action : menu->actions()) {
                if (action->isSeparator() || action->text().isEmpty())
                    continue;
                if (action->menu())
                    menus << action->menu();
                // The plug-ins' own entries are theirs to name.
                const bool programs = menu == m_window->menuBar() || menu->objectName().startsWith(QLatin1String("menu"));
                const QKeySequence key = QKeySequence::mnemonic(action->text());
                if (key.isEmpty()) {
                    QVERIFY2(!programs, qPrintable(action->text() + QStringLiteral(" has no mnemonic")));
                    continue;
                }
                const QString letter = key.toString().right(1).toLower();
                QVERIFY2(!letters.contains(letter),
                         qPrintable(QStringLiteral("%1 in %2 shares its letter").arg(action->text(), menu->objectName())));
                letters << letter;
            }
        }
    }

private:
    // Checks a window that is up, and saves its picture.
    void check(QWidget *window, const QString &name)
    {
        QVERIFY(QTest::qWaitForWindowExposed(window));
        // Layouts settle on the turn after showing.
        QCoreApplication::processEvents();
        QVERIFY(save(window, name));
        const QStringList faults = faultsOf(window);
        QVERIFY2(faults.isEmpty(), qPrintable(name + QStringLiteral(":\n  ") + faults.join(QStringLiteral("\n  "))));
    }

    // Runs `open`, which shows a modal window and returns when it closes;
    // hands the window to `inspect` while it is up, then closes it.
    bool whileModal(const std::function<void()> &open, const std::function<void(QWidget *)> &inspect)
    {
        bool seen = false;
        answerModal<QWidget>(this, [&](QWidget *modal) {
            seen = true;
            QPointer<QWidget> guard(modal);
            inspect(modal);
            if (auto *dialog = qobject_cast<QDialog *>(guard.data()))
                dialog->reject();
            else if (guard)
                guard->close();
        });
        open();
        return seen;
    }

    // The faults of a modal window, saved as `name`.
    QStringList modalFaults(QWidget *modal, const QString &name)
    {
        QStringList faults;
        if (!QTest::qWaitForWindowExposed(modal))
            faults << QStringLiteral("never shown");
        QCoreApplication::processEvents();
        faults << faultsOf(modal);
        if (!save(modal, name))
            faults << QStringLiteral("no picture");
        for (QString &fault : faults)
            fault.prepend(name + QStringLiteral(": "));
        return faults;
    }

    QAction *action(const QString &name) const { return m_window->findChild<QAction *>(name); }

    WindowFixture m_fixture;
    QTemporaryDir m_files;
    ScreenFit m_screenFit;
    std::unique_ptr<Wivora> m_window;
};

void tst_WindowsOnScreen::initTestCase()
{
    QVERIFY2(m_fixture.start({Alice, QStringLiteral("bob")}, {{Alice, QStringLiteral("bob")}}),
             qPrintable(m_fixture.sessions.server.errorText()));
    QVERIFY(m_fixture.setUpThisProcess());
    const QString plugins = PSettings::GetStoragePath(QStringLiteral("plugins"));
    for (const QString &plugin : {QStringLiteral(WIVORA_WFTP_PLUGIN), QStringLiteral(WIVORA_WMAIL_PLUGIN)}) {
        const QString target = plugins + QLatin1Char('/') + QFileInfo(plugin).fileName();
        QFile::remove(target);
        QVERIFY(QFile::copy(plugin, target));
    }
    PSettings::SetValue(QStringLiteral("settings/rememberMe"), false);
    PSettings::SetValue(QStringLiteral("settings/username"), Alice);
    // Styled and fitted as the program's main() does it.
    QFile styleSheet(QStringLiteral(":/wivorastyle/Resources/wivorastyle.stt"));
    QVERIFY(styleSheet.open(QIODevice::ReadOnly));
    qApp->setStyleSheet(QString::fromLatin1(styleSheet.readAll()));
    qApp->setStyle(new QWivoraStyle);
    qApp->installEventFilter(&m_screenFit);
    QCOMPARE(QGuiApplication::primaryScreen()->size() * QGuiApplication::primaryScreen()->devicePixelRatio(),
             QSize(1366, 768));
    m_window.reset(new Wivora);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_WindowsOnScreen::loggedIn()
{
    PSettings::SetValue(QStringLiteral("settings/rememberMe"), true);
    PSettings::SetValue(QStringLiteral("settings/password"), WindowFixture::passwordOf(Alice));
    QSignalSpy pageLoaded(m_window->mainContainer()->startPage(), &QWebView::loadFinished);
    m_window->autoLogin();
    QVERIFY(m_window->isLoggedInPage());
    QVERIFY(pageLoaded.count() > 0 || pageLoaded.wait(30000));
    check(m_window.get(), QStringLiteral("start-page"));
}

void tst_WindowsOnScreen::pluginPages()
{
    auto *toolBar = m_window->findChild<QToolBar *>(QStringLiteral("toolbar"));
    QAction *files = nullptr;
    for (QAction *button : toolBar->actions()) {
        if (button->text() == QLatin1String("WFtp"))
            files = button;
    }
    QVERIFY(files);
    QTest::mouseClick(toolBar->widgetForAction(files), Qt::LeftButton);
    check(m_window.get(), QStringLiteral("page-wftp"));
}

// A contact's page, opened from the contacts list, with each plug-in's tab.
void tst_WindowsOnScreen::contactPages()
{
    ContactList *list = m_window->contactsPanel()->contactList();
    QTRY_VERIFY(list->topLevelItemCount() > 0);
    QTreeWidgetItem *bob = list->topLevelItem(0);
    QCOMPARE(bob->data(0, ContactList::UserRole).toString(), QStringLiteral("bob"));
    const QPoint centre = list->visualItemRect(bob).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, centre);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, centre);
    auto *tabs = m_window->findChild<QToolBar *>(QStringLiteral("profileToolBar"));
    QTRY_VERIFY(tabs->isVisible());
    // The file-sharing and messaging plug-ins' tabs, and the probe's.
    QStringList shown;
    for (QAction *tab : tabs->actions()) {
        QTest::mouseClick(tabs->widgetForAction(tab), Qt::LeftButton);
        shown << tab->text();
        check(m_window.get(), QStringLiteral("contact-%1-%2").arg(shown.size()).arg(tab->text()));
        if (QTest::currentTestFailed())
            return;
    }
    shown.sort();
    QCOMPARE(shown, QStringList({QStringLiteral("chat"), QStringLiteral("chat"), QStringLiteral("files"),
                                 QStringLiteral("files")}));
}

void tst_WindowsOnScreen::menuDialogs_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("profile") << "actionEdit_profile";
    QTest::newRow("add-contact") << "actionAdd_Contact";
    QTest::newRow("settings") << "actionSettings";
    QTest::newRow("plugins") << "actionManage_plugins";
    QTest::newRow("change-password") << "actionChange_Password";
    QTest::newRow("about") << "actionAbout";
}

void tst_WindowsOnScreen::menuDialogs()
{
    QFETCH(QString, action);
    QAction *opener = this->action(action);
    QVERIFY(opener);
    QStringList faults;
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    QVERIFY(whileModal([opener] { opener->trigger(); },
                       [&](QWidget *modal) { faults = modalFaults(modal, name); }));
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

void tst_WindowsOnScreen::shareFolderWizard()
{
    QDir(m_files.path()).mkdir(QStringLiteral("Holiday"));
    QAction *add = action(QStringLiteral("actionAdd_shared_folder"));
    QVERIFY(add);
    QStringList faults;
    bool reachedUsers = false;
    QVERIFY(whileModal([add] { add->trigger(); },
                       [&](QWidget *modal) {
                           auto *wizard = qobject_cast<QWizard *>(modal);
                           if (!wizard)
                               return;
                           faults << modalFaults(wizard, QStringLiteral("share-wizard-folder"));
                           auto *path = wizard->currentPage()->findChild<QLineEdit *>(QStringLiteral("lineEdit"));
                           auto *name = wizard->currentPage()->findChild<QLineEdit *>(QStringLiteral("lineEdit_2"));
                           QTest::keyClicks(path, m_files.filePath(QStringLiteral("Holiday")));
                           QTest::keyClicks(name, QStringLiteral("Holiday"));
                           QTest::mouseClick(wizard->button(QWizard::NextButton), Qt::LeftButton);
                           reachedUsers = wizard->currentPage()->objectName() == QLatin1String("wpSelectUsers");
                           faults << modalFaults(wizard, QStringLiteral("share-wizard-users"));
                       }));
    QVERIFY(reachedUsers);
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

void tst_WindowsOnScreen::notice()
{
    NotifyWindow *notice = m_window->notifyWindow();
    notice->setText(QStringLiteral("New message from bob"));
    notice->show();
    QTRY_COMPARE(notice->windowOpacity(), 1.0);
    check(notice, QStringLiteral("notice"));
}

WIVORA_TEST_MAIN(tst_WindowsOnScreen)
#include "tst_WindowsOnScreen.moc"

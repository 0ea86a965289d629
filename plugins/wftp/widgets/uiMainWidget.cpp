#include "uiMainWidget.h"

#include "uiFileBrowser.h"
#include "uiWebSharedFiles.h"

#include <SharePage.h>
#include <WFtpMain.h>

#include <QGridLayout>
#include <QTabBar>
#include <QTabWidget>
#include <QThread>

uiMainWidget::uiMainWidget(WFtpMain &main, TransferManager &transfers, SharePage &page, QWidget *parent)
    : QWidget(parent),
      m_main(main),
      m_page(page),
      m_tabs(new QTabWidget(this)),
      m_friendsBrowser(new uiFileBrowser(main, transfers)),
      m_ownBrowser(new uiFileBrowser(main, transfers)),
      m_webFiles(new uiWebSharedFiles(main))
{
    setWindowTitle(QStringLiteral("uiMainWidget"));
    auto *layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_tabs);
    m_tabs->setObjectName(QStringLiteral("tabWidget"));
    // Contacts' discs are shared by their owners, not from here.
    m_friendsBrowser->setSharingActionsVisible(false);
    m_friendsBrowser->setObjectName(QStringLiteral("friendsBrowser"));
    m_ownBrowser->setObjectName(QStringLiteral("ownBrowser"));
    m_webFiles->setObjectName(QStringLiteral("webSharedFiles"));
    const QStringList names{QStringLiteral("tab"), QStringLiteral("tab_2"), QStringLiteral("tab_3")};
    const QStringList titles{tr("My friends folders"), tr("My shared folders"), tr("Web shared files")};
    const QList<QWidget *> contents{m_friendsBrowser, m_ownBrowser, m_webFiles};
    for (int i = 0; i < names.size(); ++i) {
        auto *tab = new QWidget;
        tab->setObjectName(names.at(i));
        auto *tabLayout = new QGridLayout(tab);
        tabLayout->setContentsMargins(0, 0, 0, 0);
        tabLayout->addWidget(contents.at(i));
        m_tabs->addTab(tab, titles.at(i));
    }
    m_tabs->setCurrentIndex(0);
    // A drag held over a tab shows that tab: contacts' entries are carried
    // to "My shared folders" that way and dropped there.
    m_tabs->tabBar()->setChangeCurrentOnDrag(true);
    m_tabs->tabBar()->setAcceptDrops(true);

    // The page model changes on this thread only; follow it.
    connect(&m_page, &SharePage::friendDiscsChanged, this, &uiMainWidget::showFriendDiscs);
    connect(&m_page, &SharePage::thumbnailArrived, this, &uiMainWidget::showThumbnail);
    // Overdue web files are dropped by the maintenance thread.
    connect(&m_main, &WFtpMain::webFilesChanged, m_webFiles, &uiWebSharedFiles::refreshFiles);
}

template <typename Work> void uiMainWidget::onPageThread(Work &&work)
{
    // Direct on the page's thread; from elsewhere queued behind what that
    // thread posted before, so the page sees the calls in their order.
    if (QThread::currentThread() == thread())
        work();
    else
        QMetaObject::invokeMethod(this, std::forward<Work>(work), Qt::QueuedConnection);
}

QString uiMainWidget::user() const
{
    return m_page.user();
}

QStringList uiMainWidget::ownDiscs() const
{
    return m_ownBrowser->discPaths;
}

QStringList uiMainWidget::friendDiscs() const
{
    return m_friendsBrowser->discPaths;
}

void uiMainWidget::setUser(const QString &user)
{
    onPageThread([this, user] {
        m_page.setUser(user);
        refresh();
    });
}

void uiMainWidget::refresh()
{
    onPageThread([this] {
        loadDiscs();
        m_webFiles->loadSharedFiles();
    });
}

void uiMainWidget::loadDiscs()
{
    m_page.setFriendDiscs(m_main.knownDiscs());
    showDiscList(m_friendsBrowser, m_page.friendDiscs());
    showDiscList(m_ownBrowser, m_main.ownDiscsFor(m_page.user()));
}

void uiMainWidget::showDiscList(uiFileBrowser *browser, const QStringList &discs)
{
    browser->discPaths = discs;
    browser->currentPath = QStringLiteral("/");
    browser->requestListDirectory(false);
}

void uiMainWidget::addFriendDisc(const QString &discPath)
{
    onPageThread([this, discPath] { m_page.addFriendDisc(discPath); });
}

void uiMainWidget::removeFriendDisc(const QString &discPath)
{
    onPageThread([this, discPath] { m_page.removeFriendDisc(discPath); });
}

void uiMainWidget::removeUserDiscs(const QString &user)
{
    onPageThread([this, user] {
        m_main.forgetUserDiscs(user);
        m_page.removeUserDiscs(user);
    });
}

void uiMainWidget::setFileThumbnail(const QString &folderPath, const QString &name, const QImage &picture)
{
    onPageThread([this, folderPath, name, picture] { m_page.setFileThumbnail(folderPath, name, picture); });
}

void uiMainWidget::showFriendDiscs()
{
    uiFileBrowser *const browser = m_friendsBrowser;
    browser->discPaths = m_page.friendDiscs();
    if (browser->currentPath == QLatin1String("/")) {
        browser->requestListDirectory(false);
        return;
    }
    // Inside a disc that was withdrawn: back to the disc list. A disc is its
    // type, owner, name and root or shared folder.
    const auto discOf = [](const QString &path) {
        return WFtpMain::normalisedDisc(path).section(QLatin1Char('/'), 0, 3);
    };
    const QString shown = discOf(browser->currentPath);
    for (const QString &disc : browser->discPaths) {
        if (discOf(disc) == shown)
            return;
    }
    browser->requestListDisc();
}

void uiMainWidget::showThumbnail(const QString &folderPath, const QString &name)
{
    uiFileBrowser *const browser =
        WFtpMain::ownerOf(folderPath) == m_main.userName() ? m_ownBrowser : m_friendsBrowser;
    browser->setFileThumbnail(folderPath, name, m_page.thumbnail(folderPath, name));
}

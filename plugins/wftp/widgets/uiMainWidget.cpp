#include "uiMainWidget.h"

#include "uiWebSharedFiles.h"

#include <SharePage.h>
#include <WFtpMain.h>

#include <QGridLayout>
#include <QTabWidget>
#include <QThread>

uiMainWidget::uiMainWidget(WFtpMain &main, SharePage &page, QWidget *parent)
    : QWidget(parent), m_main(main), m_page(page), m_tabs(new QTabWidget(this)), m_webFiles(new uiWebSharedFiles(main))
{
    setWindowTitle(QStringLiteral("uiMainWidget"));
    auto *layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_tabs);
    m_tabs->setObjectName(QStringLiteral("tabWidget"));
    const QStringList names{QStringLiteral("tab"), QStringLiteral("tab_2"), QStringLiteral("tab_3")};
    const QStringList titles{tr("My friends folders"), tr("My shared folders"), tr("Web shared files")};
    for (int i = 0; i < names.size(); ++i) {
        auto *tab = new QWidget;
        tab->setObjectName(names.at(i));
        new QGridLayout(tab);
        m_tabs->addTab(tab, titles.at(i));
    }
    m_tabs->setCurrentIndex(0);
    m_webFiles->setObjectName(QStringLiteral("webSharedFiles"));
    m_tabs->widget(2)->layout()->addWidget(m_webFiles);

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

QStringList uiMainWidget::friendDiscs() const
{
    return m_page.friendDiscs();
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
    m_ownDiscs = m_main.ownDiscsFor(m_page.user());
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

void uiMainWidget::addOwnDisc(const QString &discPath)
{
    onPageThread([this, discPath] {
        if (!m_ownDiscs.contains(discPath))
            m_ownDiscs.append(discPath);
    });
}

void uiMainWidget::setFileThumbnail(const QString &folderPath, const QString &name, const QImage &picture)
{
    onPageThread([this, folderPath, name, picture] { m_page.setFileThumbnail(folderPath, name, picture); });
}

void uiMainWidget::showFriendDiscs() {}

void uiMainWidget::showThumbnail(const QString &folderPath, const QString &name)
{
    Q_UNUSED(folderPath)
    Q_UNUSED(name)
}

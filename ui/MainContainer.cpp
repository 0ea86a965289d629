#include "MainContainer.h"

#include "ServiceSettings.h"

#include <ExternalLinks.h>

#include <QGridLayout>
#include <QPainter>
#include <QStackedWidget>
#include <QWebPage>
#include <QWebSettings>
#include <QWebView>

MainContainer::MainContainer(QWidget *parent)
    : QWidget(parent)
    , m_pages(new QStackedWidget)
    , m_startPage(new QWebView)
{
    setObjectName(QStringLiteral("MainContainerClass"));
    setWindowTitle(QStringLiteral("MainContainer"));
    resize(446, 346);
    auto *outer = new QGridLayout(this);
    outer->setObjectName(QStringLiteral("gridLayout_2"));
    outer->setSpacing(0);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *inner = new QGridLayout;
    inner->setObjectName(QStringLiteral("gridLayout"));
    inner->setSpacing(6);
    inner->setContentsMargins(3, 3, 3, 3);
    outer->addLayout(inner, 0, 0);
    inner->addWidget(m_pages, 0, 0);

    // The page comes from the network: clicks never navigate the view (the
    // allowed ones go to the desktop), and nothing local or executable runs.
    m_startPage->setObjectName(QStringLiteral("startPage"));
    m_startPage->page()->setLinkDelegationPolicy(QWebPage::DelegateAllLinks);
    QWebSettings *settings = m_startPage->settings();
    settings->setAttribute(QWebSettings::PluginsEnabled, false);
    settings->setAttribute(QWebSettings::JavascriptCanOpenWindows, false);
    settings->setAttribute(QWebSettings::LocalContentCanAccessFileUrls, false);
    settings->setAttribute(QWebSettings::LocalContentCanAccessRemoteUrls, false);
    connect(m_startPage, &QWebView::linkClicked, this, &MainContainer::slotLinkClicked);
    m_pages->addWidget(m_startPage);
}

MainContainer::~MainContainer() = default;

void MainContainer::addPluginWidget(const QString &name, const QIcon &icon, QWidget *widget)
{
    Q_UNUSED(icon)
    if (!widget)
        return;
    m_pluginWidgets.insert(name, widget);
    m_pages->addWidget(widget);
}

void MainContainer::showStartPage()
{
    m_pages->setCurrentWidget(m_startPage);
}

void MainContainer::loadStartPage()
{
    m_startPage->load(QUrl(ServiceSettings::publicSite() + QStringLiteral("/pages/program/startpage.aspx")));
}

QWidget *MainContainer::currentPage() const
{
    return m_pages->currentWidget();
}

void MainContainer::slotPluginSelected(const QString &name)
{
    QWidget *widget = m_pluginWidgets.value(name);
    if (widget)
        m_pages->setCurrentWidget(widget);
}

void MainContainer::slotLinkClicked(const QUrl &url)
{
    ExternalLinks::open(url);
}

void MainContainer::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QColor(0, 79, 146, 255));
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(QRect(0, 0, width() - 1, height() - 1), 5, 5);
    painter.end();
    QWidget::paintEvent(event);
}

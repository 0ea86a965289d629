#include "uiUserProfileView.h"

#include "MainClass.h"
#include "WGraphicsOperations.h"

#include <PeerPicture.h>
#include <WDataStructure.h>
#include <WivoraAccount.h>

#include <QAction>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QStackedWidget>
#include <QToolBar>
#include <QVBoxLayout>

namespace {

// The widest a contact's texts may make the header (logical pixels): a long
// name must not widen the main window.
constexpr int kMaxNameWidth = 320;
constexpr int kMaxDetailWidth = 160;

} // namespace

uiUserProfileView::uiUserProfileView(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("uiUserProfileViewClass"));
    setWindowTitle(QStringLiteral("uiUserProfileView"));
    resize(614, 493);
    auto *outer = new QGridLayout(this);
    outer->setObjectName(QStringLiteral("gridLayout_2"));
    outer->setSpacing(0);
    outer->setContentsMargins(0, 0, 0, 0);

    auto *header = new QFrame;
    header->setObjectName(QStringLiteral("personalInfoFrame"));
    header->setFrameShape(QFrame::StyledPanel);
    header->setFrameShadow(QFrame::Raised);
    auto *headerGrid = new QGridLayout(header);
    headerGrid->setObjectName(QStringLiteral("gridLayout"));
    headerGrid->setSpacing(6);
    headerGrid->setContentsMargins(4, 4, 4, 4);
    auto *grid11 = new QGridLayout;
    grid11->setObjectName(QStringLiteral("gridLayout_11"));
    headerGrid->addLayout(grid11, 0, 0);
    m_avatar = addLabel(QStringLiteral("label"));
    m_avatar->setFixedSize(60, 60);
    grid11->addWidget(m_avatar, 0, 0);
    auto *column = new QVBoxLayout;
    column->setObjectName(QStringLiteral("verticalLayout"));
    grid11->addLayout(column, 0, 1);

    auto *nameLine = new QGridLayout;
    nameLine->setObjectName(QStringLiteral("gridLayout_4"));
    m_fullName = addLabel(QStringLiteral("fullName"));
    QFont bold = m_fullName->font();
    bold.setBold(true);
    m_fullName->setFont(bold);
    nameLine->addWidget(m_fullName, 0, 0);
    auto *details = new QGridLayout;
    details->setObjectName(QStringLiteral("gridLayout_5"));
    auto *statusAndName = new QGridLayout;
    statusAndName->setObjectName(QStringLiteral("gridLayout_6"));
    m_status = addLabel(QStringLiteral("status"));
    m_username = addLabel(QStringLiteral("username"));
    statusAndName->addWidget(m_status, 0, 0);
    statusAndName->addWidget(m_username, 0, 1);
    details->addLayout(statusAndName, 0, 0);
    m_country = addLabel(QStringLiteral("country"));
    m_city = addLabel(QStringLiteral("city"));
    details->addWidget(m_country, 0, 1);
    details->addWidget(m_city, 0, 2);
    details->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 0, 3);
    nameLine->addLayout(details, 0, 1);
    nameLine->setColumnStretch(1, 1);
    auto *grid8 = new QGridLayout;
    grid8->setObjectName(QStringLiteral("gridLayout_8"));
    grid8->addLayout(nameLine, 0, 1);
    column->addLayout(grid8);

    auto *toolbarLayout = new QGridLayout;
    toolbarLayout->setObjectName(QStringLiteral("toolbarLayout"));
    m_toolBar = new QToolBar;
    m_toolBar->setObjectName(QStringLiteral("profileToolBar"));
    m_toolBar->setIconSize(QSize(19, 19));
    m_toolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolbarLayout->addWidget(m_toolBar, 0, 0);
    column->addLayout(toolbarLayout);
    outer->addWidget(header, 0, 0);

    auto *content = new QFrame;
    content->setObjectName(QStringLiteral("personalcontentframe"));
    content->setFrameShape(QFrame::StyledPanel);
    content->setFrameShadow(QFrame::Raised);
    auto *contentGrid = new QGridLayout(content);
    contentGrid->setObjectName(QStringLiteral("gridLayout_9"));
    contentGrid->setSpacing(0);
    contentGrid->setContentsMargins(2, 2, 2, 2);
    auto *pagesLayout = new QGridLayout;
    pagesLayout->setObjectName(QStringLiteral("gridLayout_3"));
    contentGrid->addLayout(pagesLayout, 0, 0);
    m_pages = new QStackedWidget;
    pagesLayout->addWidget(m_pages, 0, 0);
    outer->addWidget(content, 1, 0);

    connect(MainClass::instance()->signalsDispatcher(), &WSignalsDispatcher::signalContactEdited, this,
            &uiUserProfileView::slotUserEdited);
}

QLabel *uiUserProfileView::addLabel(const QString &objectName)
{
    auto *label = new QLabel(QStringLiteral("TextLabel"));
    label->setObjectName(objectName);
    // Everything shown here comes from another user: never read as markup.
    label->setTextFormat(Qt::PlainText);
    // As wide as their texts: the spacer at the end of the line takes the rest.
    label->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    return label;
}

void uiUserProfileView::addUserWidget(const QString &name, const QImage &icon, QWidget *widget)
{
    if (!widget)
        return;
    m_pageByName.insert(name, widget);
    m_pages->addWidget(widget);
    auto *action = new QAction(QIcon(QPixmap::fromImage(icon)), name, m_toolBar);
    connect(action, &QAction::triggered, this, &uiUserProfileView::slotActionTriggered);
    m_pageOfAction.insert(action, name);
    m_toolBar->addAction(action);
}

void uiUserProfileView::showUser(const QString &user)
{
    m_shownUser = user;
    const QSharedPointer<WivoraAccount> account = MainClass::instance()->getAccount();
    if (!account)
        return;
    const WDataStructure::Pointer contact = account->contactsData->GetStructureByValue(QStringLiteral("section"), user);
    if (!contact)
        return;
    showAvatar(contact->getSetting(QStringLiteral("vcard/avatar")));
    QString fullName = QString::fromUtf8(contact->getSetting(QStringLiteral("vcard/fullName")));
    if (fullName.isEmpty())
        fullName = contact->gv(QStringLiteral("username"));
    setElidedText(m_fullName, fullName, kMaxNameWidth);
    const QImage flag =
        WGraphicsOperations::getFlagImage(QString::fromUtf8(contact->getSetting(QStringLiteral("vcard/country"))), 16);
    const QString city = QString::fromUtf8(contact->getSetting(QStringLiteral("vcard/city")));
    // The comma leads to the place: none when the contact gave none.
    const QString separator = flag.isNull() && city.isEmpty() ? QString() : QStringLiteral(", ");
    setElidedText(m_username, contact->gv(QStringLiteral("username")) + separator, kMaxDetailWidth);
    m_country->setPixmap(QPixmap::fromImage(flag));
    setElidedText(m_city, city, kMaxDetailWidth);
    m_status->setPixmap(QPixmap::fromImage(WGraphicsOperations::getStatusImage(contact->gv(QStringLiteral("status")).toInt(), 16)));
}

void uiUserProfileView::showAvatar(const QByteArray &bytes)
{
    // Every edit of the contact comes here: decode only a new picture.
    if (m_avatarShown && bytes == m_avatarBytes)
        return;
    m_avatarBytes = bytes;
    m_avatarShown = true;
    QImage avatar = PeerPicture::decode(bytes);
    if (avatar.isNull())
        avatar.load(QStringLiteral(":/Wivora/Resources/blankavatar.jpg"));
    m_avatar->setPixmap(QPixmap::fromImage(WGraphicsOperations::getAvatarImage(avatar, 60)));
}

void uiUserProfileView::setElidedText(QLabel *label, const QString &text, int maxWidth)
{
    const QString shown = label->fontMetrics().elidedText(text, Qt::ElideRight, maxWidth);
    label->setText(shown);
    label->setToolTip(shown == text ? QString() : text);
}

void uiUserProfileView::selectPage(const QString &name)
{
    if (QWidget *page = name.isEmpty() ? nullptr : m_pageByName.value(name))
        m_pages->setCurrentWidget(page);
}

QWidget *uiUserProfileView::currentPage() const
{
    return m_pages->currentWidget();
}

void uiUserProfileView::slotActionTriggered()
{
    const QString name = m_pageOfAction.value(qobject_cast<QAction *>(sender()));
    if (name.isEmpty())
        return;
    if (QWidget *page = m_pageByName.value(name))
        m_pages->setCurrentWidget(page);
    MainClass::instance()->signalsDispatcher()->userViewWidgetChanged(m_shownUser, name);
}

void uiUserProfileView::slotUserEdited(const QString &user)
{
    if (user == m_shownUser)
        showUser(m_shownUser);
}

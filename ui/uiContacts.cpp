#include "uiContacts.h"

#include "BusyTriggers.h"
#include "ContactAdder.h"
#include "ContactList.h"
#include "MainClass.h"
#include "QContactItemDelegate.h"
#include "WCommonOperations.h"
#include "WGraphicsOperations.h"
#include "uiAddUserWindow.h"

#include <IWPlugin.h>
#include <MainServerCommands.h>
#include <NetworkUtilities.h>
#include <PeerPicture.h>
#include <WDataStructure.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

namespace {

const QString SectionKey = QStringLiteral("section");

QSharedPointer<WivoraAccount> account()
{
    return MainClass::instance()->getAccount();
}

QString rowText(const QString &user, int status)
{
    return QStringLiteral("0") + QString::number(status) + user;
}

} // namespace

uiContacts::uiContacts(QWidget *parent)
    : QWidget(parent)
{
    buildForm();
    m_list = new ContactList;
    m_list->setColumnCount(1);
    m_list->setAllColumnsShowFocus(true);
    m_list->setSortingEnabled(true);
    m_list->setHeaderLabels({tr("Users")});
    m_list->setRootIsDecorated(false);
    m_list->setAnimated(true);
    m_list->setAcceptDrops(true);
    m_list->setDragDropMode(QAbstractItemView::DropOnly);
    m_list->setDragEnabled(true);
    m_list->setDropIndicatorShown(true);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setHeaderHidden(true);
    m_list->setObjectName(QStringLiteral("listakontaktow"));
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    m_list->setUniformRowHeights(true);
    m_list->viewport()->setAttribute(Qt::WA_Hover);
    findChild<QGridLayout *>(QStringLiteral("contactsLayout"))->addWidget(m_list, 0, 0);
    m_delegate = new QContactItemDelegate(m_list);
    m_list->setItemDelegate(m_delegate);
    connect(m_list, &QWidget::customContextMenuRequested, this, &uiContacts::slotCustomMenuRequested);
    connect(m_list, &QTreeWidget::itemActivated, this, &uiContacts::slotUserActivated);

    WSignalsDispatcher *dispatcher = MainClass::instance()->signalsDispatcher();
    connect(dispatcher, &WSignalsDispatcher::signalPersonalDataChanged, this, &uiContacts::slotUpdatePersonalData);
    connect(dispatcher, &WSignalsDispatcher::signalUserStatusChanged, this, &uiContacts::slotUserStatusChanged);
    connect(dispatcher, &WSignalsDispatcher::signalServiceReachable, this, &uiContacts::slotServiceReachable);
    connect(dispatcher, &WSignalsDispatcher::signalNewContactAdded, this, &uiContacts::slotNewContactAdded);
    connect(dispatcher, &WSignalsDispatcher::signalContactEdited, this, &uiContacts::slotContactChanged);
    // Queued even on this thread: the asker waits with events flowing, and
    // the question must not open inside whatever raised it.
    connect(dispatcher, &WSignalsDispatcher::signalAcceptNewUser, this, &uiContacts::slotAcceptNewUser,
            Qt::QueuedConnection);
}

uiContacts::~uiContacts() = default;

void uiContacts::buildForm()
{
    setObjectName(QStringLiteral("uiContactsClass"));
    setWindowTitle(QStringLiteral("uiContacts"));
    resize(180, 459);
    setMinimumWidth(180);
    setMaximumWidth(180);
    auto *grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));
    grid->setSpacing(6);
    grid->setContentsMargins(2, 2, 2, 2);

    m_personalFrame = new QFrame;
    m_personalFrame->setObjectName(QStringLiteral("personalInfoFrame"));
    m_personalFrame->setFrameShape(QFrame::StyledPanel);
    m_personalFrame->setFrameShadow(QFrame::Raised);
    m_personalFrame->setFixedHeight(80);
    // The frame's height is fixed: its texts are a size smaller so that the
    // name, the avatar and both buttons fit in it.
    QFont frameFont = m_personalFrame->font();
    frameFont.setPointSize(8);
    m_personalFrame->setFont(frameFont);
    auto *frameGrid = new QGridLayout(m_personalFrame);
    frameGrid->setObjectName(QStringLiteral("gridLayout_2"));
    frameGrid->setSpacing(2);
    frameGrid->setContentsMargins(2, 2, 2, 3);

    auto *nameRow = new QHBoxLayout;
    nameRow->setObjectName(QStringLiteral("horizontalLayout"));
    nameRow->setSpacing(6);
    m_statusLabel = new QLabel(tr("Status: "));
    m_statusLabel->setObjectName(QStringLiteral("label_4"));
    m_statusLabel->setMaximumWidth(17);
    m_nameLabel = new QLabel(QStringLiteral("TextLabel"));
    m_nameLabel->setObjectName(QStringLiteral("label"));
    // The name may come from the server: never read as markup.
    m_nameLabel->setTextFormat(Qt::PlainText);
    QFont bold = frameFont;
    bold.setPointSize(9);
    bold.setBold(true);
    m_nameLabel->setFont(bold);
    nameRow->addWidget(m_statusLabel);
    nameRow->addWidget(m_nameLabel, 1);
    frameGrid->addLayout(nameRow, 0, 0);

    auto *avatarRow = new QGridLayout;
    avatarRow->setObjectName(QStringLiteral("gridLayout_3"));
    avatarRow->setSpacing(6);
    avatarRow->setContentsMargins(2, 0, 2, 0);
    m_avatarLabel = new QLabel(QStringLiteral("TextLabel"));
    m_avatarLabel->setObjectName(QStringLiteral("label_2"));
    m_avatarLabel->setFixedSize(35, 35);
    m_avatarLabel->setFrameShape(QFrame::NoFrame);
    avatarRow->addWidget(m_avatarLabel, 0, 0, Qt::AlignLeft);
    frameGrid->addLayout(avatarRow, 2, 0);

    auto *buttons = new QGridLayout;
    buttons->setObjectName(QStringLiteral("gridLayout_5"));
    buttons->setSpacing(4);
    m_addButton = new QPushButton(tr("Add Contact"));
    m_addButton->setObjectName(QStringLiteral("pushButton_2"));
    m_addButton->setMaximumHeight(19);
    m_statusButton = new QPushButton(tr("Change status"));
    m_statusButton->setObjectName(QStringLiteral("pushButton_3"));
    m_statusButton->setMaximumHeight(19);
    // Two buttons share 180 pixels: smaller text, no padding.
    for (QPushButton *button : {m_addButton, m_statusButton}) {
        button->setFont(frameFont);
        button->setStyleSheet(QStringLiteral("padding: 0px 2px;"));
    }
    buttons->addWidget(m_addButton, 0, 0);
    buttons->addWidget(m_statusButton, 0, 1);

    frameGrid->addLayout(buttons, 3, 0);
    grid->addWidget(m_personalFrame, 0, 0);

    auto *listLayout = new QGridLayout;
    listLayout->setObjectName(QStringLiteral("contactsLayout"));
    listLayout->setSpacing(6);
    grid->addLayout(listLayout, 4, 0);

    const struct {
        const char *name;
        const char *text;
        const char *icon;
        int status;
    } statuses[] = {
        {"actionOnline", QT_TR_NOOP("Online"), "status_online.png", 1},
        {"actionAway", QT_TR_NOOP("Away"), "status_away.png", 2},
        {"actionDo_not_disturb", QT_TR_NOOP("Do not disturb"), "status_dontdisturb.png", 3},
        {"actionInvisible", QT_TR_NOOP("Invisible"), "status_offline.png", 0},
    };
    for (int i = 0; i < 4; ++i) {
        auto *action = new QAction(QIcon(QStringLiteral(":/Wivora/Resources/") + QLatin1String(statuses[i].icon)),
                                   tr(statuses[i].text), this);
        action->setObjectName(QLatin1String(statuses[i].name));
        const int status = statuses[i].status;
        connect(action, &QAction::triggered, this, [status] { WCommonOperations::setUserStatus(status); });
        m_statusActions[i] = action;
    }
    m_addAction = new QAction(tr("Add contact"), this);
    m_addAction->setObjectName(QStringLiteral("actionAdd_contact"));
    m_deleteAction = new QAction(tr("Delete Contact"), this);
    m_deleteAction->setObjectName(QStringLiteral("actionDelete_Contact"));
    connect(m_addAction, &QAction::triggered, this, &uiContacts::on_actionAdd_contact_triggered);
    connect(m_addButton, &QPushButton::clicked, this, &uiContacts::on_actionAdd_contact_triggered);
    connect(m_deleteAction, &QAction::triggered, this, &uiContacts::on_actionDelete_Contact_triggered);
    connect(m_statusButton, &QPushButton::clicked, this, &uiContacts::on_pushButton_3_clicked);
}

int uiContacts::contactStatus(const QString &user)
{
    const QSharedPointer<WivoraAccount> current = account();
    return current ? current->contactsData->getSetting(user + QStringLiteral("/status")).toInt() : 0;
}

void uiContacts::reloadContacts()
{
    // Read on the caller's thread (the account's trees lock); the list
    // changes on its own thread.
    QList<Row> rows;
    if (const QSharedPointer<WivoraAccount> current = account()) {
        for (const auto &contact : current->contactsData->getChildren())
            rows << Row{contact->gv(QStringLiteral("username")), contact->gv(QStringLiteral("status")).toInt()};
    }
    QMetaObject::invokeMethod(this, [this, rows] { fill(rows); }, Qt::QueuedConnection);
}

void uiContacts::fill(const QList<Row> &rows)
{
    m_list->setSortingEnabled(false);
    m_list->clear();
    for (const Row &row : rows)
        addRow(row.user, row.status);
    m_list->setSortingEnabled(true);
}

void uiContacts::addRow(const QString &user, int status)
{
    auto *item = new QTreeWidgetItem;
    item->setText(0, rowText(user, status));
    item->setData(0, ContactList::UserRole, user);
    item->setData(0, ContactList::SendProgressRole, -1);
    item->setData(0, ContactList::ReceiveProgressRole, -1);
    m_list->addTopLevelItem(item);
}

QList<QTreeWidgetItem *> uiContacts::rowsOf(const QString &user) const
{
    QList<QTreeWidgetItem *> rows;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = m_list->topLevelItem(i);
        if (item->data(0, ContactList::UserRole).toString() == user)
            rows << item;
    }
    return rows;
}

void uiContacts::setRowData(const QString &user, int role, const QVariant &value)
{
    // Always queued, also from this thread, so calls keep their order.
    QMetaObject::invokeMethod(
        this,
        [this, user, role, value] {
            for (QTreeWidgetItem *item : rowsOf(user))
                item->setData(0, role, value);
        },
        Qt::QueuedConnection);
}

void uiContacts::refreshContactItem(const QString &user)
{
    setRowData(user, ContactList::RefreshRole, NetworkUtilities::GetGuid());
}

void uiContacts::setContactSendProgress(const QString &user, int percent)
{
    setRowData(user, ContactList::SendProgressRole, percent);
}

void uiContacts::setContactReceiveProgress(const QString &user, int percent)
{
    setRowData(user, ContactList::ReceiveProgressRole, percent);
}

QStringList uiContacts::getSelectedContacts()
{
    QStringList selected;
    const auto read = [this, &selected] {
        for (const QTreeWidgetItem *item : m_list->selectedItems())
            selected << item->data(0, ContactList::UserRole).toString();
    };
    if (QThread::currentThread() == thread())
        read();
    else
        QMetaObject::invokeMethod(this, read, Qt::BlockingQueuedConnection);
    return selected;
}

void uiContacts::slotUserLoggedIn()
{
    m_serviceReachable = true;
    slotUpdatePersonalData();
}

void uiContacts::slotUpdatePersonalData()
{
    const QSharedPointer<WivoraAccount> current = account();
    if (!current)
        return;
    QString name = current->vcardData->gv(QStringLiteral("fullName"));
    if (name.isEmpty())
        name = current->getUserName();
    m_nameLabel->setText(name);
    showOwnStatus();
    showOwnAvatar();
}

void uiContacts::showOwnStatus()
{
    const QSharedPointer<WivoraAccount> current = account();
    const int status = current && m_serviceReachable ? current->getStatus() : 0;
    m_statusLabel->setPixmap(QPixmap::fromImage(WGraphicsOperations::getStatusImage(status, 17)));
    m_statusLabel->setToolTip(m_serviceReachable ? QString() : tr("Not connected to the service: trying again"));
}

void uiContacts::slotServiceReachable(bool reachable)
{
    m_serviceReachable = reachable;
    showOwnStatus();
}

void uiContacts::showOwnAvatar()
{
    const QSharedPointer<WivoraAccount> current = account();
    const QByteArray bytes = current ? current->vcardData->GetValue(QStringLiteral("avatar")) : QByteArray();
    // The account's picture comes from the server: bounded like a contact's.
    QImage avatar = PeerPicture::decode(bytes);
    if (avatar.isNull())
        avatar.load(QStringLiteral(":/Wivora/Resources/blankavatar.jpg"));
    else
        avatar = avatar.scaled(40, 40, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    m_avatarLabel->setPixmap(QPixmap::fromImage(WGraphicsOperations::getAvatarImage(avatar, 35)));
}

void uiContacts::slotUserStatusChanged(int status)
{
    Q_UNUSED(status)
    showOwnStatus();
}

void uiContacts::slotNewContactAdded(const QString &user)
{
    if (!rowsOf(user).isEmpty())
        return;
    addRow(user, contactStatus(user));
}

void uiContacts::slotContactChanged(const QString &user)
{
    const int status = contactStatus(user);
    for (QTreeWidgetItem *item : rowsOf(user)) {
        item->setText(0, rowText(user, status));
        item->setData(0, ContactList::RefreshRole, NetworkUtilities::GetGuid());
    }
}

void uiContacts::slotUserActivated(QTreeWidgetItem *item, int column)
{
    Q_UNUSED(column)
    if (item)
        emit signalUserActivated(item->data(0, ContactList::UserRole).toString());
}

void uiContacts::slotCustomMenuRequested(const QPoint &pos)
{
    QMenu menu;
    menu.addAction(m_addAction);
    menu.addAction(m_deleteAction);
    for (const PluginRecord &record : MainClass::instance()->pluginManager()->plugins()) {
        auto *plugin = qobject_cast<IWPlugin *>(record.instance);
        if (!plugin)
            continue;
        const QList<QAction *> actions = plugin->getContactsContextMenu();
        if (actions.isEmpty())
            continue;
        QMenu *sub = menu.addMenu(QIcon(QPixmap::fromImage(plugin->getPluginIcon())), plugin->getPluginDisplayName());
        sub->addActions(actions);
    }
    menu.exec(m_list->viewport()->mapToGlobal(pos));
}

void uiContacts::on_pushButton_3_clicked()
{
    QMenu menu;
    for (QAction *action : m_statusActions)
        menu.addAction(action);
    menu.exec(m_statusButton->mapToGlobal(QPoint(0, 20)));
}

void uiContacts::on_actionAdd_contact_triggered()
{
    uiAddUserWindow window(this);
    window.exec();
}

void uiContacts::on_actionDelete_Contact_triggered()
{
    const QList<QTreeWidgetItem *> selected = m_list->selectedItems();
    if (selected.isEmpty())
        return;
    if (QMessageBox::question(this, tr("Delete Contact"), tr("Do you want to delete contacts?"),
                              QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel)
        != QMessageBox::Ok)
        return;
    // The server is told with events flowing: no second delete meanwhile.
    const BusyTriggers busy{m_deleteAction};
    const QSharedPointer<WivoraAccount> current = account();
    // The session may have ended while the question was open.
    if (!current || current->getUserName().isEmpty())
        return;
    QStringList users;
    for (QTreeWidgetItem *item : m_list->selectedItems())
        users << item->data(0, ContactList::UserRole).toString();
    for (const QString &user : users) {
        WServerCommands::DisconnectFromUser(current->getUserName(), user);
        if (const auto contact = current->contactsData->GetStructureByValue(SectionKey, user))
            current->contactsData->DeleteStructure(contact);
        qDeleteAll(rowsOf(user));
        MainClass::instance()->signalsDispatcher()->contactDeleted(user);
    }
    WCommonOperations::saveAccount(true);
}

void uiContacts::slotAcceptNewUser(const QString &user)
{
    QMessageBox question(QMessageBox::Question, tr("New user request"),
                         tr("User") + QLatin1Char(' ') + user + QLatin1Char(' ')
                             + tr("wants to send you message. Do you want to accept this request?"),
                         QMessageBox::Yes | QMessageBox::No, this);
    // The name is the stranger's choice: shown as it is, never as markup.
    question.setTextFormat(Qt::PlainText);
    question.setDefaultButton(QMessageBox::No);
    const int answer = question.exec();
    WSignalsDispatcher *dispatcher = MainClass::instance()->signalsDispatcher();
    const QSharedPointer<WivoraAccount> current = account();
    if (answer != QMessageBox::Yes || !current || current->getUserName().isEmpty()) {
        dispatcher->setAcceptAnswer(WSignalsDispatcher::AnswerNo);
        return;
    }
    const QSharedPointer<WDataStructure> vcard = MainServerCommands::getUserVCard(user);
    const QString fullName = vcard ? vcard->gv(QStringLiteral("fullName")) : QString();
    const QString city = vcard ? vcard->gv(QStringLiteral("city")) : QString();
    if (!ContactAdder::add(user, fullName, city, vcard)) {
        dispatcher->setAcceptAnswer(WSignalsDispatcher::AnswerNo);
        return;
    }
    WCommonOperations::saveAccount(true);
    slotNewContactAdded(user);
    dispatcher->setAcceptAnswer(WSignalsDispatcher::AnswerYes);
}

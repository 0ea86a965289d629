#include "ContactNamesView.h"

#include "MainClass.h"

#include <WivoraAccount.h>

#include <QThread>

ContactNamesView::ContactNamesView(QWidget *parent)
    : QListWidget(parent)
{
    setObjectName(QStringLiteral("contactNames"));
    setSelectionMode(QAbstractItemView::ExtendedSelection);
}

ContactNamesView::~ContactNamesView() = default;

void ContactNamesView::reloadContacts()
{
    // The names are read here, on the caller's thread; the account's trees lock.
    QStringList names;
    for (const auto &contact : MainClass::instance()->getAccount()->contactsData->getChildren()) {
        const QString name = contact->gv(QStringLiteral("section"));
        if (!name.isEmpty())
            names << name;
    }
    QMetaObject::invokeMethod(this, [this, names] { fill(names); }, Qt::QueuedConnection);
}

void ContactNamesView::fill(const QStringList &names)
{
    clear();
    for (const QString &name : names)
        addItem(name);
}

void ContactNamesView::refreshContactItem(const QString &user)
{
    Q_UNUSED(user)
}

QStringList ContactNamesView::getSelectedContacts()
{
    QStringList selected;
    const auto read = [this, &selected] {
        for (const QListWidgetItem *item : selectedItems())
            selected << item->text();
    };
    if (QThread::currentThread() == thread())
        read();
    else
        QMetaObject::invokeMethod(this, read, Qt::BlockingQueuedConnection);
    return selected;
}

void ContactNamesView::setContactSendProgress(const QString &user, int percent)
{
    Q_UNUSED(user)
    Q_UNUSED(percent)
}

void ContactNamesView::setContactReceiveProgress(const QString &user, int percent)
{
    Q_UNUSED(user)
    Q_UNUSED(percent)
}

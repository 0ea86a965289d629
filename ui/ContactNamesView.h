#pragma once

#include "IContactsView.h"

#include <QListWidget>

// A plain list of the logged-in user's contacts by name: what the contacts
// dock shows until it gets its full panel. Callable from any thread; the list
// changes on its own (the GUI) thread.
class ContactNamesView : public QListWidget, public IContactsView
{
    Q_OBJECT

public:
    explicit ContactNamesView(QWidget *parent = nullptr);
    ~ContactNamesView() override;

    void reloadContacts() override;
    void refreshContactItem(const QString &user) override;
    QStringList getSelectedContacts() override;
    void setContactSendProgress(const QString &user, int percent) override;
    void setContactReceiveProgress(const QString &user, int percent) override;

private:
    void fill(const QStringList &names);
};

#pragma once

#include <QString>
#include <QStringList>

// What the session asks of the contact list it shows the user. The session
// runs without one (a headless client) and then simply shows nothing.
//
// Every operation may be called from any thread; an implementation that owns
// widgets changes them on the GUI thread (queued, in call order), and
// getSelectedContacts reads the selection there while its caller waits. The
// implementation also connects itself to the signal dispatcher's events
// (status, vCard and contact changes, the accept-new-user question) and
// answers that question through WSignalsDispatcher::setAcceptAnswer.
class IContactsView
{
public:
    virtual ~IContactsView() = default;

    // Rebuilds the list from the logged-in account's contacts.
    virtual void reloadContacts() = 0;
    // Redraws the user's row (status, activities).
    virtual void refreshContactItem(const QString &user) = 0;
    // The user names selected in the list; empty when none is.
    virtual QStringList getSelectedContacts() = 0;
    // Percent of the record under way to or from the user; -1 when done.
    virtual void setContactSendProgress(const QString &user, int percent) = 0;
    virtual void setContactReceiveProgress(const QString &user, int percent) = 0;
};

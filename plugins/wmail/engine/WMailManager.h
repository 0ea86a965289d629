#pragma once

#include "WMailConversation.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

// The conversations of the logged-in user, one object per conversation file
// in the user's folder. Used on one thread (the GUI thread) only.
class WMailManager : public QObject
{
    Q_OBJECT

public:
    // A name that may become a file name in the folder: not empty, not "."
    // or "..", no path separator or control character, not too long; a name
    // that begins with "{" must be a braced id (a group conversation).
    static bool isValidName(const QString &name);

    // Reads the conversations of owner in folder. While folder and owner stay
    // the same the known objects are kept (views and the receive road hold
    // them) and only new files join; otherwise the list starts anew. An empty
    // owner (nobody logged in) leaves the list empty. True when the list
    // started anew.
    bool loadConversations(const QString &folder, const QString &owner);

    QString folder() const { return m_folder; }
    QString owner() const { return m_owner; }
    QList<WMailConversation::Pointer> conversations() const { return m_conversations; }

    WMailConversation::Pointer findConversation(const QString &name) const;
    // A new saved conversation with the owner and participants; null while
    // nobody is logged in or for an invalid name.
    WMailConversation::Pointer createConversation(const QString &name, const QString &title,
                                                  const QStringList &participants);
    // The conversation with user, found and loaded in full, or created; its
    // number of shown items back at the default. Null as createConversation.
    WMailConversation::Pointer getUserConversation(const QString &user);

private:
    QString m_folder;
    QString m_owner;
    QList<WMailConversation::Pointer> m_conversations;
};

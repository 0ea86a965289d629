#pragma once

#include "WCryptography.h"

#include <QString>
#include <QStringList>

// The account texts the server writes itself: the first one of a new user,
// and the merge of contacts added by the administrator. The text is sealed
// with the user's password, so both need it.
class AccountTexts
{
public:
    struct NewAccount
    {
        QString text;
        WKeyPair keys;
        bool isValid() const { return !text.isEmpty() && keys.isValid(); }
    };

    // A fresh key pair and an account with empty trees whose settings name
    // the port the user's client listens on ("servers/tcpport").
    static NewAccount create(const QString &userName, const QString &password, int tcpPort);

    // The text with every contact of contacts that it lacks added to its
    // contacts tree, sealed again; empty when the text does not open with
    // password.
    static QString mergeContacts(const QString &text, const QString &password,
                                 const QStringList &contacts);
};

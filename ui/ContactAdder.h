#pragma once

#include <QSharedPointer>
#include <QString>

class WDataStructure;

// Writes a user into the logged-in account's contacts: name, city, the
// server's vCard and status, and tells the server about the relation. Shared
// by the accept question and the add-contact window; the caller saves.
class ContactAdder
{
public:
    ContactAdder() = delete;

    // True when user names the logged-in user, whatever its case: nobody is
    // their own contact.
    static bool isOwnUser(const QString &user);

    // Writes the contact; a vCard (may be null) replaces any earlier one, so
    // copies never pile up. False, with nothing written, for an empty name,
    // the own name or when nobody is logged in.
    static bool add(const QString &user, const QString &fullName, const QString &city,
                    const QSharedPointer<WDataStructure> &vcard);
};

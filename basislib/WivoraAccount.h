#pragma once

#include "KvrConfig.h"
#include "WDataStructure.h"
#include "basislib_global.h"

#include <QByteArray>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <mutex>

// The logged-in user's account: user name, password, status, signing key pair,
// four data trees and a key/value record of its own (the account is-a
// KvrConfig, so callers keep extra values on it, such as "tempPassword").
//
// The trees are never null and never replaced: `contactsData` (one child per
// contact), `settingsData`, `vcardData` (the own vCard) and `accountData`.
// A fresh account has empty trees whose "section" is "contacts", "settings",
// "vcard" and "account". Opening an account fills these same trees, so a
// pointer taken from the account earlier sees the opened content.
//
// Thread safety: every member function locks. The record accessors below
// shadow KvrConfig's with locking versions, so call them on the account
// itself, not through a KvrConfig reference (as with WDataStructure).
//
// Text form: the account sealed with its password (WCryptography::
// SealWithPassword), pure ASCII. It never holds the password itself nor the
// in-memory-only record keys listed by memoryOnlyKeys().
class BASISLIB_EXPORT WivoraAccount : public KvrConfig
{
public:
    static constexpr int DefaultStatus = 1; // online

    WivoraAccount();
    ~WivoraAccount() override;
    WivoraAccount(const WivoraAccount &) = delete;
    WivoraAccount &operator=(const WivoraAccount &) = delete;

    const QSharedPointer<WDataStructure> contactsData;
    const QSharedPointer<WDataStructure> settingsData;
    const QSharedPointer<WDataStructure> vcardData;
    const QSharedPointer<WDataStructure> accountData;

    QString getUserName() const;
    void setUserName(const QString &userName);

    // The password as UTF-8 bytes (the form the server is told).
    QByteArray getPassword() const;
    void setPassword(const QString &password);

    int getStatus() const;
    void setStatus(int status);

    // PEM texts, as WCryptography uses them.
    QString getPublicKey() const;
    QString getPrivateKey() const;
    void setKeyPair(const QString &publicKey, const QString &privateKey);

    // The text form sealed with the current password; empty when no password
    // is set or a tree is too deep to be written.
    QString saveAccount() const;
    // Opens a text form with password. keepPassword true: the password becomes
    // the account's password for later saves; false: the account keeps the
    // password it had. A wrong password or a damaged text gives false and
    // leaves the account unchanged (surrounding white space is ignored).
    bool openAccount(const QString &text, const QString &password, bool keepPassword);

    // The unsealed form and its parser. fromInnerBytes gives null on any
    // damage. Exposed so the parser can be tested on its own.
    QByteArray toInnerBytes() const;
    static QSharedPointer<WivoraAccount> fromInnerBytes(const QByteArray &bytes);

    // Record keys that live only in memory and never reach the text form.
    static QStringList memoryOnlyKeys();

    // The account's own record (locked versions of KvrConfig's accessors).
    void SetValue(const QString &key, const QByteArray &value, bool overwrite = true);
    void SetValue(const QString &key, const QString &value, bool overwrite = true);
    void SetValue(const QString &key, const char *value, bool overwrite = true);
    void SetValue(const QString &key, int value, bool overwrite = true);
    void SetValue(const QString &key, qint64 value, bool overwrite = true);
    void SetValue(const QString &key, bool value, bool overwrite = true);
    void sv(const QString &key, const QString &value, bool overwrite = true);
    QByteArray GetValue(const QString &key) const;
    QByteArray GetValue(int index) const;
    QString GetKey(int index) const;
    QString gv(const QString &key) const;
    bool CheckKeyExist(const QString &key) const;
    bool RemoveKey(const QString &key);
    int size() const;
    bool isEmpty() const { return size() == 0; }
    void clear();

    // A consistent copy of the account's own record.
    KvrConfig values() const;

private:
    void adopt(const WivoraAccount &opened);

    // The record and the fields below; the trees lock themselves. A standard
    // mutex, so the thread sanitizer sees it.
    mutable std::mutex m_mutex;
    QString m_userName;
    QByteArray m_password;
    int m_status = DefaultStatus;
    QString m_publicKey;
    QString m_privateKey;
};

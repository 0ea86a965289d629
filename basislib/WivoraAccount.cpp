#include "WivoraAccount.h"

#include "WCryptography.h"

#include <array>
#include <utility>


namespace {

// The unsealed form is a KvrConfig binary record holding these keys; each
// tree is kept in WDataStructure's text form, the account's own record in
// KvrConfig's binary form.
const QString KeyFormat = QStringLiteral("format");
const QString KeyUserName = QStringLiteral("username");
const QString KeyStatus = QStringLiteral("status");
const QString KeyPublicKey = QStringLiteral("publickey");
const QString KeyPrivateKey = QStringLiteral("privatekey");
const QString KeyContacts = QStringLiteral("contacts");
const QString KeySettings = QStringLiteral("settings");
const QString KeyVCard = QStringLiteral("vcard");
const QString KeyAccount = QStringLiteral("account");
const QString KeyRecord = QStringLiteral("record");
const QByteArray InnerFormat("1");

using NamedTree = std::pair<QString, QSharedPointer<WDataStructure>>;

// The trees with the keys they are kept under in the unsealed form.
std::array<NamedTree, 4> namedTrees(const WivoraAccount &account)
{
    return {{{KeyContacts, account.contactsData},
             {KeySettings, account.settingsData},
             {KeyVCard, account.vcardData},
             {KeyAccount, account.accountData}}};
}

QSharedPointer<WDataStructure> makeTree(const char *section)
{
    auto tree = QSharedPointer<WDataStructure>::create();
    tree->SetValue(QStringLiteral("section"), section);
    return tree;
}

} // namespace

WivoraAccount::WivoraAccount()
    : contactsData(makeTree("contacts"))
    , settingsData(makeTree("settings"))
    , vcardData(makeTree("vcard"))
    , accountData(makeTree("account"))
{
}

WivoraAccount::~WivoraAccount() = default;

QStringList WivoraAccount::memoryOnlyKeys()
{
    // The reconnect password: kept in memory for the session only.
    return {QStringLiteral("tempPassword")};
}

QString WivoraAccount::getUserName() const
{
    const std::lock_guard locker(m_mutex);
    return m_userName;
}

void WivoraAccount::setUserName(const QString &userName)
{
    const std::lock_guard locker(m_mutex);
    m_userName = userName;
}

QByteArray WivoraAccount::getPassword() const
{
    const std::lock_guard locker(m_mutex);
    return m_password;
}

void WivoraAccount::setPassword(const QString &password)
{
    const std::lock_guard locker(m_mutex);
    m_password = password.toUtf8();
}

int WivoraAccount::getStatus() const
{
    const std::lock_guard locker(m_mutex);
    return m_status;
}

void WivoraAccount::setStatus(int status)
{
    const std::lock_guard locker(m_mutex);
    m_status = status;
}

QString WivoraAccount::getPublicKey() const
{
    const std::lock_guard locker(m_mutex);
    return m_publicKey;
}

QString WivoraAccount::getPrivateKey() const
{
    const std::lock_guard locker(m_mutex);
    return m_privateKey;
}

void WivoraAccount::setKeyPair(const QString &publicKey, const QString &privateKey)
{
    const std::lock_guard locker(m_mutex);
    m_publicKey = publicKey;
    m_privateKey = privateKey;
}

QByteArray WivoraAccount::toInnerBytes() const
{
    KvrConfig inner;
    {
        const std::lock_guard locker(m_mutex);
        inner.SetValue(KeyFormat, InnerFormat);
        inner.SetValue(KeyUserName, m_userName);
        inner.SetValue(KeyStatus, QByteArray::number(m_status));
        inner.SetValue(KeyPublicKey, m_publicKey);
        inner.SetValue(KeyPrivateKey, m_privateKey);
        // The copy shares the record's data until it detaches; once it lets
        // go, a writer changes that data in place after only a relaxed check
        // of the reference count, which orders nothing. So the copy is
        // stripped and written before the lock is given up.
        KvrConfig record = *this;
        for (const QString &key : memoryOnlyKeys())
            record.RemoveKey(key);
        inner.SetValue(KeyRecord, record.SerializeConfigBinary());
    }

    // The trees lock themselves; none is read under the account's lock.
    for (const NamedTree &tree : namedTrees(*this)) {
        const QString text = tree.second->SerializeStructure();
        if (text.isEmpty())
            return {}; // too deep to write: better no text than one missing a tree
        inner.SetValue(tree.first, text.toLatin1());
    }
    return inner.SerializeConfigBinary();
}

QSharedPointer<WivoraAccount> WivoraAccount::fromInnerBytes(const QByteArray &bytes)
{
    KvrConfig inner;
    if (!inner.DeserializeConfigBinary(bytes) || inner.GetValue(KeyFormat) != InnerFormat)
        return {};

    bool statusOk = false;
    const int status = inner.GetValue(KeyStatus).toInt(&statusOk);
    KvrConfig record;
    if (!statusOk || !record.DeserializeConfigBinary(inner.GetValue(KeyRecord)))
        return {};
    for (const QString &key : memoryOnlyKeys())
        record.RemoveKey(key);

    auto account = QSharedPointer<WivoraAccount>::create();
    for (const NamedTree &tree : namedTrees(*account)) {
        if (!tree.second->DeserializeStructure(QString::fromLatin1(inner.GetValue(tree.first))))
            return {};
    }
    // Not yet shared with any other thread: no lock needed.
    account->KvrConfig::operator=(record);
    account->m_userName = QString::fromUtf8(inner.GetValue(KeyUserName));
    account->m_status = status;
    account->m_publicKey = QString::fromUtf8(inner.GetValue(KeyPublicKey));
    account->m_privateKey = QString::fromUtf8(inner.GetValue(KeyPrivateKey));
    return account;
}

QString WivoraAccount::saveAccount() const
{
    const QByteArray password = getPassword();
    if (password.isEmpty())
        return {};
    const QByteArray inner = toInnerBytes();
    if (inner.isEmpty())
        return {};
    return QString::fromLatin1(WCryptography::SealWithPassword(inner, QString::fromUtf8(password)));
}

bool WivoraAccount::openAccount(const QString &text, const QString &password, bool keepPassword)
{
    QByteArray inner;
    if (!WCryptography::OpenWithPassword(text.trimmed().toLatin1(), password, &inner))
        return false;
    const QSharedPointer<WivoraAccount> opened = fromInnerBytes(inner);
    if (!opened)
        return false;
    adopt(*opened);
    if (keepPassword)
        setPassword(password);
    return true;
}

void WivoraAccount::adopt(const WivoraAccount &opened)
{
    // Fill the existing trees, so pointers handed out earlier stay valid.
    *contactsData = *opened.contactsData;
    *settingsData = *opened.settingsData;
    *vcardData = *opened.vcardData;
    *accountData = *opened.accountData;

    KvrConfig record = opened.values();
    const std::lock_guard locker(m_mutex);
    // In-memory values already set (a reconnect password) outlive the opening.
    for (const QString &key : memoryOnlyKeys()) {
        if (KvrConfig::CheckKeyExist(key))
            record.SetValue(key, KvrConfig::GetValue(key));
    }
    KvrConfig::operator=(record);
    m_userName = opened.m_userName;
    m_status = opened.m_status;
    m_publicKey = opened.m_publicKey;
    m_privateKey = opened.m_privateKey;
}

void WivoraAccount::SetValue(const QString &key, const QByteArray &value, bool overwrite)
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::SetValue(key, value, overwrite);
}

void WivoraAccount::SetValue(const QString &key, const QString &value, bool overwrite)
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::SetValue(key, value, overwrite);
}

void WivoraAccount::SetValue(const QString &key, const char *value, bool overwrite)
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::SetValue(key, value, overwrite);
}

void WivoraAccount::SetValue(const QString &key, int value, bool overwrite)
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::SetValue(key, value, overwrite);
}

void WivoraAccount::SetValue(const QString &key, qint64 value, bool overwrite)
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::SetValue(key, value, overwrite);
}

void WivoraAccount::SetValue(const QString &key, bool value, bool overwrite)
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::SetValue(key, value, overwrite);
}

void WivoraAccount::sv(const QString &key, const QString &value, bool overwrite)
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::sv(key, value, overwrite);
}

QByteArray WivoraAccount::GetValue(const QString &key) const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::GetValue(key);
}

QByteArray WivoraAccount::GetValue(int index) const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::GetValue(index);
}

QString WivoraAccount::GetKey(int index) const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::GetKey(index);
}

QString WivoraAccount::gv(const QString &key) const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::gv(key);
}

bool WivoraAccount::CheckKeyExist(const QString &key) const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::CheckKeyExist(key);
}

bool WivoraAccount::RemoveKey(const QString &key)
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::RemoveKey(key);
}

int WivoraAccount::size() const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig::size();
}

void WivoraAccount::clear()
{
    const std::lock_guard locker(m_mutex);
    KvrConfig::clear();
}

KvrConfig WivoraAccount::values() const
{
    const std::lock_guard locker(m_mutex);
    return KvrConfig(*this);
}

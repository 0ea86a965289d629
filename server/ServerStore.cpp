#include "ServerStore.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

namespace {

const char *const Schema[] = {
    "CREATE TABLE IF NOT EXISTS users ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " name TEXT NOT NULL UNIQUE,"
    " password_hash TEXT NOT NULL,"
    " public_key TEXT NOT NULL,"
    " status INTEGER NOT NULL DEFAULT 1,"
    " vcard TEXT NOT NULL DEFAULT '',"
    " full_name TEXT NOT NULL DEFAULT '',"
    " city TEXT NOT NULL DEFAULT '',"
    " country TEXT NOT NULL DEFAULT '',"
    " account TEXT NOT NULL DEFAULT '',"
    " account_saved TEXT NOT NULL DEFAULT '',"
    " host_addresses TEXT,"
    " host_port INTEGER)",
    "CREATE TABLE IF NOT EXISTS contacts ("
    " owner TEXT NOT NULL,"
    " contact TEXT NOT NULL,"
    " merged INTEGER NOT NULL DEFAULT 1,"
    " PRIMARY KEY (owner, contact))",
    "CREATE INDEX IF NOT EXISTS contacts_by_contact ON contacts (contact)",
    "CREATE TABLE IF NOT EXISTS relay ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " receiver TEXT NOT NULL,"
    " record BLOB NOT NULL,"
    " sender TEXT NOT NULL DEFAULT '')",
    "CREATE INDEX IF NOT EXISTS relay_by_receiver ON relay (receiver, id)",
    "CREATE TABLE IF NOT EXISTS demo ("
    " name TEXT PRIMARY KEY,"
    " password TEXT NOT NULL)",
};

// The relay's counts and sizes per user, kept by the store itself so that
// the checks before each relayed record cost the same however long the
// queues are. Made once, from the queues, in a store that has none yet.
const char *const RelayTotals[] = {
    "CREATE TABLE relay_totals ("
    " name TEXT PRIMARY KEY,"
    " count_to INTEGER NOT NULL DEFAULT 0,"
    " bytes_to INTEGER NOT NULL DEFAULT 0,"
    " bytes_from INTEGER NOT NULL DEFAULT 0)",
    "CREATE TRIGGER relay_totals_on_insert AFTER INSERT ON relay BEGIN"
    " INSERT OR IGNORE INTO relay_totals (name) VALUES (NEW.receiver), (NEW.sender);"
    " UPDATE relay_totals SET count_to = count_to + 1, bytes_to = bytes_to + LENGTH(NEW.record)"
    "  WHERE name = NEW.receiver;"
    " UPDATE relay_totals SET bytes_from = bytes_from + LENGTH(NEW.record) WHERE name = NEW.sender;"
    " END",
    "CREATE TRIGGER relay_totals_on_delete AFTER DELETE ON relay BEGIN"
    " UPDATE relay_totals SET count_to = count_to - 1, bytes_to = bytes_to - LENGTH(OLD.record)"
    "  WHERE name = OLD.receiver;"
    " UPDATE relay_totals SET bytes_from = bytes_from - LENGTH(OLD.record) WHERE name = OLD.sender;"
    " END",
    "INSERT INTO relay_totals (name) SELECT receiver FROM relay UNION SELECT sender FROM relay",
    "UPDATE relay_totals SET"
    " count_to = (SELECT COUNT(*) FROM relay WHERE receiver = relay_totals.name),"
    " bytes_to = (SELECT TOTAL(LENGTH(record)) FROM relay WHERE receiver = relay_totals.name),"
    " bytes_from = (SELECT TOTAL(LENGTH(record)) FROM relay WHERE sender = relay_totals.name)",
};

// A null QString binds as SQL NULL; the text columns hold empty text instead.
QString nonNull(const QString &value)
{
    return value.isNull() ? QStringLiteral("") : value;
}

} // namespace

ServerStore::ServerStore()
    : m_connectionName(QStringLiteral("wivora-store-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
}

ServerStore::~ServerStore()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool ServerStore::open(const QString &filePath)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    db.setDatabaseName(filePath);
    // The admin commands may write while the server runs: wait for the other's lock.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open()) {
        m_lastError = db.lastError().text();
        return false;
    }
    QSqlQuery query(db);
    query.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    for (const char *statement : Schema) {
        if (!query.exec(QString::fromLatin1(statement))) {
            m_lastError = query.lastError().text();
            return false;
        }
    }
    if (!addRelaySenderColumn())
        return false;
    // After the column exists in stores of every age.
    if (!query.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS relay_by_sender ON relay (sender)"))) {
        m_lastError = query.lastError().text();
        return false;
    }
    return addRelayTotals();
}

bool ServerStore::addRelaySenderColumn()
{
    // Stores written before relayed records kept their sender lack the
    // column; their queued records keep an empty sender.
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    if (!query.exec(QStringLiteral("PRAGMA table_info(relay)"))) {
        m_lastError = query.lastError().text();
        return false;
    }
    while (query.next()) {
        if (query.value(1).toString() == QLatin1String("sender"))
            return true;
    }
    query.finish();
    if (!query.exec(QStringLiteral("ALTER TABLE relay ADD COLUMN sender TEXT NOT NULL DEFAULT ''"))) {
        m_lastError = query.lastError().text();
        return false;
    }
    return true;
}

bool ServerStore::addRelayTotals()
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    const QString exists = QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'relay_totals'");
    if (!query.exec(exists)) {
        m_lastError = query.lastError().text();
        return false;
    }
    if (query.next())
        return true;
    query.finish();
    // Admin commands may open the store at the same moment: the write lock
    // is taken first, and the totals made by whoever gets it first.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        m_lastError = query.lastError().text();
        return false;
    }
    bool ok = query.exec(exists);
    if (ok && !query.next()) {
        query.finish();
        for (const char *statement : RelayTotals) {
            if (!(ok = query.exec(QString::fromLatin1(statement))))
                break;
        }
    }
    if (!ok) {
        m_lastError = query.lastError().text();
        query.exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    return query.exec(QStringLiteral("COMMIT"));
}

bool ServerStore::exec(QSqlQuery &query)
{
    if (query.exec())
        return true;
    m_lastError = query.lastError().text();
    return false;
}

// ---------------------------------------------------------------- users

bool ServerStore::addUser(const QString &name, const QString &passwordHash, const QString &publicKey,
                          const QString &accountText)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(QStringLiteral("INSERT INTO users (name, password_hash, public_key, account, account_saved)"
                                 " VALUES (?, ?, ?, ?, ?)"));
    query.addBindValue(normalisedName(name));
    query.addBindValue(nonNull(passwordHash));
    query.addBindValue(nonNull(publicKey));
    query.addBindValue(nonNull(accountText));
    query.addBindValue(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    return exec(query);
}

bool ServerStore::userExists(const QString &name)
{
    return userId(name) > 0;
}

int ServerStore::userId(const QString &name)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(QStringLiteral("SELECT id FROM users WHERE name = ?"));
    query.addBindValue(normalisedName(name));
    if (!exec(query) || !query.next())
        return 0;
    return query.value(0).toInt();
}

QStringList ServerStore::userNames()
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(QStringLiteral("SELECT name FROM users ORDER BY id"));
    QStringList result;
    if (exec(query)) {
        while (query.next())
            result << query.value(0).toString();
    }
    return result;
}

QString ServerStore::userText(const QString &column, const QString &name)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(QStringLiteral("SELECT %1 FROM users WHERE name = ?").arg(column));
    query.addBindValue(normalisedName(name));
    if (!exec(query) || !query.next())
        return QString();
    return query.value(0).toString();
}

QByteArray ServerStore::userTextUtf8(const QString &column, const QString &name)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    // The database's text encoding is UTF-8: as a blob, the bytes come unchanged.
    query.prepare(QStringLiteral("SELECT CAST(%1 AS BLOB) FROM users WHERE name = ?").arg(column));
    query.addBindValue(normalisedName(name));
    if (!exec(query) || !query.next())
        return QByteArray();
    return query.value(0).toByteArray();
}

bool ServerStore::setUserValue(const QString &column, const QString &name, const QVariant &value)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(QStringLiteral("UPDATE users SET %1 = ? WHERE name = ?").arg(column));
    query.addBindValue(value);
    query.addBindValue(normalisedName(name));
    return exec(query) && query.numRowsAffected() == 1;
}

QString ServerStore::passwordHash(const QString &name)
{
    return userText(QStringLiteral("password_hash"), name);
}

bool ServerStore::setPasswordHash(const QString &name, const QString &hash)
{
    return setUserValue(QStringLiteral("password_hash"), name, nonNull(hash));
}

QString ServerStore::publicKey(const QString &name)
{
    return userText(QStringLiteral("public_key"), name);
}

int ServerStore::status(const QString &name)
{
    const QString text = userText(QStringLiteral("status"), name);
    return text.isEmpty() ? -1 : text.toInt();
}

bool ServerStore::setStatus(const QString &name, int status)
{
    return setUserValue(QStringLiteral("status"), name, status);
}

QString ServerStore::vcard(const QString &name)
{
    return userText(QStringLiteral("vcard"), name);
}

QByteArray ServerStore::vcardUtf8(const QString &name)
{
    return userTextUtf8(QStringLiteral("vcard"), name);
}

bool ServerStore::setVCard(const QString &name, const QString &vcard, const UserSummary &summary)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(QStringLiteral("UPDATE users SET vcard = ?, full_name = ?, city = ?, country = ?"
                                 " WHERE name = ?"));
    query.addBindValue(nonNull(vcard));
    query.addBindValue(nonNull(summary.fullName));
    query.addBindValue(nonNull(summary.city));
    query.addBindValue(nonNull(summary.country));
    query.addBindValue(normalisedName(name));
    return exec(query) && query.numRowsAffected() == 1;
}

QList<ServerStore::UserSummary> ServerStore::findUsers(const QString &text, int limit)
{
    QList<UserSummary> result;
    if (text.isEmpty() || limit <= 0)
        return result;
    // SQLite's lower() and LIKE fold ASCII only: compare in Qt for full Unicode.
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT name, full_name, city, country FROM users ORDER BY name"));
    if (!exec(query))
        return result;
    while (query.next() && result.size() < limit) {
        UserSummary user{query.value(0).toString(), query.value(1).toString(),
                         query.value(2).toString(), query.value(3).toString()};
        if (user.name.contains(text, Qt::CaseInsensitive)
            || user.fullName.contains(text, Qt::CaseInsensitive))
            result << user;
    }
    return result;
}

// ---------------------------------------------------------------- account text

QString ServerStore::accountText(const QString &name)
{
    return userText(QStringLiteral("account"), name);
}

QByteArray ServerStore::accountTextUtf8(const QString &name)
{
    return userTextUtf8(QStringLiteral("account"), name);
}

QDateTime ServerStore::accountSaveTime(const QString &name)
{
    QDateTime time = QDateTime::fromString(userText(QStringLiteral("account_saved"), name),
                                           Qt::ISODateWithMs);
    return time.isValid() ? time.toUTC() : QDateTime();
}

bool ServerStore::setAccountText(const QString &name, const QString &text, const QDateTime &savedAt)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(QStringLiteral("UPDATE users SET account = ?, account_saved = ? WHERE name = ?"));
    query.addBindValue(nonNull(text));
    query.addBindValue(savedAt.toUTC().toString(Qt::ISODateWithMs));
    query.addBindValue(normalisedName(name));
    return exec(query) && query.numRowsAffected() == 1;
}

// ---------------------------------------------------------------- host information

bool ServerStore::setHostInformation(const QString &name, const QString &addresses, int port)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(QStringLiteral("UPDATE users SET host_addresses = ?, host_port = ? WHERE name = ?"));
    query.addBindValue(nonNull(addresses));
    query.addBindValue(port);
    query.addBindValue(normalisedName(name));
    return exec(query) && query.numRowsAffected() == 1;
}

bool ServerStore::hostInformation(const QString &name, QString *addresses, int *port)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(QStringLiteral("SELECT host_addresses, host_port FROM users"
                                 " WHERE name = ? AND host_addresses IS NOT NULL"));
    query.addBindValue(normalisedName(name));
    if (!exec(query) || !query.next())
        return false;
    *addresses = query.value(0).toString();
    *port = query.value(1).toInt();
    return true;
}

// ---------------------------------------------------------------- contact relations

bool ServerStore::addContact(const QString &owner, const QString &contact, bool merged)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(QStringLiteral("INSERT OR IGNORE INTO contacts (owner, contact, merged) VALUES (?, ?, ?)"));
    query.addBindValue(normalisedName(owner));
    query.addBindValue(normalisedName(contact));
    query.addBindValue(merged ? 1 : 0);
    return exec(query);
}

bool ServerStore::removeContact(const QString &owner, const QString &contact)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(QStringLiteral("DELETE FROM contacts WHERE owner = ? AND contact = ?"));
    query.addBindValue(normalisedName(owner));
    query.addBindValue(normalisedName(contact));
    return exec(query);
}

QStringList ServerStore::names(const QString &sql, const QString &name)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(sql);
    query.addBindValue(normalisedName(name));
    QStringList result;
    if (exec(query)) {
        while (query.next())
            result << query.value(0).toString();
    }
    return result;
}

QStringList ServerStore::contactsOf(const QString &owner)
{
    return names(QStringLiteral("SELECT contact FROM contacts WHERE owner = ? ORDER BY contact"), owner);
}

QStringList ServerStore::watchersOf(const QString &name)
{
    return names(QStringLiteral("SELECT owner FROM contacts WHERE contact = ? ORDER BY owner"), name);
}

QStringList ServerStore::unmergedContactsOf(const QString &owner)
{
    return names(QStringLiteral("SELECT contact FROM contacts WHERE owner = ? AND merged = 0 ORDER BY contact"),
                 owner);
}

bool ServerStore::markContactsMerged(const QString &owner, const QStringList &contacts)
{
    QSqlDatabase db = QSqlDatabase::database(m_connectionName);
    db.transaction();
    QSqlQuery query(db);
    query.prepare(QStringLiteral("UPDATE contacts SET merged = 1 WHERE owner = ? AND contact = ?"));
    for (const QString &contact : contacts) {
        query.addBindValue(normalisedName(owner));
        query.addBindValue(normalisedName(contact));
        if (!exec(query)) {
            db.rollback();
            return false;
        }
    }
    return db.commit();
}

// ---------------------------------------------------------------- relay queues

bool ServerStore::appendRelay(const QString &receiver, const QString &sender, const QByteArray &record)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(QStringLiteral("INSERT INTO relay (receiver, sender, record) VALUES (?, ?, ?)"));
    query.addBindValue(normalisedName(receiver));
    query.addBindValue(nonNull(normalisedName(sender)));
    query.addBindValue(record);
    return exec(query);
}

QByteArray ServerStore::takeRelay(const QString &receiver, QString *sender)
{
    QSqlDatabase db = QSqlDatabase::database(m_connectionName);
    db.transaction();
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT id, record, sender FROM relay WHERE receiver = ? ORDER BY id LIMIT 1"));
    query.addBindValue(normalisedName(receiver));
    if (!exec(query) || !query.next()) {
        db.rollback();
        return QByteArray();
    }
    const qint64 id = query.value(0).toLongLong();
    const QByteArray record = query.value(1).toByteArray();
    const QString recordSender = query.value(2).toString();
    query.finish();
    QSqlQuery remove(db);
    remove.prepare(QStringLiteral("DELETE FROM relay WHERE id = ?"));
    remove.addBindValue(id);
    if (!exec(remove) || !db.commit()) {
        db.rollback();
        return QByteArray();
    }
    if (sender)
        *sender = recordSender;
    return record;
}

QByteArray ServerStore::peekRelay(const QString &receiver, qint64 after, qint64 *id, QString *sender)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(
        QStringLiteral("SELECT id, record, sender FROM relay WHERE receiver = ? AND id > ? ORDER BY id LIMIT 1"));
    query.addBindValue(normalisedName(receiver));
    query.addBindValue(after);
    if (!exec(query) || !query.next())
        return QByteArray();
    *id = query.value(0).toLongLong();
    if (sender)
        *sender = query.value(2).toString();
    return query.value(1).toByteArray();
}

bool ServerStore::deleteRelay(const QString &receiver, qint64 id)
{
    QSqlQuery remove(QSqlDatabase::database(m_connectionName));
    // Only from the caller's own queue.
    remove.prepare(QStringLiteral("DELETE FROM relay WHERE id = ? AND receiver = ?"));
    remove.addBindValue(id);
    remove.addBindValue(normalisedName(receiver));
    return exec(remove);
}

qint64 ServerStore::number(const QString &sql, const QString &name)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(sql);
    query.addBindValue(normalisedName(name));
    if (!exec(query) || !query.next())
        return 0;
    return query.value(0).toLongLong();
}

int ServerStore::relayCount(const QString &receiver)
{
    return int(number(QStringLiteral("SELECT count_to FROM relay_totals WHERE name = ?"), receiver));
}

qint64 ServerStore::relayBytesTo(const QString &receiver)
{
    return number(QStringLiteral("SELECT bytes_to FROM relay_totals WHERE name = ?"), receiver);
}

qint64 ServerStore::relayBytesFrom(const QString &sender)
{
    return number(QStringLiteral("SELECT bytes_from FROM relay_totals WHERE name = ?"), sender);
}

// ---------------------------------------------------------------- demo users

bool ServerStore::setDemoPassword(const QString &name, const QString &password)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName));
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO demo (name, password) VALUES (?, ?)"));
    query.addBindValue(normalisedName(name));
    query.addBindValue(nonNull(password));
    return exec(query);
}

QString ServerStore::demoPassword(const QString &name)
{
    const QStringList found = names(QStringLiteral("SELECT password FROM demo WHERE name = ?"), name);
    return found.isEmpty() ? QString() : found.first();
}

#pragma once

// An in-process host for the messaging engine: one per user, with storage in
// a folder of the test's. Hosts joined by link() carry buffered records to
// each other the way the program does: the record's binary form crosses,
// keys of the host's own ("Wivora::") are dropped, the sender is stamped,
// and the receiver's plug-in is offered it on a thread of its own.

#include <IWHost.h>
#include <KvrConfig.h>
#include <WivoraAccount.h>

#include <QDir>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QStringList>

#include <functional>
#include <thread>
#include <vector>

class TestHost : public IWHost
{
public:
    struct Buffered
    {
        QString user;
        KvrConfig record;
    };
    struct Activity
    {
        QString user;
        QString activity;
        bool active;
    };

    TestHost(const QString &storage, const QString &user) : m_storage(storage), m_account(new WivoraAccount)
    {
        m_account->setUserName(user);
    }
    ~TestHost() override { joinDeliveries(); }

    // Where a delivered record goes: the receiver's commandReceived.
    std::function<void(const QString &id, const QString &command)> commandSink;

    void logIn(const QString &user) { m_account->setUserName(user); }
    void logOut() { m_account->setUserName(QString()); }
    void accept(const QString &user) { QMutexLocker lock(&m_mutex); m_accepted.insert(user); }
    static void link(TestHost &a, TestHost &b)
    {
        a.m_peers.insert(a.name(b), &b);
        b.m_peers.insert(b.name(a), &a);
    }
    QString name(const TestHost &other) const { return other.m_account->getUserName(); }

    // Puts a record into this host's input store as if user's link brought
    // it, and offers it to the plug-in on a thread of its own.
    void deliver(const QString &user, const KvrConfig &sent)
    {
        KvrConfig record;
        record.DeserializeConfigBinary(sent.SerializeConfigBinary());
        record.RemoveKeysWithPrefix(QStringLiteral("Wivora::"));
        record.sv(QStringLiteral("Wivora::sender"), user.toLower());
        const QString id = record.GetID();
        const QString command = record.gv(QStringLiteral("command"));
        QMutexLocker lock(&m_mutex);
        m_input.insert(id, record);
        m_deliveries.emplace_back([this, id, command] {
            if (commandSink)
                commandSink(id, command);
        });
    }
    void joinDeliveries()
    {
        std::vector<std::thread> running;
        {
            QMutexLocker lock(&m_mutex);
            running.swap(m_deliveries);
        }
        for (std::thread &thread : running)
            thread.join();
    }

    QList<Buffered> buffered() const { QMutexLocker lock(&m_mutex); return m_buffered; }
    QList<Activity> activities() const { QMutexLocker lock(&m_mutex); return m_activities; }
    QStringList notifications() const { QMutexLocker lock(&m_mutex); return m_notifications; }
    QHash<QString, QByteArray> handlers() const { QMutexLocker lock(&m_mutex); return m_handlers; }
    int inputSize() const { QMutexLocker lock(&m_mutex); return m_input.size(); }
    void clearJournal()
    {
        QMutexLocker lock(&m_mutex);
        m_buffered.clear();
        m_activities.clear();
        m_notifications.clear();
    }

    // IWHost
    QSharedPointer<WivoraAccount> getAccount() override { return m_account; }
    void sendCommand(const KvrConfig &, const QString &, bool, const QString &) override {}
    void sendServerCommand(const KvrConfig &) override {}
    QString openUserConnection(const QString &, bool) override { return QString(); }
    void closeConnection(const QString &) override {}
    bool isConnectionActive(const QString &) override { return false; }
    bool hasUserConnection(const QString &, bool) override { return false; }
    IWSignalDispatcher *getSignalDispatcher() override { return nullptr; }
    void registerActivityHandler(const QString &name, const QByteArray &icon) override
    {
        QMutexLocker lock(&m_mutex);
        m_handlers.insert(name, icon);
    }
    void setUserActivity(const QString &user, const QString &activity, bool active) override
    {
        QMutexLocker lock(&m_mutex);
        m_activities.append({user, activity, active});
    }
    void saveAccount() override {}
    KvrConfig takeInputCommand(const QString &id) override
    {
        QMutexLocker lock(&m_mutex);
        return m_input.take(id);
    }
    QSharedPointer<TcpConnection> getServerConnection() override { return {}; }
    QString getPluginStoragePath(const QString &pluginName) override
    {
        return m_storage + QStringLiteral("/pluginsstorage/") + m_account->getUserName().toLower() + QLatin1Char('/')
            + pluginName;
    }
    QStringList getSelectedContacts() override { return {}; }
    bool queueExchangeCommand(const QString &, const KvrConfig &) override { return true; }
    void bufferCommand(const QString &user, const KvrConfig &record) override
    {
        TestHost *peer = nullptr;
        {
            QMutexLocker lock(&m_mutex);
            m_buffered.append({user, record});
            peer = m_peers.value(user);
        }
        if (peer)
            peer->deliver(m_account->getUserName(), record);
    }
    void displayActivityNotification(const QString &text) override
    {
        QMutexLocker lock(&m_mutex);
        m_notifications.append(text);
    }
    bool isUserAccepted(const QString &user) override
    {
        QMutexLocker lock(&m_mutex);
        return m_accepted.contains(user);
    }
    KvrConfig waitInputCommand(const QString &id, int) override { return takeInputCommand(id); }
    KvrConfig peekInputCommand(const QString &id) override
    {
        QMutexLocker lock(&m_mutex);
        return m_input.value(id);
    }

private:
    const QString m_storage;
    const QSharedPointer<WivoraAccount> m_account;
    mutable QMutex m_mutex;
    QHash<QString, TestHost *> m_peers;
    QHash<QString, KvrConfig> m_input;
    QSet<QString> m_accepted;
    QList<Buffered> m_buffered;
    QList<Activity> m_activities;
    QStringList m_notifications;
    QHash<QString, QByteArray> m_handlers;
    std::vector<std::thread> m_deliveries;
};

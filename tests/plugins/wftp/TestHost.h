#pragma once

// An in-process stand-in for the program around a plug-in: each TestHost is
// one user's client, a TestNetwork joins them. Records travel as the core
// sends them: the receiving side drops every "Wivora::" key the sender wrote,
// stamps the link's user and identifiers, keeps the record in its input store
// and offers it to its plug-in on a thread of its own. Records pushed with
// sendServerCommand land in serverOutbox; injectFromServer plays the main
// server pushing a "WebLocal::" record (no routing keys).
//
// Faults a test can inject: a link dropped (it reports inactive and loses
// what travels on it, replies under way included), the next connects
// refused, and the reply to the n-th request of a command dropped, delayed
// or rewritten (a crafted listing). sentCommands() records every request.

#include <IWHost.h>
#include <IWPlugin.h>
#include <WivoraAccount.h>

#include <QMap>
#include <QTemporaryDir>

#include <QSet>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class TestHost;

class TestNetwork
{
public:
    void join(TestHost *host);
    // Before the plug-ins go: every delivery under way ends and none starts
    // again (a delivery on one host can start one on another, so hosts are
    // detached before the last wait).
    void quiesce();
    TestHost *find(const QString &user) const { return m_hosts.value(user); }

    void dropLink(const QString &link)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dropped.insert(link);
    }
    bool isDropped(const QString &link) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_dropped.contains(link);
    }

private:
    QMap<QString, TestHost *> m_hosts;
    mutable std::mutex m_mutex;
    QSet<QString> m_dropped;
};

class TestHost : public IWHost
{
public:
    // What happens to the reply of a request this client sends.
    struct ReplyFault
    {
        int nth = 0; // 1 for the next request of the command; 0 for every one
        bool drop = false;
        int delayMs = 0;
        std::function<void(KvrConfig &reply)> rewrite;
    };

    TestHost(const QString &user, TestNetwork *network) : m_network(network)
    {
        m_account->setUserName(user);
        network->join(this);
    }
    ~TestHost() override { waitIdle(); }

    void setPlugin(IWPlugin *plugin)
    {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_plugin = plugin;
        }
        if (!plugin)
            return;
        plugin->setHostInterface(this);
        plugin->initPlugin();
    }
    QString user() const { return m_account->getUserName(); }
    // A contact as the session keeps it: online unless status is 0.
    void addContact(const QString &name, int status = 1)
    {
        auto contact = QSharedPointer<WDataStructure>::create();
        contact->sv(QStringLiteral("section"), name);
        contact->sv(QStringLiteral("username"), name);
        contact->sv(QStringLiteral("status"), QString::number(status));
        m_account->contactsData->AddStructure(contact);
    }
    // Records this client sends arrive as if from a link that never
    // authenticated: no sender, no link.
    void setUnauthenticated(bool on) { m_unauthenticated = on; }

    // Waits until every record offered to the plug-in was handled.
    void waitIdle()
    {
        for (;;) {
            std::thread thread;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                if (m_threads.empty())
                    return;
                thread = std::move(m_threads.back());
                m_threads.pop_back();
            }
            thread.join();
        }
    }
    // The record with that "ID" as soon as it is in the input store.
    KvrConfig waitFor(const QString &id, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_input.contains(id); }))
            return KvrConfig();
        return m_input.take(id);
    }
    QList<KvrConfig> takeAll(const QString &command)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        QList<KvrConfig> found;
        for (auto it = m_input.begin(); it != m_input.end();) {
            if (it.value().gv("command") == command) {
                found << it.value();
                it = m_input.erase(it);
            } else {
                ++it;
            }
        }
        return found;
    }
    QList<KvrConfig> serverOutbox() const
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_serverOutbox;
    }
    QList<KvrConfig> sentCommands() const
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_sent;
    }
    QList<KvrConfig> sentCommands(const QString &command) const
    {
        QList<KvrConfig> found;
        for (const KvrConfig &sent : sentCommands()) {
            if (sent.gv(QStringLiteral("command")) == command)
                found << sent;
        }
        return found;
    }
    void addReplyFault(const QString &command, const ReplyFault &fault)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        ReplyFault counted = fault;
        if (counted.nth > 0)
            counted.nth += m_commandCounts.value(command);
        m_faults.insert(command, counted);
    }
    // The link this client opened last.
    QString lastLink() const
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_lastLink;
    }
    // Receiver and link of each record in sentCommands().
    QList<QPair<QString, QString>> sentRoutes() const
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_routes;
    }

    // A record arriving on a link from `from` (stamped as the core does).
    void deliver(const QString &from, KvrConfig record, bool serverConnection, const QString &connectionId)
    {
        record.RemoveKeysWithPrefix(QStringLiteral("Wivora::"));
        record.sv(QStringLiteral("Wivora::sender"), from);
        record.sv(QStringLiteral("Wivora::connection"), serverConnection ? QStringLiteral("1") : QStringLiteral("0"));
        record.sv(QStringLiteral("Wivora::connectionID"), connectionId);
        ReplyFault fault;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!m_faulted.contains(record.GetID())) {
                lock.unlock();
                store(record);
                return;
            }
            fault = m_faulted.take(record.GetID());
        }
        if (fault.drop)
            return;
        if (fault.rewrite)
            fault.rewrite(record);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_threads.emplace_back([this, record, delay = fault.delayMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            store(record);
        });
    }
    void injectFromServer(const KvrConfig &record) { store(record); }

    // IWHost
    QSharedPointer<WivoraAccount> getAccount() override { return m_account; }
    void sendCommand(const KvrConfig &record, const QString &receiver, bool serverConnection,
                     const QString &connectionID) override
    {
        KvrConfig sent = record;
        sent.sv(QStringLiteral("binary"), QStringLiteral("true"));
        const QString link = connectionID.isEmpty() ? QStringLiteral("link-%1-%2").arg(user(), receiver) : connectionID;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_sent << sent;
            m_routes << qMakePair(receiver, link);
            const QString command = sent.gv(QStringLiteral("command"));
            const int nth = ++m_commandCounts[command];
            for (const ReplyFault &fault : m_faults.values(command)) {
                if (fault.nth == 0 || fault.nth == nth)
                    m_faulted.insert(sent.GetID(), fault);
            }
        }
        TestHost *peer = m_network->find(receiver);
        if (!peer || m_network->isDropped(link))
            return;
        if (m_unauthenticated) {
            sent.RemoveKeysWithPrefix(QStringLiteral("Wivora::"));
            peer->store(sent);
            return;
        }
        peer->deliver(user(), sent, serverConnection, link);
    }
    void sendServerCommand(const KvrConfig &record) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_serverOutbox << record;
    }
    QString openUserConnection(const QString &user, bool) override
    {
        const int opened = ++linksOpened;
        if (refuseLinks)
            return QString();
        if (failConnects > 0) {
            --failConnects;
            return QString();
        }
        // Each link new, as the core makes them.
        const QString link = QStringLiteral("link-open-") + user + (opened > 1 ? QStringLiteral("-%1").arg(opened) : QString());
        std::unique_lock<std::mutex> lock(m_mutex);
        m_lastLink = link;
        return link;
    }
    void closeConnection(const QString &) override {}
    bool isConnectionActive(const QString &link) override { return !m_network->isDropped(link); }
    bool hasUserConnection(const QString &, bool) override { return true; }
    IWSignalDispatcher *getSignalDispatcher() override { return nullptr; }
    void registerActivityHandler(const QString &, const QByteArray &) override {}
    void setUserActivity(const QString &, const QString &, bool) override {}
    void saveAccount() override { ++saves; }
    KvrConfig takeInputCommand(const QString &id) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_input.take(id);
    }
    QSharedPointer<TcpConnection> getServerConnection() override { return nullptr; }
    QString getPluginStoragePath(const QString &pluginName) override { return m_storage.filePath(pluginName); }
    QStringList getSelectedContacts() override { return {}; }
    bool queueExchangeCommand(const QString &, const KvrConfig &) override { return true; }
    void bufferCommand(const QString &, const KvrConfig &) override {}
    void displayActivityNotification(const QString &) override {}
    bool isUserAccepted(const QString &) override { return true; }
    KvrConfig waitInputCommand(const QString &id, int timeoutMs) override { return waitFor(id, timeoutMs); }
    KvrConfig peekInputCommand(const QString &id) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_input.value(id);
    }

    std::atomic<int> saves{0};
    std::atomic<int> linksOpened{0};
    std::atomic<bool> refuseLinks{false};
    // Connects refused before links come again.
    std::atomic<int> failConnects{0};

private:
    void store(const KvrConfig &record)
    {
        const QString id = record.GetID();
        const QString command = record.gv(QStringLiteral("command"));
        std::unique_lock<std::mutex> lock(m_mutex);
        m_input.insert(id, record);
        m_arrived.notify_all();
        if (!m_plugin)
            return;
        IWPlugin *plugin = m_plugin;
        m_threads.emplace_back([plugin, id, command] { plugin->commandReceived(id, command); });
    }

    TestNetwork *m_network;
    QTemporaryDir m_storage;
    QSharedPointer<WivoraAccount> m_account = QSharedPointer<WivoraAccount>::create();
    IWPlugin *m_plugin = nullptr;
    bool m_unauthenticated = false;
    // Standard types, so the thread sanitizer follows the hand-overs.
    mutable std::mutex m_mutex;
    std::condition_variable m_arrived;
    QMap<QString, KvrConfig> m_input;
    QList<KvrConfig> m_serverOutbox;
    QList<KvrConfig> m_sent;
    QList<QPair<QString, QString>> m_routes;
    QMultiMap<QString, ReplyFault> m_faults;
    QMap<QString, int> m_commandCounts;
    QMap<QString, ReplyFault> m_faulted; // by request "ID"
    QString m_lastLink;
    std::vector<std::thread> m_threads;
};

inline void TestNetwork::join(TestHost *host)
{
    m_hosts.insert(host->user(), host);
}

inline void TestNetwork::quiesce()
{
    for (TestHost *host : qAsConst(m_hosts))
        host->waitIdle();
    for (TestHost *host : qAsConst(m_hosts))
        host->setPlugin(nullptr);
    for (TestHost *host : qAsConst(m_hosts))
        host->waitIdle();
}

#include "MainClass.h"

#include "AccountKeys.h"
#include "IContactsView.h"
#include "ServiceSettings.h"
#include "WCommonOperations.h"

#include <IWPlugin.h>
#include <MainServerCommands.h>
#include <ServerProtocol.h>
#include <TcpConnection.h>
#include <ThreadUtilities.h>
#include <WDataStructure.h>
#include <WServerCommands.h>
#include <WUtilities.h>
#include <WivoraAccount.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QtConcurrent>
#include <QtDebug>

#include <mutex>

namespace P = ServerProtocol;

namespace {

using namespace AccountKeys;

const QString ActivityHandlersPath = QStringLiteral("activityhandlers/");
const QString SectionKey = QStringLiteral("section");
const QString UserNameKey = QStringLiteral("username");
const QString StatusAnswerPrefix = QStringLiteral("user::");

// How long the server may take to hand over a record it announced.
constexpr int PushFetchMs = 10000;
// The polling steps of the reconnect loop and of logout's waits.
constexpr int ReconnectStepMs = 100;
constexpr int LogoutStepMs = 50;

std::atomic<MainClass *> s_instance{nullptr};

void destroyInstance()
{
    delete s_instance.exchange(nullptr);
}

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
}

void waitWhileRunning(const QFuture<void> &task)
{
    while (task.isRunning())
        waitWithEvents(LogoutStepMs);
}

} // namespace

MainClass *MainClass::instance()
{
    static std::once_flag created;
    std::call_once(created, [] {
        s_instance = new MainClass;
        qAddPostRoutine(destroyInstance);
    });
    return s_instance;
}

MainClass::MainClass()
    : m_dispatcher(&m_plugins),
      m_tcpServer(&m_session),
      m_ping(&m_session),
      m_exchange(&m_session),
      m_connections(&m_commands, &m_session),
      m_buffered(&m_session, bufferedRoads()),
      m_serverCommands(&m_commands, &m_plugins, &m_dispatcher, &m_session)
{
    m_plugins.setHost(this);
    WCommonOperations::setContext(&m_session, &m_dispatcher);

    m_workingThread.start();
    m_connections.setBufferedPartReceiver([this](const KvrConfig &part) { m_buffered.receiveBufferedPart(part); });
    m_ping.setPeerLinkWalk([this](const KvrConfig &keepAlive, const std::function<bool()> &stopRequested) {
        m_connections.checkPeerLinks(keepAlive, stopRequested);
    });
    m_connections.moveToThread(&m_workingThread);
    m_connections.start();
    m_commands.moveToThread(&m_workingThread);
    m_serverCommands.setLinkAcceptance(
        [this](const QString &tunnelId, const QString &sender, bool serverMode) {
            m_connections.requestTunnelAcceptance(tunnelId, sender, serverMode);
        },
        [this](const QString &sender, const QString &sessionId) {
            m_connections.requestUdpAcceptance(sender, sessionId);
        });
    m_serverCommands.setRelayedPartReceiver(
        [this](const KvrConfig &part) { return m_buffered.receiveRelayedPart(part); });
    m_serverCommands.setInbox(&m_inbox);
    m_serverCommands.moveToThread(&m_workingThread);

    TcpConnection *const serverLink = m_session.serverLink().data();
    connect(serverLink, &TcpConnection::signalCommandReceived, this, &MainClass::slotServerConnectionCommandReceived);
    // Directly, on whichever thread put the record (often a link's reader):
    // the slot only hands the record to a handler thread.
    connect(&m_commands, &IOCommandsTower::signalInputCommandReceived, &m_serverCommands,
            &ServerCommands::slotCommandReceived, Qt::DirectConnection);
    connect(&m_ping, &WPingThread::signalMainConnectionLost, this, &MainClass::slotMainServerConnectionLost);
    connect(serverLink, &TcpConnection::signalConnectionEnded, this, &MainClass::slotServerLinkEnded);
    connect(&m_tcpServer, &WTcpServer::signalNewConnectionArrived, &m_connections,
            &ConnectionsThread::slotTcpConnectionArrived);
}

MainClass::~MainClass()
{
    // A question about a stranger may still wait for the window that is gone;
    // the command handler asking it must end before the members go.
    m_dispatcher.closeQuestions();
    m_dispatcher.waitForAskers();
    m_commands.endWaits();
    m_loggedIn = false;
    m_reconnectStop = true;
    disconnect(m_session.serverLink().data(), nullptr, this, nullptr);
    // Both tasks use the members; neither needs this thread to end.
    m_reconnect.waitForFinished();
    m_statusRefresh.waitForFinished();
    m_tcpServer.close();
    // The objects living there are destroyed from here once it has ended.
    m_workingThread.quit();
    m_workingThread.wait();
    WCommonOperations::setContext(nullptr, nullptr);
}

BufferedCommands::Roads MainClass::bufferedRoads()
{
    BufferedCommands::Roads roads;
    roads.send = [this](const KvrConfig &record, const QString &user, const QString &connectionId) {
        m_commands.putOutputCommand(record, user, false, connectionId);
    };
    roads.hasPeerLink = [this](const QString &user) { return m_connections.hasUserConnection(user, false); };
    roads.openPeerLink = [this](const QString &user) { m_connections.getOrCreateConnection(user, false, true); };
    roads.deliver = [this](const KvrConfig &record) {
        // Offered to the plug-ins while the disk syncs: filing need not wait
        // for it, only the acknowledgement that lets the sender forget does.
        // A plug-in that files it first knows it by its "ID" when the sender,
        // unacknowledged, sends it again.
        if (!m_inbox.add(record, DurableInbox::Sync::Later))
            return false;
        m_commands.putInputCommand(record);
        return m_inbox.sync();
    };
    roads.progress = [this](BufferedCommands::Direction direction, const QString &user, int percent) {
        IContactsView *const view = contactsView();
        if (!view)
            return;
        if (direction == BufferedCommands::Direction::Send)
            view->setContactSendProgress(user, percent);
        else
            view->setContactReceiveProgress(user, percent);
    };
    return roads;
}

void MainClass::setContactsView(IContactsView *view)
{
    m_contactsView = view;
}

bool MainClass::isReconnecting() const
{
    return m_reconnect.isRunning();
}

// ------------------------------------------------------------------ login

int MainClass::loginConnectTimeoutMs()
{
    bool ok = false;
    const int fromEnvironment = qEnvironmentVariableIntValue("WIVORA_LOGIN_CONNECT_TIMEOUT_MS", &ok);
    return ok && fromEnvironment > 0 ? fromEnvironment : DefaultLoginConnectTimeoutMs;
}

bool MainClass::login(const QString &user, const QString &password)
{
    if (m_loginRunning || m_logoutRunning)
        return false;
    m_loginRunning = true;
    m_loggedIn = false;
    m_loginRefusal.clear();
    m_loginFailure = LoginFailure::None;
    m_logoutRequested = false;
    m_loginCancelled = false;
    m_commands.allowWaits();
    const bool loggedIn = loginSteps(user, password);
    m_loginRunning = false;
    if (!loggedIn) {
        m_session.serverLink()->disconnectFromHost();
        if (m_loginCancelled || m_logoutRequested)
            m_loginFailure = LoginFailure::Cancelled;
        return false;
    }
    m_loggedIn = true;
    if (m_logoutRequested || m_loginCancelled) {
        // A quit, logout or cancel came while the login kept events flowing.
        logout();
        m_loginFailure = LoginFailure::Cancelled;
        return false;
    }
    // A link lost during the login was nobody's to reconnect then.
    if (!m_session.serverLink()->isConnected())
        slotMainServerConnectionLost();
    return true;
}

bool MainClass::loginSteps(const QString &typedUser, const QString &password)
{
    // The server matches names without regard to case: one name, one folder.
    const QString user = SessionState::canonicalUserName(typedUser);
    const QString address = WUtilities::getUserIp(user);
    const QString serverKey = WUtilities::getServerPublicKey(user);
    if (user.isEmpty()) {
        m_loginFailure = LoginFailure::WrongPassword;
        return false;
    }
    if (address.isEmpty() || serverKey.isEmpty()) {
        m_loginFailure = LoginFailure::Unreachable;
        return false;
    }

    // Records for the plug-ins wait until this session started them.
    m_serverCommands.holdPluginRecords();
    const QSharedPointer<TcpConnection> link = m_session.serverLink();
    link->disconnectFromHost();
    if (m_loginCancelled)
        return false;
    const int connectTimeoutMs = loginConnectTimeoutMs();
    QElapsedTimer connectClock;
    connectClock.start();
    if (!link->connectToHost(address, ServiceSettings::port(), serverKey, connectTimeoutMs)) {
        // A refused or unroutable connection fails at once; a silent service
        // uses up the wait.
        m_loginFailure = connectClock.elapsed() >= connectTimeoutMs / 2 ? LoginFailure::NoAnswer : LoginFailure::Unreachable;
        return false;
    }
    bool answered = false;
    if (m_loginCancelled || !WServerCommands::Login(user, password, link, &m_loginRefusal, &answered)) {
        if (!answered)
            m_loginFailure = link->isConnected() ? LoginFailure::NoAnswer : LoginFailure::Unreachable;
        else
            m_loginFailure = m_loginRefusal.isEmpty() ? LoginFailure::WrongPassword : LoginFailure::Refused;
        return false;
    }

    bool fromServer = false;
    const QString text = accountText(user, &fromServer);
    const auto account = QSharedPointer<WivoraAccount>::create();
    if (m_loginCancelled || text.isEmpty() || !account->openAccount(text, password, true)) {
        m_loginFailure = LoginFailure::AccountUnreadable;
        return false;
    }
    account->sv(ReconnectPasswordKey, password);
    const QByteArray status = account->settingsData->getSetting(UserStatusSetting);
    account->setStatus(status.isEmpty() ? WivoraAccount::DefaultStatus : status.toInt()); // 0 when no number
    m_session.setAccount(account);

    // The server's copy is written only once it opened, so a faulty answer
    // never replaces a good file.
    if (fromServer)
        WCommonOperations::saveAccount(false);

    // Records a plug-in had not taken when an earlier run ended wait in the
    // input list with what comes meanwhile, offered once the plug-ins started.
    const QString folder = SessionState::ensureUserFolder(user);
    if (!folder.isEmpty()) {
        for (const KvrConfig &record : m_inbox.open(folder))
            m_commands.putInputCommand(record);
    }

    startSession();
    return true;
}

QString MainClass::accountText(const QString &user, bool *fromServer)
{
    const QSharedPointer<TcpConnection> link = m_session.serverLink();
    const QString path = SessionState::userFolder(user) + QLatin1Char('/') + AccountFileName;
    *fromServer = false;
    QString text;
    if (QFile::exists(path)) {
        const QDateTime serverTime = WServerCommands::getLastAccountSaveTime(link);
        const QDateTime localTime = WCommonOperations::lastAccountSaveTime(user);
        if (serverTime.isValid() && (!localTime.isValid() || serverTime > localTime))
            text = WServerCommands::getAccount(link);
        // A newer copy the server cannot hand over leaves the file in use.
        if (text.isEmpty())
            text = readFile(path);
        else
            *fromServer = true;
    }
    if (text.isEmpty()) {
        text = WServerCommands::getAccount(link);
        *fromServer = !text.isEmpty();
    }
    return text;
}

void MainClass::startSession()
{
    const QSharedPointer<WivoraAccount> account = m_session.account();
    const QSharedPointer<TcpConnection> link = m_session.serverLink();

    ensureThreadPoolCapacity();
    m_ping.start();
    waitWithEvents(30);
    m_ping.startChecking();
    m_exchange.start();
    waitWithEvents(30);
    m_exchange.startChecking();

    if (IContactsView *view = contactsView())
        view->reloadContacts();
    startLocalServer();
    WCommonOperations::sendHostInformation();
    WServerCommands::UpdateUserStatus(account->getStatus(), link);
    forEachPlugin([](IWPlugin *plugin) { plugin->initPlugin(); });
    m_serverCommands.releasePluginRecords();
    pushExchangeTrigger();
    m_buffered.loadBufferedCommands();
    m_statusRefresh = QtConcurrent::run([this] { refreshContactStatuses(); });
}

void MainClass::refreshContactStatuses()
{
    const QSharedPointer<WDataStructure> contacts = m_session.account()->contactsData;
    QString names;
    for (const QSharedPointer<WDataStructure> &contact : contacts->getChildren())
        names += contact->gv(UserNameKey) + QLatin1Char(P::UserListSeparator);
    if (names.isEmpty())
        return;

    const KvrConfig answer = MainServerCommands::getUserStatus(names);
    for (int i = 0; i < answer.size(); ++i) {
        const QString key = answer.GetKey(i);
        if (!key.startsWith(StatusAnswerPrefix))
            continue;
        const QString name = key.mid(StatusAnswerPrefix.size());
        // Only contacts are updated: an answer never adds one.
        const QSharedPointer<WDataStructure> contact = contacts->GetStructureByValue(SectionKey, name);
        if (!contact)
            continue;
        contact->SetValue(QLatin1String(P::KeyStatus), answer.GetValue(i));
        m_dispatcher.contactEdited(name);
    }
}

void MainClass::pushExchangeTrigger()
{
    KvrConfig trigger;
    trigger.SetID();
    trigger.sv(QLatin1String(P::KeyCommand), QLatin1String(P::ExchangeCommandTrigger));
    m_session.serverLink()->pushCommand(trigger);
}

void MainClass::forEachPlugin(const std::function<void(IWPlugin *)> &call)
{
    for (const PluginRecord &record : m_plugins.plugins()) {
        if (IWPlugin *plugin = qobject_cast<IWPlugin *>(record.instance))
            call(plugin);
    }
}

// ------------------------------------------------------------------ reconnect

void MainClass::slotServerLinkEnded()
{
    if (!m_session.serverLink()->isConnected())
        slotMainServerConnectionLost();
}

void MainClass::slotMainServerConnectionLost()
{
    if (!m_loggedIn || m_reconnect.isRunning())
        return;
    m_dispatcher.setStatusText(tr("not connected"));
    m_dispatcher.setServiceReachable(false);
    m_reconnectStop = false;
    m_reconnect = QtConcurrent::run([this] { reconnectLoop(); });
}

void MainClass::reconnectLoop()
{
    QElapsedTimer sinceAttempt;
    sinceAttempt.start();
    while (!m_reconnectStop) {
        if (sinceAttempt.elapsed() > ReconnectIntervalMs) {
            if (reconnectOnce())
                return;
            sinceAttempt.restart();
        }
        waitWithEvents(ReconnectStepMs);
    }
}

bool MainClass::reconnectOnce()
{
    m_dispatcher.setStatusText(tr("connecting"));
    const QSharedPointer<WivoraAccount> account = m_session.account();
    const QString user = SessionState::canonicalUserName(account->getUserName());
    const QString address = WUtilities::getUserIp(user);
    const QString serverKey = WUtilities::getServerPublicKey(user);
    if (address.isEmpty() || serverKey.isEmpty())
        return false;

    const QSharedPointer<TcpConnection> link = m_session.serverLink();
    link->disconnectFromHost();
    const bool loggedIn = link->connectToHost(address, ServiceSettings::port(), serverKey)
        && !m_reconnectStop && WServerCommands::Login(user, account->gv(ReconnectPasswordKey), link);
    if (m_reconnectStop) {
        // The session ended during the attempt: the link is no longer wanted.
        link->disconnectFromHost();
        return true;
    }
    if (!loggedIn) {
        m_dispatcher.setStatusText(tr("not connected"));
        return false;
    }
    m_dispatcher.setStatusText(tr("connected"));
    m_dispatcher.setServiceReachable(true);
    WServerCommands::UpdateUserStatus(account->getStatus(), link);
    pushExchangeTrigger();
    forEachPlugin([](IWPlugin *plugin) { plugin->initPlugin(); });
    return true;
}

void MainClass::cancelLogin()
{
    if (!m_loginRunning)
        return;
    m_loginCancelled = true;
    // Every wait on the link returns at once.
    m_session.serverLink()->disconnectFromHost();
}

// ------------------------------------------------------------------ logout

bool MainClass::logout()
{
    if (m_loginRunning) {
        m_logoutRequested = true;
        return true;
    }
    if (m_logoutRunning)
        return true;
    m_logoutRunning = true;
    // From here on a lost link is the session's own doing.
    m_loggedIn = false;
    m_reconnectStop = true;

    m_serverCommands.holdPluginRecords();
    // Replies to the ending session's requests will not come: the plug-ins'
    // threads stop waiting for them, so closing can join those threads.
    m_commands.endWaits();
    forEachPlugin([](IWPlugin *plugin) { plugin->closePlugin(); });
    m_inbox.close();
    m_buffered.stop();
    m_ping.stopChecking();
    m_connections.closeAllConnections();
    m_exchange.stopChecking();
    m_session.resetAccount();
    stopLocalServer();
    m_session.serverLink()->disconnectFromHost();

    waitWhileRunning(m_reconnect);
    waitWhileRunning(m_statusRefresh);
    m_logoutRunning = false;
    return true;
}

void MainClass::startLocalServer()
{
    m_tcpServer.startListening();
}

void MainClass::stopLocalServer()
{
    m_tcpServer.stopListening();
}

// ------------------------------------------------------------------ server pushes

void MainClass::slotServerConnectionCommandReceived(const QString &id, const QString &command)
{
    if (!command.startsWith(QLatin1String(P::LocalPrefix)) && !command.startsWith(QLatin1String(P::WebLocalPrefix)))
        return;
    const KvrConfig record = m_session.serverLink()->getCommand(id, PushFetchMs);
    if (!record.isEmpty())
        m_commands.putInputCommand(record);
}

// ------------------------------------------------------------------ IWHost

QSharedPointer<WivoraAccount> MainClass::getAccount()
{
    return m_session.account();
}

void MainClass::sendCommand(const KvrConfig &record, const QString &receiver, bool serverConnection,
                            const QString &connectionID)
{
    KvrConfig outgoing = record;
    outgoing.SetValue(QStringLiteral("binary"), true);
    m_commands.putOutputCommand(outgoing, receiver, serverConnection, connectionID);
}

void MainClass::sendServerCommand(const KvrConfig &record)
{
    m_session.serverLink()->pushCommand(record);
}

QString MainClass::openUserConnection(const QString &user, bool serverConnection)
{
    return m_connections.getOrCreateConnection(user, serverConnection, true);
}

void MainClass::closeConnection(const QString &connectionID)
{
    m_connections.closeConnection(connectionID);
}

bool MainClass::isConnectionActive(const QString &connectionID)
{
    return m_connections.isConnectionActive(connectionID);
}

bool MainClass::hasUserConnection(const QString &user, bool serverConnection)
{
    return m_connections.hasUserConnection(user, serverConnection);
}

IWSignalDispatcher *MainClass::getSignalDispatcher()
{
    return &m_dispatcher;
}

void MainClass::registerActivityHandler(const QString &name, const QByteArray &icon)
{
    m_session.account()->settingsData->setSetting(ActivityHandlersPath + name, icon);
}

void MainClass::setUserActivity(const QString &user, const QString &activity, bool active)
{
    if (user.isEmpty())
        return;
    // Creating the path for a stranger would add a contact record, and with it
    // make the stranger accepted.
    const QSharedPointer<WDataStructure> contact =
        m_session.account()->contactsData->GetStructureByValue(SectionKey, user);
    if (!contact)
        return;
    contact->setSetting(QStringLiteral("activities/") + activity, active ? "1" : "0");
    if (IContactsView *view = contactsView())
        view->refreshContactItem(user);
    m_dispatcher.userActivityChanged(user);
}

int MainClass::contactsWithActivity()
{
    const QSharedPointer<WivoraAccount> account = m_session.account();
    if (!account || account->getUserName().isEmpty())
        return 0;
    int count = 0;
    for (const WDataStructure::Pointer &contact : account->contactsData->getChildren()) {
        const WDataStructure::Pointer activities = contact->getSettingStructure(QStringLiteral("activities"));
        if (!activities)
            continue;
        const KvrConfig values = activities->values();
        for (int i = 0; i < values.size(); ++i) {
            if (values.GetValue(i) == "1") {
                ++count;
                break;
            }
        }
    }
    return count;
}

void MainClass::saveAccount()
{
    WCommonOperations::saveAccount(true);
}

KvrConfig MainClass::takeInputCommand(const QString &id)
{
    const KvrConfig record = m_commands.takeInputCommand(id);
    // Taken by a plug-in: from now on it is the plug-in's to keep.
    if (!record.isEmpty())
        m_inbox.remove(id);
    return record;
}

QSharedPointer<TcpConnection> MainClass::getServerConnection()
{
    return m_session.serverLink();
}

QString MainClass::getPluginStoragePath(const QString &pluginName)
{
    return SessionState::userFolder(m_session.userName()) + QLatin1Char('/') + pluginName;
}

QStringList MainClass::getSelectedContacts()
{
    IContactsView *const view = contactsView();
    return view ? view->getSelectedContacts() : QStringList();
}

bool MainClass::queueExchangeCommand(const QString &user, const KvrConfig &record)
{
    return m_exchange.enqueueExchangeCommand(user, record);
}

void MainClass::bufferCommand(const QString &user, const KvrConfig &record)
{
    m_buffered.addBufferedCommand(user, record);
}

void MainClass::displayActivityNotification(const QString &text)
{
    m_dispatcher.displayActivityNotification(text);
}

bool MainClass::isUserAccepted(const QString &user)
{
    if (m_session.isContact(user))
        return true;
    return m_dispatcher.acceptNewUser(user);
}

KvrConfig MainClass::waitInputCommand(const QString &id, int timeoutMs)
{
    return m_commands.waitInputCommand(id, timeoutMs);
}

KvrConfig MainClass::peekInputCommand(const QString &id)
{
    return m_commands.peekInputCommand(id);
}

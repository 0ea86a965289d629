#pragma once

// The session controller and plug-in host of the program.
//
// Running a session without the main window (a headless client, a test):
//
//   QApplication app(argc, argv);   // QT_QPA_PLATFORM=offscreen is enough
//   // machine settings "service/domain", "service/port" (and "mainserverip",
//   // which start-up copies from "service/domain") point at the service
//   MainClass *session = MainClass::instance();  // on the GUI thread: creates
//                                                 // it and starts its threads
//   session->pluginManager()->loadPlugins();     // plug-ins of <storage>/plugins
//   bool ok = session->login(user, password);    // blocks, events keep flowing
//   ... app.exec(), or waitWithEvents(...) ...
//   session->logout();                           // returns once all stopped
//
// Without the main window, the client itself answers the accept-new-user
// question (signalsDispatcher()->signalAcceptNewUser, answered with
// setAcceptAnswer) and follows the server's "Local::Logout" (signalLogout(),
// answered with logout()). The instance is destroyed with the application
// object.

#include "BufferedCommands.h"
#include "ConnectionsThread.h"
#include "DurableInbox.h"
#include "ExchangeMessageQueue.h"
#include "IOCommandsTower.h"
#include "ServerCommands.h"
#include "SessionState.h"
#include "WPingThread.h"
#include "WPluginManager.h"
#include "WSignalsDispatcher.h"
#include "WTcpServer.h"
#include "WorkingThread.h"

#include <IWHost.h>

#include <QFuture>
#include <QObject>

#include <atomic>
#include <functional>

class IContactsView;
class IWPlugin;

// Owns every long-lived engine of the client core and wires them; logs the
// user in and out, keeps the main-server link (a lost link is logged in again
// every ReconnectIntervalMs until that works or the user logs out) and serves
// the plug-ins as their IWHost.
//
// Lives on the GUI thread: login, logout and the slots run there; the host
// operations run on whichever thread calls them.
class MainClass : public QObject, public IWHost
{
    Q_OBJECT

public:
    static constexpr int ReconnectIntervalMs = 5000;
    // How long a login waits for the server's handshake;
    // WIVORA_LOGIN_CONNECT_TIMEOUT_MS when set (tests shorten it).
    static constexpr int DefaultLoginConnectTimeoutMs = 10000;
    static int loginConnectTimeoutMs();

    // Why the last login did not open a session.
    enum class LoginFailure {
        None,
        WrongPassword, // the server refused the name or password without a reason
        Refused,       // the server refused with a reason: loginRefusal()
        Unreachable,   // no service at the address, or none configured
        NoAnswer,      // the service took the link but never answered in time
        AccountUnreadable, // logged in, but the account would not open
        Cancelled,     // cancelLogin() or a logout came first
    };
    Q_ENUM(LoginFailure)

    // The one instance, created by the first call (made by main on the GUI
    // thread); safe from any thread.
    static MainClass *instance();

    ~MainClass() override;

    // Logs in and starts the session. False, with the server link closed,
    // when the server is unknown or unreachable, refuses the login, or no
    // account opens with the password. A logout asked for meanwhile (a quit
    // while events flowed) runs before this returns, which then gives false.
    bool login(const QString &user, const QString &password);
    // Why the server refused the last login, in its words; empty when it did
    // not say (e.g. a wrong password) or the login ended before asking it.
    QString loginRefusal() const { return m_loginRefusal; }
    LoginFailure loginFailure() const { return m_loginFailure; }
    // Ends a login that is running: its waits return at once and login()
    // gives false with LoginFailure::Cancelled. Nothing without one.
    void cancelLogin();
    bool isLoginRunning() const { return m_loginRunning; }
    // Ends the session; returns once every task of it has ended. Always true.
    // Asked for during a login, it runs when the login returns.
    bool logout();

    bool isLoggedIn() const { return m_loggedIn; }
    // How many contacts have something new for the user (an activity on,
    // e.g. an unread message); 0 when nobody is logged in.
    int contactsWithActivity();
    // True while a lost server link is being logged in again.
    bool isReconnecting() const;

    WPluginManager *pluginManager() { return &m_plugins; }
    WSignalsDispatcher *signalsDispatcher() { return &m_dispatcher; }
    BufferedCommands *bufferedCommands() { return &m_buffered; }
    WPingThread *pingThread() { return &m_ping; }
    ConnectionsThread *connections() { return &m_connections; }
    // The contact list shown to the user; null for none. It must stay valid
    // until it is replaced or the instance is destroyed.
    void setContactsView(IContactsView *view);

    void startLocalServer();
    void stopLocalServer();

    // IWHost
    QSharedPointer<WivoraAccount> getAccount() override;
    void sendCommand(const KvrConfig &record, const QString &receiver, bool serverConnection,
                     const QString &connectionID) override;
    void sendServerCommand(const KvrConfig &record) override;
    QString openUserConnection(const QString &user, bool serverConnection) override;
    void closeConnection(const QString &connectionID) override;
    bool isConnectionActive(const QString &connectionID) override;
    bool hasUserConnection(const QString &user, bool serverConnection) override;
    IWSignalDispatcher *getSignalDispatcher() override;
    void registerActivityHandler(const QString &name, const QByteArray &icon) override;
    // Only contacts have activities: for anyone else nothing is stored.
    void setUserActivity(const QString &user, const QString &activity, bool active) override;
    void saveAccount() override;
    KvrConfig takeInputCommand(const QString &id) override;
    QSharedPointer<TcpConnection> getServerConnection() override;
    QString getPluginStoragePath(const QString &pluginName) override;
    QStringList getSelectedContacts() override;
    bool queueExchangeCommand(const QString &user, const KvrConfig &record) override;
    void bufferCommand(const QString &user, const KvrConfig &record) override;
    void displayActivityNotification(const QString &text) override;
    // A stranger is asked about through WSignalsDispatcher::acceptNewUser.
    bool isUserAccepted(const QString &user) override;
    KvrConfig waitInputCommand(const QString &id, int timeoutMs) override;
    KvrConfig peekInputCommand(const QString &id) override;

public slots:
    // A record the main server pushed: "Local::" and "WebLocal::" records go
    // to the input list, anything else stays with the link.
    void slotServerConnectionCommandReceived(const QString &id, const QString &command);
    // The server link failed (ping) or ended: starts logging in again, unless
    // nobody is logged in or that already runs.
    void slotMainServerConnectionLost();

private slots:
    // The end of a link that has since been connected again is no loss.
    void slotServerLinkEnded();

private:
    MainClass();

    // How the buffered-command store reaches the links, the stores and the
    // contact list.
    BufferedCommands::Roads bufferedRoads();
    bool loginSteps(const QString &user, const QString &password);
    // The account text of user: the local file, or the server's copy when
    // that is newer or there is no usable file. fromServer tells which.
    QString accountText(const QString &user, bool *fromServer);
    void startSession();
    void refreshContactStatuses();
    void reconnectLoop();
    bool reconnectOnce();
    void pushExchangeTrigger();
    void forEachPlugin(const std::function<void(IWPlugin *)> &call);
    IContactsView *contactsView() const { return m_contactsView; }

    // Declared in the order of their dependencies: each is built after, and
    // destroyed before, what it uses.
    SessionState m_session;
    WPluginManager m_plugins;
    WSignalsDispatcher m_dispatcher;
    IOCommandsTower m_commands;
    DurableInbox m_inbox;
    WTcpServer m_tcpServer;
    WPingThread m_ping;
    ExchangeMessageQueue m_exchange;
    WorkingThread m_workingThread;
    ConnectionsThread m_connections;
    BufferedCommands m_buffered;
    ServerCommands m_serverCommands;

    std::atomic<IContactsView *> m_contactsView{nullptr};

    QFuture<void> m_statusRefresh;
    QFuture<void> m_reconnect;
    std::atomic<bool> m_reconnectStop{false};
    // Set when a login succeeded, cleared when the session ends: only the
    // loss of a logged-in session's link is worth a reconnect.
    std::atomic<bool> m_loggedIn{false};

    // GUI thread only: login and logout keep events flowing, so either may be
    // asked for again while it runs.
    bool m_loginRunning = false;
    bool m_logoutRunning = false;
    bool m_logoutRequested = false;
    bool m_loginCancelled = false;
    QString m_loginRefusal;
    LoginFailure m_loginFailure = LoginFailure::None;
};

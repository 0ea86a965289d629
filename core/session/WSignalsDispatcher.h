#pragma once

#include <IWSignalDispatcher.h>

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QVariantMap>
#include <QWaitCondition>

class WPluginManager;

// The program's event hub. An event emits its Qt signal for the program's
// own windows, then hands the same event by name to every plug-in
// (IWPlugin::signalReceived) in load order, on the thread that raised it.
// Requests reach the main window through Qt signals only.
class WSignalsDispatcher : public QObject, public IWSignalDispatcher
{
    Q_OBJECT

public:
    // Answers to acceptNewUser's question (the message-box values).
    static constexpr int AnswerYes = 0x4000;
    static constexpr int AnswerNo = 0x10000;

    explicit WSignalsDispatcher(WPluginManager *plugins, QObject *parent = nullptr);

    // Events
    void userStatusChanged(int status) override;
    void newContactAdded(const QString &username) override;
    void contactEdited(const QString &username) override;
    void contactDeleted(const QString &username) override;
    void personalDataChanged() override;
    // For the plug-ins only: no Qt signal.
    void userViewWidgetChanged(const QString &username, const QString &name);

    // Requests
    void requestLogout();
    void displayActivityNotification(const QString &text);
    void showMainWindow();
    void setStatusText(const QString &text);
    // The main server was lost (false) or reached again (true) during a session.
    void setServiceReachable(bool reachable);
    // A contact's activities changed (e.g. an unread message).
    void userActivityChanged(const QString &user);

    // Asks the local user whether to accept a stranger (signalAcceptNewUser)
    // and blocks, with the thread's events flowing, until setAcceptAnswer
    // answers. Questions are asked one at a time in the order they came, from
    // any thread, also nested on one thread. True only for AnswerYes.
    bool acceptNewUser(const QString &user);
    // The answer to the question shown last; ignored when none is open.
    void setAcceptAnswer(int answer);
    // At shutdown: the open question and those waiting are answered No, and
    // so is every later one, at once; nobody is left to answer them.
    void closeQuestions();
    // After closeQuestions: returns once every asker has taken its answer and
    // left, so that what the askers read can go.
    void waitForAskers();

    void broadcastToPlugins(const QString &name, const QVariantMap &params);

signals:
    void signalUserStatusChanged(int status);
    void signalNewContactAdded(const QString &username);
    void signalContactEdited(const QString &username);
    void signalContactDeleted(const QString &username);
    void signalPersonalDataChanged();
    void signalLogout();
    void signalDisplayActivityNotification(const QString &text);
    void signalShowMainWindow();
    void signalAcceptNewUser(const QString &user);
    void signalSetStatusText(const QString &text);
    void signalServiceReachable(bool reachable);
    void signalUserActivityChanged(const QString &user);

private:
    struct Question
    {
        quint64 ticket = 0;
        QString user;
    };

    WPluginManager *const m_plugins;

    // Accept questions: waiting in m_questions, at most one open, answers
    // kept by ticket until their asker takes them. Never held while emitting
    // or waiting.
    QMutex m_questionMutex;
    QQueue<Question> m_questions;
    quint64 m_lastTicket = 0;
    quint64 m_openTicket = 0; // 0: no question open
    QHash<quint64, int> m_answers;
    bool m_questionsClosed = false;
    // Threads inside acceptNewUser.
    int m_askers = 0;
    QWaitCondition m_askersLeft;
};

#include "WSignalsDispatcher.h"

#include "WPluginManager.h"

#include <IWPlugin.h>
#include <ThreadUtilities.h>

#include <QMutexLocker>

namespace {

// How often a waiting question looks for its answer or its turn.
constexpr int kAnswerPollMs = 50;

} // namespace

WSignalsDispatcher::WSignalsDispatcher(WPluginManager *plugins, QObject *parent)
    : QObject(parent), m_plugins(plugins)
{
}

void WSignalsDispatcher::userStatusChanged(int status)
{
    emit signalUserStatusChanged(status);
    broadcastToPlugins(QStringLiteral("signalUserStatusChanged"), {{QStringLiteral("status"), status}});
}

void WSignalsDispatcher::newContactAdded(const QString &username)
{
    emit signalNewContactAdded(username);
    broadcastToPlugins(QStringLiteral("signalNewContactAdded"), {{QStringLiteral("username"), username}});
}

void WSignalsDispatcher::contactEdited(const QString &username)
{
    emit signalContactEdited(username);
    broadcastToPlugins(QStringLiteral("signalContactEdited"), {{QStringLiteral("username"), username}});
}

void WSignalsDispatcher::contactDeleted(const QString &username)
{
    emit signalContactDeleted(username);
    broadcastToPlugins(QStringLiteral("signalContactDeleted"), {{QStringLiteral("username"), username}});
}

void WSignalsDispatcher::personalDataChanged()
{
    emit signalPersonalDataChanged();
    broadcastToPlugins(QStringLiteral("signalPersonalDataChanged"), QVariantMap());
}

void WSignalsDispatcher::userViewWidgetChanged(const QString &username, const QString &name)
{
    broadcastToPlugins(QStringLiteral("signaluserViewWidgetChanged"),
                       {{QStringLiteral("username"), username}, {QStringLiteral("name"), name}});
}

void WSignalsDispatcher::requestLogout()
{
    emit signalLogout();
}

void WSignalsDispatcher::displayActivityNotification(const QString &text)
{
    emit signalDisplayActivityNotification(text);
}

void WSignalsDispatcher::showMainWindow()
{
    emit signalShowMainWindow();
}

void WSignalsDispatcher::setServiceReachable(bool reachable)
{
    emit signalServiceReachable(reachable);
}

void WSignalsDispatcher::userActivityChanged(const QString &user)
{
    emit signalUserActivityChanged(user);
}

void WSignalsDispatcher::setStatusText(const QString &text)
{
    emit signalSetStatusText(text);
}

bool WSignalsDispatcher::acceptNewUser(const QString &user)
{
    quint64 ticket = 0;
    {
        QMutexLocker lock(&m_questionMutex);
        if (m_questionsClosed)
            return false;
        ticket = ++m_lastTicket;
        m_questions.enqueue({ticket, user});
        ++m_askers;
    }
    struct Leaving
    {
        WSignalsDispatcher &dispatcher;
        ~Leaving()
        {
            QMutexLocker lock(&dispatcher.m_questionMutex);
            if (--dispatcher.m_askers == 0)
                dispatcher.m_askersLeft.wakeAll();
        }
    } leaving{*this};
    // A ticket queue instead of a lock held for the whole question: a second
    // question asked on the thread where the first one waits (from inside its
    // event loop) waits its turn there instead of dead-locking. A question's
    // turn comes when the one before it is answered, not when its asker
    // returns, so the inner question never waits for the outer one.
    for (;;) {
        bool ask = false;
        {
            QMutexLocker lock(&m_questionMutex);
            const auto answer = m_answers.constFind(ticket);
            if (answer != m_answers.constEnd()) {
                const int value = *answer;
                m_answers.erase(answer);
                return value == AnswerYes;
            }
            if (m_openTicket == 0 && m_questions.head().ticket == ticket) {
                m_questions.dequeue();
                m_openTicket = ticket;
                ask = true;
            }
        }
        if (ask) {
            // On the GUI thread the answer may be given before emit returns.
            emit signalAcceptNewUser(user);
            continue;
        }
        waitWithEvents(kAnswerPollMs);
    }
}

void WSignalsDispatcher::setAcceptAnswer(int answer)
{
    QMutexLocker lock(&m_questionMutex);
    if (m_openTicket == 0)
        return;
    m_answers.insert(m_openTicket, answer);
    m_openTicket = 0;
}

void WSignalsDispatcher::closeQuestions()
{
    QMutexLocker lock(&m_questionMutex);
    m_questionsClosed = true;
    if (m_openTicket != 0)
        m_answers.insert(m_openTicket, AnswerNo);
    m_openTicket = 0;
    while (!m_questions.isEmpty())
        m_answers.insert(m_questions.dequeue().ticket, AnswerNo);
}

void WSignalsDispatcher::waitForAskers()
{
    QMutexLocker lock(&m_questionMutex);
    // Each asker sees its answer at its next poll.
    while (m_askers > 0)
        m_askersLeft.wait(&m_questionMutex);
}

void WSignalsDispatcher::broadcastToPlugins(const QString &name, const QVariantMap &params)
{
    if (!m_plugins)
        return;
    for (const PluginRecord &record : m_plugins->plugins()) {
        if (IWPlugin *plugin = qobject_cast<IWPlugin *>(record.instance))
            plugin->signalReceived(name, params);
    }
}

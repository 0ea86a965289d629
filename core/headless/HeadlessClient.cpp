#include "HeadlessClient.h"

#include "MainClass.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

HeadlessClient::HeadlessClient(MainClass *session, const QString &user, const QString &password, QTextStream &out,
                               QObject *parent)
    : QObject(parent)
    , m_session(session)
    , m_user(user)
    , m_password(password)
    , m_out(out)
{
    WSignalsDispatcher *dispatcher = session->signalsDispatcher();
    connect(dispatcher, &WSignalsDispatcher::signalSetStatusText, this, &HeadlessClient::slotStatusText);
    connect(dispatcher, &WSignalsDispatcher::signalAcceptNewUser, this, &HeadlessClient::slotAcceptNewUser);
    // The server ended the session (the account logged in elsewhere): with
    // no login form to return to, the program ends.
    connect(dispatcher, &WSignalsDispatcher::signalLogout, this, &HeadlessClient::slotStop);
}

void HeadlessClient::start()
{
    QTimer::singleShot(0, this, &HeadlessClient::slotLogin);
}

void HeadlessClient::slotLogin()
{
    m_loggingIn = true;
    const bool loggedIn = m_session->login(m_user, m_password);
    m_loggingIn = false;
    if (!loggedIn) {
        report(QStringLiteral("login failed"));
        finish(1);
        return;
    }
    report(QStringLiteral("logged in as %1").arg(m_user));
    // A stop asked for while the login's waits let events through.
    if (m_stopRequested)
        slotStop();
}

void HeadlessClient::slotStop()
{
    if (m_finished)
        return;
    if (m_loggingIn) {
        m_stopRequested = true;
        return;
    }
    if (m_session->isLoggedIn()) {
        m_session->logout();
        report(QStringLiteral("logged out"));
    }
    finish(0);
}

void HeadlessClient::slotStatusText(const QString &text)
{
    report(QStringLiteral("status: %1").arg(text));
}

void HeadlessClient::slotAcceptNewUser(const QString &user)
{
    // Nobody is there to vouch for a stranger.
    report(QStringLiteral("stranger refused: %1").arg(user));
    m_session->signalsDispatcher()->setAcceptAnswer(WSignalsDispatcher::AnswerNo);
}

void HeadlessClient::report(const QString &line)
{
    m_out << line << Qt::endl;
}

void HeadlessClient::finish(int exitCode)
{
    m_finished = true;
    QCoreApplication::exit(exitCode);
}

#pragma once

#include <QObject>
#include <QString>

class MainClass;
class QTextStream;

// One session of the client without windows: logs in once the event loop
// runs, reports on standard output what a user would see in the main window
// (one line per event), answers the questions a window would ask, and logs
// out before the program ends, whether a termination signal or the server's
// logout push ends it.
class HeadlessClient : public QObject
{
    Q_OBJECT

public:
    HeadlessClient(MainClass *session, const QString &user, const QString &password, QTextStream &out,
                   QObject *parent = nullptr);

    // Logs in as soon as the event loop runs.
    void start();

public slots:
    // Logs out and ends the event loop; during a login, once the login returned.
    void slotStop();

private slots:
    void slotLogin();
    void slotStatusText(const QString &text);
    void slotAcceptNewUser(const QString &user);

private:
    void report(const QString &line);
    void finish(int exitCode);

    MainClass *const m_session;
    const QString m_user;
    const QString m_password;
    QTextStream &m_out;
    bool m_loggingIn = false;
    bool m_stopRequested = false;
    bool m_finished = false;
};

#pragma once

#include <QFuture>
#include <QObject>

class IWHost;
class QLocalServer;
class QLocalSocket;

// Lets a test drive the windows of a program it started, the way a user
// would: one command per line on the local socket "<temp>/windowprobe", one
// answer line each. Everything runs on the GUI thread, through the program's
// own actions, buttons and lists (found by object name).
//
//   rows                       the contact list's sort texts, comma-separated
//   add NAME                   Add Contact: searches NAME, adds that result
//   ask NAME                   asks the host (from a worker) to accept NAME
//   answer yes|no              answers the open question box
//   accepted                   what the last ask returned: 1, 0 or pending
//   action OBJECTNAME          triggers that action
//   avatar PATH                Edit profile: picks PATH as the avatar, OK
//   show NAME                  activates NAME's row (the profile view)
//   profile                    the profile view's full name and avatar checksum
//   delete NAME                deletes that contact, answering OK
//   and the chat page's commands of MessagingDriver.h and the widget
//   commands of WidgetCommands.h
class WindowDriver : public QObject
{
    Q_OBJECT

public:
    explicit WindowDriver(IWHost *host, QObject *parent = nullptr);

private:
    void readCommands(QLocalSocket *socket);
    QString run(const QString &command, const QString &argument);

    IWHost *const m_host;
    QLocalServer *m_server;
    QFuture<bool> m_question;
};

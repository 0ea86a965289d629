#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// The answering side of the single-instance check: a local server that tells
// a newly started copy of the program that this copy runs, and announces the
// request so that the main window can show itself.
//
// Each connection is served without blocking the thread: the request may
// arrive in pieces, anything that is not the request is dropped unanswered,
// and a connection still open after ConnectionTimeoutMs is closed.
class WakeUpServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int ConnectionTimeoutMs = 30000;

    explicit WakeUpServer(QObject *parent = nullptr);
    ~WakeUpServer() override;

    // Removes a socket file that a crashed copy left behind, then listens.
    // Call it only after SingleInstanceGuard found no running copy: the file
    // of a live copy would be taken over too. False when the name cannot be
    // taken; the program then works without being woken.
    bool listen(const QString &serverName);
    bool isListening() const;

signals:
    void signalWakeUp();

private slots:
    void slotNewConnection();

private:
    void readRequest(QLocalSocket *socket);

    QLocalServer *m_server;
};

#pragma once

#include <QTcpServer>

class SessionState;

// The listening port for links that peers open: "servers/tcpport" of the
// logged-in account (1500 when 0 or absent), or any free port when that one
// is taken (another program, or another client of this machine, holds it).
// The port in use is kept in the session, whose host information announces
// it. Accepted sockets are handed on as bare descriptors; the link manager
// makes links of them.
class WTcpServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit WTcpServer(SessionState *session, QObject *parent = nullptr);

    // Listens on every IPv4 address at the account's port, else at a free
    // one (with a warning); false when neither worked or nobody is logged in.
    bool startListening();
    void stopListening();

signals:
    void signalNewConnectionArrived(int socketDescriptor);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    SessionState *const m_session;
};

#pragma once

#include <QTcpServer>

struct ServerContext;

// Accepts links to the main server: each accepted socket becomes a private
// TcpConnection holding the server's key pair, served by its own session.
class MainServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit MainServer(ServerContext &context, QObject *parent = nullptr);
    ~MainServer() override;

    int sessionCount() const;

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    ServerContext &m_context;
};

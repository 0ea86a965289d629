#pragma once

#include <QTcpServer>

#include <memory>

class PendingLinkBudget;
struct ServerContext;

// Accepts links to the main server: each accepted socket becomes a private
// TcpConnection holding the server's key pair, served by its own session.
// Until a link logged in (or opened or joined a tunnel) it is held to a
// pending-link budget; proving a name alone does not lift it.
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
    const std::shared_ptr<PendingLinkBudget> m_pendingBudget;
};

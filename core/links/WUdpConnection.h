#pragma once

#include "IWConnection.h"
#include "LinkState.h"

#include <UdpConnection.h>

// A user link over UDP, carried by the client's UdpTower.
class WUdpConnection : public UdpConnection, public IWConnection
{
    Q_OBJECT

public:
    explicit WUdpConnection(QSharedPointer<UdpTower> tower, QObject *parent = nullptr);

    QString getUser() const override { return m_state.user(); }
    void setUser(const QString &user) override { m_state.setUser(user); }
    int getConnectionType() const override { return m_state.connectionType(); }
    void setConnectionType(int type) override { m_state.setConnectionType(type); }
    bool disconnectFromHost() override;
    bool pushCommand(const KvrConfig &record) override;
    bool waitForSendRoom(int timeoutMs) override { return UdpConnection::waitForSendRoom(timeoutMs); }
    KvrConfig getCommand(const QString &id, int timeoutMs) override;
    KvrConfig sendCommand(const KvrConfig &record, int timeoutMs) override;
    int getIdleSeconds() const override { return m_state.idleSeconds(); }
    bool isConnected() const override;
    bool isClosed() const override { return m_state.isClosed(); }
    void setClosed() override { m_state.setClosed(); }
    void setAuthString(const QByteArray &challenge) override { m_state.setAuthString(challenge); }
    QByteArray getAuthString() const override { return m_state.authString(); }
    bool isAuthenticated() const override { return m_state.isAuthenticated(); }
    void setAuthenticated(bool authenticated) override { m_state.setAuthenticated(authenticated); }
    // UDP links are never accepted from strangers: the server announces them.
    bool admitProvenPeer(const QString &, bool) override { return true; }
    void createConnectionID() override { m_state.createConnectionID(); }
    QString getConnectionID() const override { return m_state.connectionID(); }

    // Takes records as they are announced (LinkState::setArrivalRoute).
    void setArrivalRoute(LinkState::ArrivalRoute route) { m_state.setArrivalRoute(std::move(route)); }

signals:
    // Every announced record the arrival route left: the link's filter.
    void signalCommandToFilter(QString id, QString command);

public slots:
    void slotConnectionEnded();

private:
    LinkState m_state;
};

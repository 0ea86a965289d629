#include "TransportBaseline.h"

#include "WCryptography.h"

#include <QTcpServer>

#include <thread>

namespace {

// Keeps the accepted socket's descriptor instead of wrapping it.
class DescriptorServer : public QTcpServer
{
public:
    qintptr descriptor = -1;

protected:
    void incomingConnection(qintptr socketDescriptor) override { descriptor = socketDescriptor; }
};

} // namespace

bool TransportBaseline::start(int waitMs)
{
    const WKeyPair keys = WCryptography::GenerateKeyPair();
    DescriptorServer listener;
    if (!listener.listen(QHostAddress::LocalHost, 0))
        return false;
    m_far.setKeyPair(keys.publicKey, keys.privateKey);
    QObject::connect(&m_far, &TcpConnection::signalCommandReceived, &m_far,
                     [this](const QString &id, const QString &) { m_far.pushCommand(m_far.getCommand(id, 0)); },
                     Qt::DirectConnection);

    // connectToHost() blocks until the key exchange is done, which needs the
    // far side adopted here meanwhile.
    std::thread connecting([&] {
        m_near.connectToHost(QStringLiteral("127.0.0.1"), QString::number(listener.serverPort()), keys.publicKey,
                             waitMs);
    });
    const bool accepted = listener.waitForNewConnection(waitMs) && m_far.setSocketDesctiptor(listener.descriptor);
    connecting.join();
    return accepted && m_near.isConnected();
}

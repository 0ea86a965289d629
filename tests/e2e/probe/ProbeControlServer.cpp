#include "ProbeControlServer.h"

#include "ProbeProtocol.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtDebug>

#include <memory>

namespace {

bool writePortFile(const QString &path, quint16 port)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(QByteArray::number(port)) > 0 && file.commit();
}

} // namespace

ProbeControlServer::ProbeControlServer(Handler handler, const QString &portFile, QObject *parent)
    : QThread(parent)
    , m_handler(std::move(handler))
    , m_portFile(portFile)
{
}

void ProbeControlServer::run()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0) || !writePortFile(m_portFile, server.serverPort())) {
        qWarning() << "probe: no control channel";
        return;
    }
    connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                buffer->append(socket->readAll());
                KvrConfig request;
                for (;;) {
                    const ProbeProtocol::FrameState state = ProbeProtocol::takeFrame(*buffer, &request);
                    if (state == ProbeProtocol::FrameState::Incomplete)
                        return;
                    if (state == ProbeProtocol::FrameState::Damaged) {
                        socket->abort();
                        return;
                    }
                    socket->write(ProbeProtocol::frame(m_handler(request)));
                }
            });
        }
    });
    exec();
}

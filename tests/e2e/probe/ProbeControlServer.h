#pragma once

#include <KvrConfig.h>

#include <QString>
#include <QThread>

#include <functional>

// The probe's end of the control channel (ProbeProtocol.h): a TCP server on
// 127.0.0.1 with a port of its own choosing, run on this thread, so a request
// that waits never holds up the client's GUI thread. Requests of one
// connection are answered one after another, in order.
class ProbeControlServer : public QThread
{
    Q_OBJECT

public:
    using Handler = std::function<KvrConfig(const KvrConfig &request)>;

    // Once listening, the port is written (atomically) to portFile.
    ProbeControlServer(Handler handler, const QString &portFile, QObject *parent = nullptr);

protected:
    void run() override;

private:
    const Handler m_handler;
    const QString m_portFile;
};

#pragma once

#include "ServerOptions.h"

#include <QObject>

#include <memory>

class QTextStream;

// The running service: the store, the main server on TCP, the UDP
// rendezvous and the web sites, started together and stopped together.
class ServerApplication : public QObject
{
    Q_OBJECT
public:
    // Status lines ("listening tcp 127.0.0.1:2004", the demo users) go to out.
    ServerApplication(const ServerOptions &options, QTextStream &out, QObject *parent = nullptr);
    ~ServerApplication() override;

    bool start(QString *error);
    void stop();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

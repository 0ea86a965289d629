#pragma once

#include "KvrConfig.h"
#include "basislib_global.h"

#include <QObject>
#include <QString>

#include <memory>

// A private record link over TCP. The connecting side is given the far
// side's public key and seals a fresh session key to it; the accepting side
// holds its own key pair. Every frame (4-byte big-endian length + record
// binary form) is then protected with AES-256-GCM under counter nonces; a
// frame that fails to open, a zero or over-cap length, or a truncated frame
// closes the link.
//
// Sockets run on the transports' own I/O thread, so every call is safe from
// any thread and blocking waits never depend on the caller's event loop (on
// a thread with an event loop, waits keep its events flowing).
//
// Arrived records go to an inbox. A record awaited by sendCommand() goes to
// its waiter; every other record is announced once with
// signalCommandReceived(ID, command) and stays until taken by getCommand()
// or until it is older than the inbox age limit.
class BASISLIB_EXPORT TcpConnection : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxFrameSize = 16 * 1024 * 1024;
    static constexpr int DefaultConnectTimeoutMs = 10000;

    explicit TcpConnection(QObject *parent = nullptr);
    ~TcpConnection() override;

    // Connects and performs the key exchange with the far side's public key.
    bool connectToHost(const QString &address, const QString &port, const QString &publicKey,
                       int timeoutMs = DefaultConnectTimeoutMs);
    // The accepting side's own key pair; set before setSocketDesctiptor().
    void setKeyPair(const QString &publicKey, const QString &privateKey);
    // Adopts an accepted native socket (the descriptor is taken over).
    bool setSocketDesctiptor(qintptr descriptor);
    // Idempotent; a connected link then announces signalConnectionEnded() once.
    void disconnectFromHost();
    bool isConnected() const;

    QString peerAddress() const;
    quint16 peerPort() const;

    // Queues the record for sending; false when the link is not connected.
    bool pushCommand(const KvrConfig &record);
    // Takes the arrived record with that "ID", waiting at most timeoutMs;
    // an empty record when none came.
    KvrConfig getCommand(const QString &id, int timeoutMs);
    // Sends and waits at most timeoutMs for the record with the same "ID".
    KvrConfig sendCommand(const KvrConfig &record, int timeoutMs);

    // How long an unclaimed record stays in the inbox (default 120 s).
    void setInboxMaxAge(int ms);

signals:
    void signalCommandReceived(QString id, QString command);
    void signalConnectionEnded();

private:
    class Private;
    std::shared_ptr<Private> d;
};

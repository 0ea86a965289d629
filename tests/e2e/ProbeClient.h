#pragma once

// The test's end of a client's control channel (probe/ProbeProtocol.h): each
// call sends one request to the probe plug-in inside the client and blocks
// until its reply (no event loop needed). Every failure (no connection, no
// reply in time, a refused request) gives false, an empty record or "".

#include "ProbeProtocol.h"

#include <KvrConfig.h>

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>
#include <QTcpSocket>

#include <cstring>
#include <vector>

class ProbeClient
{
public:
    // Longest wait for a record to cross between two clients.
    static constexpr int RoadTimeoutMs = 30000;

    bool connectTo(quint16 port)
    {
        m_socket.abort();
        m_buffer.clear();
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        return m_socket.waitForConnected(10000);
    }
    void disconnect() { m_socket.abort(); }

    bool send(const QString &user, const KvrConfig &record, bool serverConnection = false,
              const QString &connectionId = QString())
    {
        return call(routed(ProbeProtocol::OpSend, user, record, serverConnection, connectionId)).checkResult();
    }
    // Sends the record and returns the record that came back with its "ID".
    KvrConfig request(const QString &user, const KvrConfig &record, bool serverConnection = false,
                      const QString &connectionId = QString(), int timeoutMs = RoadTimeoutMs)
    {
        KvrConfig asking = routed(ProbeProtocol::OpRequest, user, record, serverConnection, connectionId);
        asking.SetValue(ProbeProtocol::KeyTimeout, timeoutMs);
        return innerRecord(call(asking, timeoutMs));
    }
    bool buffer(const QString &user, const KvrConfig &record)
    {
        return call(routed(ProbeProtocol::OpBuffer, user, record)).checkResult();
    }
    bool queue(const QString &user, const KvrConfig &record)
    {
        return call(routed(ProbeProtocol::OpQueue, user, record)).checkResult();
    }
    // The record with that "ID" the probe claimed (named "probe:::..." or a
    // reply), waiting up to timeoutMs for it.
    KvrConfig waitFor(const QString &id, int timeoutMs = RoadTimeoutMs)
    {
        KvrConfig asking = operation(ProbeProtocol::OpWait);
        asking.sv(ProbeProtocol::KeyId, id);
        asking.SetValue(ProbeProtocol::KeyTimeout, timeoutMs);
        return innerRecord(call(asking, timeoutMs));
    }
    // A new link to user (IWHost::openUserConnection); "" when none was made.
    QString open(const QString &user, bool serverConnection)
    {
        KvrConfig asking = operation(ProbeProtocol::OpOpen);
        asking.sv(ProbeProtocol::KeyUser, user);
        asking.SetValue(ProbeProtocol::KeyServer, serverConnection);
        return call(asking, RoadTimeoutMs).gv(ProbeProtocol::KeyConnectionId);
    }
    // IWHost::isConnectionActive of a link the client has.
    bool isActive(const QString &connectionId)
    {
        KvrConfig asking = operation(ProbeProtocol::OpActive);
        asking.sv(ProbeProtocol::KeyConnectionId, connectionId);
        return call(asking).checkResult();
    }
    // Round trips of copies of record (each with a fresh "ID") to user, from
    // requesters threads at once, count per thread: the nanoseconds of each,
    // and of the whole run in *elapsedNs. Nothing when a reply did not come.
    std::vector<qint64> load(const QString &user, const KvrConfig &record, int count, int requesters,
                             qint64 *elapsedNs, int timeoutMs = RoadTimeoutMs)
    {
        KvrConfig asking = routed(ProbeProtocol::OpLoad, user, record);
        asking.SetValue(ProbeProtocol::KeyCount, count);
        asking.SetValue(ProbeProtocol::KeyRequesters, requesters);
        asking.SetValue(ProbeProtocol::KeyTimeout, timeoutMs);
        const KvrConfig reply = call(asking, int(qMin<qint64>(qint64(timeoutMs) * count, 3600000)));
        if (!reply.checkResult())
            return {};
        const QByteArray bytes = reply.GetValue(ProbeProtocol::KeySamples);
        std::vector<qint64> samples(std::size_t(bytes.size()) / sizeof(qint64));
        std::memcpy(samples.data(), bytes.constData(), samples.size() * sizeof(qint64));
        *elapsedNs = reply.gv(ProbeProtocol::KeyElapsed).toLongLong();
        return samples;
    }
    // Runs the invokable operation of the client's plug-in named plugin with
    // argument and returns what it returned; *invoked (when given) tells
    // whether there was such a plug-in and operation.
    KvrConfig invoke(const QString &plugin, const QString &operationName, const KvrConfig &argument,
                     bool *invoked = nullptr, int timeoutMs = RoadTimeoutMs)
    {
        KvrConfig asking = operation(ProbeProtocol::OpInvoke);
        asking.sv(ProbeProtocol::KeyPlugin, plugin);
        asking.sv(ProbeProtocol::KeyOperation, operationName);
        asking.SetValue(ProbeProtocol::KeyRecord, argument.SerializeConfigBinary());
        const KvrConfig reply = call(asking, timeoutMs);
        if (invoked)
            *invoked = reply.checkResult();
        KvrConfig result;
        result.DeserializeConfigBinary(reply.GetValue(ProbeProtocol::KeyRecord));
        return result;
    }
    bool setStatus(int status)
    {
        KvrConfig asking = operation(ProbeProtocol::OpStatus);
        asking.SetValue(ProbeProtocol::KeyStatus, status);
        return call(asking).checkResult();
    }
    // A value of the client's contacts tree ("alice/status").
    QByteArray contactValue(const QString &path)
    {
        KvrConfig asking = operation(ProbeProtocol::OpContact);
        asking.sv(ProbeProtocol::KeyPath, path);
        return call(asking).GetValue(ProbeProtocol::KeyValue);
    }

    // What the plug-in saw, in order: records with "kind" ("command",
    // "signal", "call"), "name", "id" and "param:<name>" values.
    QList<KvrConfig> events()
    {
        const KvrConfig reply = call(operation(ProbeProtocol::OpEvents));
        QList<KvrConfig> events;
        for (int i = 0;; ++i) {
            const QString key = ProbeProtocol::EventKeyPrefix + QString::number(i);
            if (!reply.CheckKeyExist(key))
                return events;
            KvrConfig event;
            event.DeserializeConfigBinary(reply.GetValue(key));
            events << event;
        }
    }
    bool clearEvents() { return call(operation(ProbeProtocol::OpClear)).checkResult(); }

    // The longest stall of the client's GUI thread in milliseconds since the
    // last ask; the first ask starts measuring and gives -1 (as does a
    // failed ask).
    double longestGuiStallMs()
    {
        const KvrConfig reply = call(operation(ProbeProtocol::OpStall));
        bool ok = false;
        const double ms = reply.gv(ProbeProtocol::KeyValue).toDouble(&ok);
        return reply.checkResult() && ok ? ms : -1;
    }

    // How often commandReceived was called for the record with that "ID".
    int commandsSeen(const QString &id)
    {
        int seen = 0;
        for (const KvrConfig &event : events())
            seen += event.gv(ProbeProtocol::KeyKind) == QLatin1String("command")
                && event.gv(ProbeProtocol::KeyId) == id;
        return seen;
    }
    // How often signalReceived was called with that name and parameter.
    int signalsSeen(const QString &name, const QString &param, const QString &value)
    {
        int seen = 0;
        for (const KvrConfig &event : events()) {
            seen += event.gv(ProbeProtocol::KeyKind) == QLatin1String("signal")
                && event.gv(ProbeProtocol::KeyName) == name
                && event.gv(ProbeProtocol::ParamKeyPrefix + param) == value;
        }
        return seen;
    }

private:
    static KvrConfig operation(const QString &op)
    {
        KvrConfig asking;
        asking.sv(ProbeProtocol::KeyOp, op);
        return asking;
    }
    static KvrConfig routed(const QString &op, const QString &user, const KvrConfig &record,
                            bool serverConnection = false, const QString &connectionId = QString())
    {
        KvrConfig asking = operation(op);
        asking.sv(ProbeProtocol::KeyUser, user);
        asking.SetValue(ProbeProtocol::KeyServer, serverConnection);
        asking.sv(ProbeProtocol::KeyConnectionId, connectionId);
        asking.SetValue(ProbeProtocol::KeyRecord, record.SerializeConfigBinary());
        return asking;
    }
    static KvrConfig innerRecord(const KvrConfig &reply)
    {
        KvrConfig record;
        if (reply.checkResult())
            record.DeserializeConfigBinary(reply.GetValue(ProbeProtocol::KeyRecord));
        return record;
    }

    // The probe's reply; empty when none came within the request's own wait
    // and a margin for the host calls around it.
    KvrConfig call(const KvrConfig &request, int waitMs = 0)
    {
        if (m_socket.state() != QAbstractSocket::ConnectedState)
            return KvrConfig();
        m_socket.write(ProbeProtocol::frame(request));
        const QDeadlineTimer deadline(waitMs + 60000);
        KvrConfig reply;
        for (;;) {
            switch (ProbeProtocol::takeFrame(m_buffer, &reply)) {
            case ProbeProtocol::FrameState::Complete:
                return reply;
            case ProbeProtocol::FrameState::Damaged:
                m_socket.abort();
                return KvrConfig();
            case ProbeProtocol::FrameState::Incomplete:
                break;
            }
            if (deadline.hasExpired() || !m_socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
                // A late reply would answer the next request: start afresh.
                m_socket.abort();
                return KvrConfig();
            }
            m_buffer.append(m_socket.readAll());
        }
    }

    QTcpSocket m_socket;
    QByteArray m_buffer;
};

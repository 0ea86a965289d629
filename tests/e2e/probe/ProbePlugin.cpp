#include "ProbePlugin.h"

#include "ProbeProtocol.h"

#include <IWHost.h>
#include <MainClass.h>
#include <PSettings.h>
#include <WCommonOperations.h>
#include <WivoraAccount.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMetaObject>
#include <QMutexLocker>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>
#include <QThread>

#include <thread>
#include <vector>

namespace P = ProbeProtocol;

namespace {

// No request waits longer, whatever it asks for.
constexpr int MaxWaitMs = 300000;

int timeoutOf(const KvrConfig &request)
{
    return qBound(0, request.gv(P::KeyTimeout).toInt(), MaxWaitMs);
}

// A positive number of milliseconds from the environment, or 0.
int millisecondsFromEnvironment(const char *variable)
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue(variable, &ok);
    return ok && ms > 0 ? ms : 0;
}

KvrConfig innerRecord(const KvrConfig &request)
{
    KvrConfig record;
    record.DeserializeConfigBinary(request.GetValue(P::KeyRecord));
    return record;
}

} // namespace

ProbePlugin::ProbePlugin() = default;

QImage ProbePlugin::getPluginIcon()
{
    QImage icon(16, 16, QImage::Format_ARGB32);
    icon.fill(Qt::darkMagenta);
    return icon;
}

bool ProbePlugin::setHostInterface(IWHost *host)
{
    if (m_host.exchange(host))
        return true; // the control channel runs already
    // Before the login, so the session's first waits are scaled too.
    applyTestWaits();
    m_control = new ProbeControlServer([this](const KvrConfig &request) { return handleControlRequest(request); },
                                       PSettings::GetStoragePath(P::PortFileName), this);
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [this] { shutDown(); },
            Qt::DirectConnection);
    m_control->start();
    return true;
}

void ProbePlugin::applyTestWaits()
{
    auto *session = dynamic_cast<MainClass *>(m_host.load());
    if (!session)
        return;
    if (const int ackTimeoutMs = millisecondsFromEnvironment(P::AckTimeoutVariable))
        session->bufferedCommands()->setAckTimeoutMs(ackTimeoutMs);
    if (const int peerCheckMs = millisecondsFromEnvironment(P::PeerCheckVariable)) {
        session->pingThread()->setPeerCheckIntervalMs(peerCheckMs);
        // A peer just resumed, or slowed by a sanitizer on a busy machine,
        // must not count as gone for answering one interval late.
        session->connections()->setPeerAnswerTimeoutMs(P::PeerAnswerIntervals * peerCheckMs);
    }
}

void ProbePlugin::shutDown()
{
    {
        QMutexLocker lock(&m_mutex);
        m_closing = true;
        m_claimedArrived.wakeAll();
    }
    m_control->quit();
    m_control->wait();
}

void ProbePlugin::initPlugin()
{
    remember(QStringLiteral("call"), QStringLiteral("initPlugin"), QString());
    holdStartWhileAsked();
}

void ProbePlugin::holdStartWhileAsked()
{
    const QString releaseFile = qEnvironmentVariable(P::HoldStartVariable);
    if (releaseFile.isEmpty() || QFile::exists(releaseFile))
        return;
    // The probe is started first: the plug-ins after it are not yet, while
    // the session's links and events run on as in a slow start.
    QTextStream(stdout) << P::HoldingStartLine << Qt::endl;
    while (!QFile::exists(releaseFile)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
}

void ProbePlugin::holdRecordWhileAsked(const QString &command)
{
    const QString releaseFile = qEnvironmentVariable(P::HoldRecordsVariable);
    if (releaseFile.isEmpty() || QFile::exists(releaseFile))
        return;
    // On the host's handler thread: only this record waits.
    QTextStream(stdout) << P::HoldingRecordLine << ' ' << command << Qt::endl;
    while (!QFile::exists(releaseFile))
        QThread::msleep(20);
}

void ProbePlugin::closePlugin()
{
    remember(QStringLiteral("call"), QStringLiteral("closePlugin"), QString());
}

void ProbePlugin::commandReceived(const QString &id, const QString &command)
{
    remember(QStringLiteral("command"), command, id);
    IWHost *const host = m_host.load();
    if (!host)
        return;
    // Our own records, and the replies to the records we sent; another
    // plug-in's replies are left to it.
    QMutexLocker lock(&m_mutex);
    const bool ours = command.startsWith(P::Prefix)
        || (command.endsWith(P::ReplySuffix) && m_awaitedReplies.contains(id));
    if (!ours) {
        lock.unlock();
        holdRecordWhileAsked(command);
        return;
    }
    const KvrConfig record = host->takeInputCommand(id);
    if (record.isEmpty())
        return;
    m_awaitedReplies.remove(id);
    m_claimed.insert(id, record);
    m_claimedArrived.wakeAll();
}

void ProbePlugin::signalReceived(const QString &name, const QMap<QString, QVariant> &params)
{
    remember(QStringLiteral("signal"), name, QString(), params);
}

void ProbePlugin::remember(const QString &kind, const QString &name, const QString &id, const QVariantMap &params)
{
    KvrConfig event;
    event.sv(P::KeyKind, kind);
    event.sv(P::KeyName, name);
    event.sv(P::KeyId, id);
    for (auto param = params.cbegin(); param != params.cend(); ++param)
        event.sv(P::ParamKeyPrefix + param.key(), param.value().toString());
    QMutexLocker lock(&m_mutex);
    m_events.append(event);
}

KvrConfig ProbePlugin::waitForRecord(const QString &id, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&m_mutex);
    while (!m_claimed.contains(id) && !m_closing) {
        if (!m_claimedArrived.wait(&m_mutex, deadline))
            break;
    }
    return m_claimed.take(id);
}

KvrConfig ProbePlugin::handleControlRequest(const KvrConfig &request)
{
    KvrConfig reply;
    reply.SetResult(false);
    IWHost *const host = m_host.load();
    if (!host)
        return reply;

    const QString op = request.gv(P::KeyOp);
    const QString user = request.gv(P::KeyUser);
    const bool server = request.GetValue(P::KeyServer) == "1";
    bool done = true;
    if (op == P::OpSend) {
        const KvrConfig record = innerRecord(request);
        {
            QMutexLocker lock(&m_mutex);
            m_awaitedReplies.insert(record.GetID());
        }
        host->sendCommand(record, user, server, request.gv(P::KeyConnectionId));
    } else if (op == P::OpRequest) {
        // The reply stays in the host's store until this wait takes it.
        const KvrConfig record = innerRecord(request);
        host->sendCommand(record, user, server, request.gv(P::KeyConnectionId));
        const KvrConfig answer = host->waitInputCommand(record.GetID(), timeoutOf(request));
        reply.SetValue(P::KeyRecord, answer.SerializeConfigBinary());
        done = !answer.isEmpty();
    } else if (op == P::OpBuffer) {
        host->bufferCommand(user, innerRecord(request));
    } else if (op == P::OpQueue) {
        done = host->queueExchangeCommand(user, innerRecord(request));
    } else if (op == P::OpWait) {
        const KvrConfig found = waitForRecord(request.gv(P::KeyId), timeoutOf(request));
        reply.SetValue(P::KeyRecord, found.SerializeConfigBinary());
        done = !found.isEmpty();
    } else if (op == P::OpEvents) {
        QMutexLocker lock(&m_mutex);
        for (int i = 0; i < m_events.size(); ++i)
            reply.SetValue(P::EventKeyPrefix + QString::number(i), m_events.at(i).SerializeConfigBinary());
    } else if (op == P::OpClear) {
        QMutexLocker lock(&m_mutex);
        m_events.clear();
    } else if (op == P::OpOpen) {
        const QString connectionId = host->openUserConnection(user, server);
        reply.sv(P::KeyConnectionId, connectionId);
        done = !connectionId.isEmpty();
    } else if (op == P::OpStatus) {
        // What the status menu of the main window does.
        WCommonOperations::setUserStatus(request.gv(P::KeyStatus).toInt());
    } else if (op == P::OpContact) {
        reply.SetValue(P::KeyValue, host->getAccount()->contactsData->getSetting(request.gv(P::KeyPath)));
    } else if (op == P::OpActive) {
        done = host->isConnectionActive(request.gv(P::KeyConnectionId));
    } else if (op == P::OpStall) {
        reply.sv(P::KeyValue, QString::number(m_stall.takeLongestMs()));
    } else if (op == P::OpLoad) {
        return runRequests(request);
    } else if (op == P::OpInvoke) {
        KvrConfig result;
        done = invokePluginOperation(request.gv(P::KeyPlugin), request.gv(P::KeyOperation), innerRecord(request),
                                     &result);
        reply.SetValue(P::KeyRecord, result.SerializeConfigBinary());
    } else {
        done = false;
    }
    reply.SetResult(done);
    return reply;
}

KvrConfig ProbePlugin::runRequests(const KvrConfig &request)
{
    KvrConfig reply;
    reply.SetResult(false);
    IWHost *const host = m_host.load();
    const KvrConfig pattern = innerRecord(request);
    const QString user = request.gv(P::KeyUser);
    const int count = qBound(1, request.gv(P::KeyCount).toInt(), 1000000);
    const int requesters = qBound(1, request.gv(P::KeyRequesters).toInt(), 256);
    const int timeoutMs = timeoutOf(request);
    if (!host || pattern.isEmpty())
        return reply;

    // Each requester writes only its own slice of the samples.
    std::vector<qint64> samples(std::size_t(count) * std::size_t(requesters), -1);
    QElapsedTimer all;
    all.start();
    std::vector<std::thread> threads;
    for (int r = 0; r < requesters; ++r) {
        threads.emplace_back([&, r] {
            QElapsedTimer one;
            for (int i = 0; i < count; ++i) {
                KvrConfig record = pattern;
                const QString id = record.SetID();
                one.start();
                host->sendCommand(record, user, false, QString());
                if (host->waitInputCommand(id, timeoutMs).isEmpty())
                    return;
                samples[std::size_t(r) * std::size_t(count) + std::size_t(i)] = one.nsecsElapsed();
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    const qint64 elapsed = all.nsecsElapsed();
    for (const qint64 sample : samples) {
        if (sample < 0)
            return reply; // a reply that never came
    }
    reply.SetValue(P::KeySamples, QByteArray(reinterpret_cast<const char *>(samples.data()),
                                             int(samples.size() * sizeof(qint64))));
    reply.SetValue(P::KeyElapsed, QByteArray::number(elapsed));
    reply.SetResult(true);
    return reply;
}

bool ProbePlugin::invokePluginOperation(const QString &pluginName, const QString &operation,
                                        const KvrConfig &argument, KvrConfig *result)
{
    // The host is the session controller, which keeps the plug-in list.
    auto *session = dynamic_cast<MainClass *>(m_host.load());
    if (!session || operation.isEmpty())
        return false;
    for (const PluginRecord &plugin : session->pluginManager()->plugins()) {
        IWPlugin *const instance = qobject_cast<IWPlugin *>(plugin.instance);
        if (!instance || instance == this || instance->getPluginName() != pluginName)
            continue;
        // Where the plug-in's own windows and timers would call it.
        const Qt::ConnectionType connection = plugin.instance->thread() == QThread::currentThread()
            ? Qt::DirectConnection
            : Qt::BlockingQueuedConnection;
        return QMetaObject::invokeMethod(plugin.instance, operation.toLatin1().constData(), connection,
                                         Q_RETURN_ARG(KvrConfig, *result), Q_ARG(KvrConfig, argument));
    }
    return false;
}

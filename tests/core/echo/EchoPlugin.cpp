#include "EchoPlugin.h"

#include <IWHost.h>
#include <ThreadUtilities.h>

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QThread>

namespace {

const QString kCommandKey = QStringLiteral("command");
const QString kRequestPrefix = QStringLiteral("echo:::");
const QString kWebRequestPrefix = QStringLiteral("WebLocal::echo:::");
const QString kReplySuffix = QStringLiteral(":callback");
const QString kHold = QStringLiteral("echo:::hold");
const QString kRelease = QStringLiteral("echo:::release");
const QString kAskBack = QStringLiteral("echo:::askback");
const QString kSenderKey = QStringLiteral("Wivora::sender");
const QString kConnectionKey = QStringLiteral("Wivora::connection");
const QString kConnectionIdKey = QStringLiteral("Wivora::connectionID");

} // namespace

QImage EchoPlugin::getPluginIcon()
{
    QImage icon(16, 16, QImage::Format_ARGB32);
    icon.fill(Qt::darkCyan);
    return icon;
}

QString EchoPlugin::getPluginName()
{
    return QStringLiteral("echo");
}

QString EchoPlugin::getPluginDisplayName()
{
    return QStringLiteral("Echo");
}

bool EchoPlugin::setHostInterface(IWHost *host)
{
    m_host.store(host);
    record(EchoEvent::Call, QStringLiteral("setHostInterface"), QString());
    return true;
}

void EchoPlugin::initPlugin()
{
    record(EchoEvent::Call, QStringLiteral("initPlugin"), QString());
}

void EchoPlugin::closePlugin()
{
    record(EchoEvent::Call, QStringLiteral("closePlugin"), QString());
}

void EchoPlugin::setUser(const QString &user)
{
    record(EchoEvent::Call, QStringLiteral("setUser"), user);
}

void EchoPlugin::commandReceived(const QString &id, const QString &command)
{
    record(EchoEvent::Command, command, id);
    answer(id, command);
}

void EchoPlugin::signalReceived(const QString &name, const QMap<QString, QVariant> &params)
{
    record(EchoEvent::Signal, name, QString(), params);
}

void EchoPlugin::answer(const QString &id, const QString &command)
{
    const bool fromWeb = command.startsWith(kWebRequestPrefix);
    if (!fromWeb && !command.startsWith(kRequestPrefix))
        return; // someone else's record
    // Replies to our own requests stay in the host's store for waitForRecord.
    if (command.endsWith(kReplySuffix))
        return;
    IWHost *const host = m_host.load();
    if (!host)
        return;
    KvrConfig request = host->takeInputCommand(id);
    if (request.isEmpty())
        return;
    if (fromWeb) {
        host->sendServerCommand(request);
        return;
    }
    // The copy keeps "ID", "Wivora::sender", "Wivora::connection" and the
    // payload, so the asker sees its own keys come back.
    KvrConfig reply = request;
    reply.sv(kCommandKey, command + kReplySuffix);
    if (command == kHold) {
        holdUntilReleased(&reply);
    } else if (command == kRelease) {
        QMutexLocker lock(&m_mutex);
        m_released = true;
        m_releasedChanged.wakeAll();
    } else if (command == kAskBack) {
        askBack(request, &reply);
    }
    host->sendCommand(reply, request.gv(kSenderKey), request.gv(kConnectionKey) != QLatin1String("0"),
                      request.gv(kConnectionIdKey));
}

void EchoPlugin::holdUntilReleased(KvrConfig *reply)
{
    const QDeadlineTimer deadline(HoldLimitMs);
    QMutexLocker lock(&m_mutex);
    while (!m_released && m_releasedChanged.wait(&m_mutex, deadline)) {
    }
    reply->SetValue(QStringLiteral("released"), m_released);
}

void EchoPlugin::askBack(const KvrConfig &request, KvrConfig *reply)
{
    IWHost *const host = m_host.load();
    KvrConfig ping;
    const QString id = ping.SetID();
    ping.sv(kCommandKey, kRequestPrefix + QStringLiteral("ping"));
    host->sendCommand(ping, request.gv(kSenderKey), request.gv(kConnectionKey) != QLatin1String("0"),
                      request.gv(kConnectionIdKey));
    reply->SetValue(QStringLiteral("answered"), !host->waitInputCommand(id, ReplyTimeoutMs).isEmpty());
}

QList<EchoEvent> EchoPlugin::events() const
{
    QMutexLocker lock(&m_mutex);
    return m_events;
}

void EchoPlugin::clearEvents()
{
    QMutexLocker lock(&m_mutex);
    m_events.clear();
}

void EchoPlugin::send(const QString &user, const KvrConfig &record, bool serverConnection,
                      const QString &connectionID)
{
    if (IWHost *host = m_host.load())
        host->sendCommand(record, user, serverConnection, connectionID);
}

void EchoPlugin::buffer(const QString &user, const KvrConfig &record)
{
    if (IWHost *host = m_host.load())
        host->bufferCommand(user, record);
}

KvrConfig EchoPlugin::waitForRecord(const QString &id, int timeoutMs)
{
    IWHost *const host = m_host.load();
    if (!host)
        return KvrConfig();
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        KvrConfig found = host->takeInputCommand(id);
        if (!found.isEmpty() || deadline.hasExpired())
            return found;
        waitWithEvents(static_cast<int>(qMin<qint64>(10, deadline.remainingTime())));
    }
}

void EchoPlugin::record(EchoEvent::Kind kind, const QString &name, const QString &id, const QVariantMap &params)
{
    EchoEvent event;
    event.kind = kind;
    event.name = name;
    event.id = id;
    event.params = params;
    event.thread = QThread::currentThreadId();
    if (EchoJournal *journal = m_journal.load())
        journal->append(this, name);
    QMutexLocker lock(&m_mutex);
    m_events.append(event);
}

KvrConfig EchoPlugin::ping(const KvrConfig &request)
{
    IWHost *const host = m_host.load();
    if (!host)
        return KvrConfig();
    KvrConfig ping;
    const QString id = ping.SetID();
    ping.sv(kCommandKey, kRequestPrefix + QStringLiteral("ping"));
    ping.SetValue(QStringLiteral("payload"), request.GetValue(QStringLiteral("payload")));
    host->sendCommand(ping, request.gv(QStringLiteral("user")), false, QString());
    return host->waitInputCommand(id, ReplyTimeoutMs);
}

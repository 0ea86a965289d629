#include "WFtpMain.h"

#include "LocalAccountProvider.h"
#include "WFtpCommands.h"
#include "WFtpProtocol.h"

#include <IWHost.h>
#include <WivoraAccount.h>

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <QtConcurrent>

using namespace WFtpProtocol;

namespace {
const QString SectionKey = QStringLiteral("section");
const QString StatusKey = QStringLiteral("status");
constexpr int MaintenanceStepMs = 200;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}
} // namespace

WFtpMain::WFtpMain(QObject *parent) : QObject(parent), m_engine(QSharedPointer<WFtpEngine>::create())
{
    m_cache.setLister([this](const QString &path) { return WFtpCommands(*this).listDirectory(path); });
    // Raised on delivery and pool threads: the pages change on their own
    // thread, in the order the changes were raised.
    for (SharePage *page : {&m_mainPage, &m_userPage}) {
        connect(this, &WFtpMain::friendDiscAdded, page, &SharePage::addFriendDisc);
        connect(this, &WFtpMain::friendDiscRemoved, page, &SharePage::removeFriendDisc);
        connect(this, &WFtpMain::userDiscsRemoved, page, &SharePage::removeUserDiscs);
        connect(this, &WFtpMain::fileThumbnail, page, &SharePage::setFileThumbnail);
        connect(this, &WFtpMain::friendDiscsCleared, page, &SharePage::clearFriendDiscs);
    }
    // Pictures of the user's own folders join the contacts' ones.
    for (WFtpEngine *engine : {m_engine.data(), m_parser.engine().data()})
        connect(engine, &WFtpEngine::signalOwnThumbnail, this, &WFtpMain::fileThumbnail);
}

WFtpMain::~WFtpMain()
{
    close();
}

void WFtpMain::setHost(IWHost *host)
{
    m_host.store(host);
    const QSharedPointer<IAccountProvider> provider = QSharedPointer<LocalAccountProvider>::create(host);
    m_parser.engine()->setAccountProvider(provider);
    m_engine->setAccountProvider(provider);
}

QString WFtpMain::userName() const
{
    IWHost *const host = m_host.load();
    const QSharedPointer<WivoraAccount> account = host ? host->getAccount() : nullptr;
    return account ? account->getUserName() : QString();
}

bool WFtpMain::isContact(const QString &user) const
{
    IWHost *const host = m_host.load();
    const QSharedPointer<WivoraAccount> account = host ? host->getAccount() : nullptr;
    return account && !user.isEmpty() && account->contactsData->GetStructureByValue(SectionKey, user);
}

QString WFtpMain::normalisedDisc(const QString &path)
{
    QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.size() == 3)
        parts.append(QStringLiteral("root"));
    return parts.join(QLatin1Char('/'));
}

QString WFtpMain::ownerOf(const QString &path)
{
    return path.section(QLatin1Char('/'), 1, 1, QString::SectionSkipEmpty);
}

QString WFtpMain::shownPath(const QString &path)
{
    if (!path.startsWith(QLatin1String("vls/")) && !path.startsWith(QLatin1String("vrs/")))
        return path;
    QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.size() < 3)
        return path;
    const QString owner = parts.at(1);
    // The disc's whole share is its "root" folder: that word means nothing
    // to whoever reads the path.
    if (parts.size() > 3 && parts.at(3) == QLatin1String("root"))
        parts.removeAt(3);
    return owner + QStringLiteral(": ") + parts.mid(2).join(QLatin1Char('/'));
}

QStringList WFtpMain::knownDiscs() const
{
    QMutexLocker lock(&m_discsMutex);
    return m_knownDiscs;
}

bool WFtpMain::addKnownDisc(const QString &path)
{
    QMutexLocker lock(&m_discsMutex);
    if (m_knownDiscs.contains(path))
        return false;
    m_knownDiscs.append(path);
    return true;
}

void WFtpMain::removeKnownDisc(const QString &path)
{
    // "vls/bob/Music" and "vls/bob/Music/root" are one disc.
    const QString removed = normalisedDisc(path);
    QMutexLocker lock(&m_discsMutex);
    m_knownDiscs.erase(std::remove_if(m_knownDiscs.begin(), m_knownDiscs.end(),
                                      [&](const QString &known) { return normalisedDisc(known) == removed; }),
                       m_knownDiscs.end());
}

void WFtpMain::removeUserDiscs(const QString &user)
{
    forgetUserDiscs(user);
    emit userDiscsRemoved(user);
}

void WFtpMain::forgetUserDiscs(const QString &user)
{
    QMutexLocker lock(&m_discsMutex);
    m_knownDiscs.erase(std::remove_if(m_knownDiscs.begin(), m_knownDiscs.end(),
                                      [&](const QString &known) { return ownerOf(known) == user; }),
                       m_knownDiscs.end());
}

void WFtpMain::clearKnownDiscs()
{
    QMutexLocker lock(&m_discsMutex);
    m_knownDiscs.clear();
}

void WFtpMain::abandonReply(const QString &id)
{
    QMutexLocker lock(&m_abandonedMutex);
    const qint64 now = nowMs();
    for (auto it = m_abandoned.begin(); it != m_abandoned.end();)
        it = now - it.value() > AbandonedReplyMs ? m_abandoned.erase(it) : std::next(it);
    m_abandoned.insert(id, now);
}

bool WFtpMain::takeAbandoned(const QString &id)
{
    QMutexLocker lock(&m_abandonedMutex);
    return m_abandoned.remove(id) > 0;
}

void WFtpMain::init()
{
    IWHost *const host = m_host.load();
    if (!host)
        return;
    m_cache.init(host->getPluginStoragePath(QStringLiteral("wftp")) + QStringLiteral("/cache"));
    clearKnownDiscs();
    emit friendDiscsCleared();
    {
        QMutexLocker lock(&m_maintenanceMutex);
        m_closing = false;
    }
    startContactsRefresh();
    startMaintenance();
}

void WFtpMain::startContactsRefresh()
{
    QMutexLocker lock(&m_maintenanceMutex);
    if (!m_closing && !m_refresh.isRunning())
        m_refresh = QtConcurrent::run([this] { refreshContactsFolders(); });
}

QStringList WFtpMain::ownDiscsFor(const QString &viewer)
{
    const QString me = userName();
    QStringList discs = m_engine->getSharedDiscs(viewer.isEmpty() ? me : viewer);
    IWHost *const host = m_host.load();
    if (!discs.isEmpty() || me.isEmpty() || !host)
        return discs;
    const QString path = host->getPluginStoragePath(QStringLiteral("wftp")) + QStringLiteral("/myshareddisc");
    // A folder that cannot be made is still shared: the listing shows the fault.
    QDir().mkpath(path);
    m_engine->addSharedDisc(path, QStringLiteral("My Shared Disc"));
    return m_engine->getSharedDiscs(me);
}

void WFtpMain::close()
{
    {
        // The refresh of a session that ended asks nobody.
        QMutexLocker lock(&m_maintenanceMutex);
        m_closing = true;
        m_refresh.waitForFinished();
    }
    stopMaintenance();
    // Nothing stays open for the peers of the session that ended.
    m_parser.engine()->closeAllFiles();
    m_cache.flush();
}

void WFtpMain::processCommand(const QString &id, const QString &command)
{
    const bool web = CommandParser::isWebRequest(command);
    // Replies and pushes are the request client's; the rest that names us is
    // a request (in any letter case: a wrong one is answered with a refusal).
    if (!web && (!command.toLower().contains(RequestPrefix) || command.contains(ReplySuffix)))
        return;
    IWHost *const host = m_host.load();
    if (!host)
        return;
    const KvrConfig request = host->takeInputCommand(id);
    if (request.isEmpty())
        return;
    const KvrConfig reply = m_parser.PerformCommand(request);
    if (web) {
        // One that carries routing keys came from a peer: nobody to answer.
        if (request.gv(KeySender).isEmpty())
            host->sendServerCommand(reply);
        return;
    }
    // Nobody to answer when no authenticated link brought the request.
    const QString sender = request.gv(KeySender);
    const QString connectionId = request.gv(KeyConnectionId);
    if (sender.isEmpty() || connectionId.isEmpty())
        return;
    host->sendCommand(reply, sender, request.gv(KeyConnection) != QLatin1String("0"), connectionId);
}

void WFtpMain::onSignalReceived(const QString &name, const QMap<QString, QVariant> &params)
{
    if (name != QLatin1String("signalContactEdited"))
        return;
    IWHost *const host = m_host.load();
    const QSharedPointer<WivoraAccount> account = host ? host->getAccount() : nullptr;
    const QString user = params.value(QStringLiteral("username")).toString();
    const auto contact = account && !user.isEmpty() ? account->contactsData->GetStructureByValue(SectionKey, user)
                                                    : WDataStructure::Pointer();
    if (!contact)
        return;
    if (contact->gv(StatusKey).toInt() != 0)
        WFtpCommands(*this).getSharedFolders(user);
    else
        removeUserDiscs(user);
}

void WFtpMain::refreshContactsFolders(int delayMs)
{
    IWHost *const host = m_host.load();
    if (!host)
        return;
    const QStringList selected = host->getSelectedContacts();
    // Contacts' links come up after the login: give them time.
    QElapsedTimer waited;
    waited.start();
    while (!m_closing && waited.elapsed() < delayMs)
        QThread::msleep(50);
    if (m_closing)
        return;
    const QSharedPointer<WivoraAccount> account = host->getAccount();
    if (!account)
        return;
    WFtpCommands commands(*this);
    for (const auto &contact : account->contactsData->getChildren()) {
        const QString name = contact->gv(SectionKey);
        // Offline contacts cannot answer; they announce their discs when they come.
        if (name.isEmpty() || contact->gv(StatusKey).toInt() == 0)
            continue;
        if (!selected.isEmpty() && !selected.contains(name))
            continue;
        commands.getSharedFolders(name);
        commands.sendSharedFolders(name);
    }
}

QString WFtpMain::shareFolderWith(const QString &localPath, const QStringList &users)
{
    IWHost *const host = m_host.load();
    const QString disc = m_engine->addSharedDisc(localPath, QString());
    if (!host || disc.isEmpty() || !m_engine->getSharedDisc(disc))
        return QString();
    const QString path = QStringLiteral("vls/") + userName() + QLatin1Char('/') + disc + QStringLiteral("/root");
    WFtpCommands commands(*this);
    for (const QString &user : users) {
        auto record = QSharedPointer<WDataStructure>::create();
        record->sv(SectionKey, user);
        record->sv(QStringLiteral("username"), user);
        record->sv(QStringLiteral("validTo"), QDateTime::currentDateTime().toString(Qt::ISODate));
        for (const char *key : {"permanent", "read", "write", "delete", "full"})
            record->sv(QString::fromLatin1(key), QStringLiteral("1"));
        // Sharing again updates the user's record instead of adding a second one.
        if (!m_engine->setPermittedUser(record, disc, QStringLiteral("root")))
            return QString();
        commands.sendSharedFolders(user);
    }
    host->saveAccount();
    return path;
}

bool WFtpMain::stopSharing(const QString &discName)
{
    IWHost *const host = m_host.load();
    if (!host)
        return false;
    const QMap<QString, QStringList> seen = m_engine->getUsersSharedDiscs(discName);
    if (!m_engine->removeSharedDisc(discName))
        return false;
    WFtpCommands commands(*this);
    for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
        for (const QString &path : it.value())
            commands.sendDisconnectDisc(path, it.key());
    }
    return true;
}

void WFtpMain::startMaintenance()
{
    QMutexLocker lock(&m_maintenanceMutex);
    if (m_maintenance.isRunning())
        return;
    m_stopRequested = false;
    m_maintenance = QtConcurrent::run([this] { maintenanceLoop(); });
}

bool WFtpMain::maintenanceRunning() const
{
    QMutexLocker lock(&m_maintenanceMutex);
    return m_maintenance.isRunning();
}

void WFtpMain::stopMaintenance()
{
    QMutexLocker lock(&m_maintenanceMutex);
    m_stopRequested = true;
    m_maintenance.waitForFinished();
}

void WFtpMain::setMaintenanceIntervals(int sweepMs, int cleanMs)
{
    m_sweepMs = sweepMs;
    m_cleanMs = cleanMs;
}

void WFtpMain::maintenanceLoop()
{
    QElapsedTimer sweep;
    QElapsedTimer clean;
    sweep.start();
    clean.start();
    const QSharedPointer<WFtpEngine> serving = m_parser.engine();
    while (!m_stopRequested) {
        if (sweep.elapsed() > m_sweepMs) {
            serving->closeIdleFiles();
            sweep.restart();
        }
        if (clean.elapsed() > m_cleanMs) {
            serving->clearOverduePermissions();
            serving->clearOverdueWebFiles();
            clean.restart();
            emit webFilesChanged();
        }
        QThread::msleep(std::min(MaintenanceStepMs, std::min<int>(m_sweepMs, m_cleanMs)));
    }
}

#include "WMailMain.h"

#include "WMailCommands.h"
#include "WMailRenderer.h"
#include "WMailResources.h"
#include "WTalkRendererAccessManager.h"
#include "WTalkRendererWebPage.h"
#include "WTalkRendererWebView.h"

#include <IWHost.h>
#include <MainServerCommands.h>
#include <WDataStructure.h>
#include <WivoraAccount.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QMutexLocker>
#include <QThread>

#include <atomic>

namespace {

const QString kStorageFolder = QStringLiteral("wmail");
const QString kChat = QStringLiteral("chat");
// How often a received message that could not be saved is tried again.
constexpr int kRefileIntervalMs = 5000;

QAtomicPointer<WMailMain> g_main;
std::atomic<bool> g_destroyed{false};

void deleteMain()
{
    if (QCoreApplication::instance())
        qRemovePostRoutine(deleteMain); // the library may go before the application
    g_destroyed = true;
    delete g_main.fetchAndStoreOrdered(nullptr);
}

// Deletes the main object when the library goes, if the application did not
// first.
struct MainCleanup
{
    ~MainCleanup() { deleteMain(); }
} g_cleanup;

} // namespace

WMailMain *wmailMain()
{
    if (g_destroyed)
        return nullptr;
    if (WMailMain *existing = g_main.loadAcquire())
        return existing;
    auto *made = new WMailMain;
    if (!g_main.testAndSetOrdered(nullptr, made)) {
        delete made;
    } else if (QCoreApplication::instance()) {
        // Its page is a widget: it can only go while the application still
        // stands, and the application's end runs its post routines first.
        qAddPostRoutine(deleteMain);
    }
    return g_main.loadAcquire();
}

static WMailRenderer *makeChatWidget()
{
    WMailResources::initialise(); // before the page asks for its files
    return new WMailRenderer;
}

WMailMain::WMailMain(QObject *parent) : QObject(parent), m_chatWidget(makeChatWidget())
{
    m_chatWidget->webView()->rendererPage()->accessManager()->setAvatarSource(
        [this](const QString &user) { return contactAvatar(user); });
    connect(m_chatWidget, &WMailRenderer::newContentRequested, this,
            [this](const WMailConversation::Pointer &conversation, const QByteArray &data, const QString &itemType) {
                const QString id = createMessage(conversation, data, itemType, true);
                if (!id.isEmpty() && m_chatWidget)
                    m_chatWidget->addMessageToPage(id);
            });
    m_refileTimer.setInterval(kRefileIntervalMs);
    connect(&m_refileTimer, &QTimer::timeout, this, &WMailMain::refileUnsaved);
}

WMailMain::~WMailMain()
{
    // The host owns the page once it has placed it; a page never placed is ours.
    if (m_chatWidget && !m_chatWidget->parent() && QCoreApplication::instance())
        delete m_chatWidget.data();
}

QByteArray WMailMain::contactAvatar(const QString &user) const
{
    const QSharedPointer<WivoraAccount> account = m_host ? m_host->getAccount() : QSharedPointer<WivoraAccount>();
    if (!account)
        return QByteArray();
    const QSharedPointer<WDataStructure> contact =
        account->contactsData->GetStructureByValue(QStringLiteral("section"), user);
    const QSharedPointer<WDataStructure> vcard =
        contact ? contact->getSettingStructure(QStringLiteral("vcard")) : QSharedPointer<WDataStructure>();
    return vcard ? vcard->GetValue(QStringLiteral("avatar")) : QByteArray();
}

QString WMailMain::ownUser() const
{
    if (!m_host)
        return QString();
    const QSharedPointer<WivoraAccount> account = m_host->getAccount();
    return account ? account->getUserName() : QString();
}

void WMailMain::initPlugin()
{
    // A question to the server: asked on the caller's thread, which after a
    // reconnect is a pool thread.
    m_timeDifference.storeRelease(MainServerCommands::getTimeDiffrence());
    if (QThread::currentThread() != thread())
        QMetaObject::invokeMethod(this, [this] { initOnThisThread(); }, Qt::QueuedConnection);
    else
        initOnThisThread();
    // A message claimed from now on is filed after the load: both run here,
    // in the order they were queued.
    m_started.storeRelease(1);
}

void WMailMain::initOnThisThread()
{
    const QString own = ownUser();
    const QString folder = own.isEmpty() ? QString() : m_host->getPluginStoragePath(kStorageFolder);
    // Another user's conversations replace the list: the page must not keep
    // showing (and saving) one of the old ones.
    if (m_manager.loadConversations(folder, own) && m_chatWidget)
        m_chatWidget->setConversation(WMailConversation::Pointer());
    if (own.isEmpty())
        return; // the handler is written into the logged-in account
    QFile icon(QStringLiteral(":/icons/Resources/chatblue.png"));
    if (icon.open(QIODevice::ReadOnly))
        m_host->registerActivityHandler(kChat, icon.readAll());
}

void WMailMain::closePlugin()
{
    m_started.storeRelease(0);
    // What waits in the input list was sent to the user who logged out.
    m_unsavedRecords.clear();
    m_refileTimer.stop();
    if (m_chatWidget)
        m_chatWidget->setConversation(WMailConversation::Pointer());
}

WMailConversation::Pointer WMailMain::setUser(const QString &contact)
{
    const WMailConversation::Pointer conversation = m_manager.getUserConversation(contact.toLower());
    if (!conversation)
        return conversation;
    if (m_chatWidget)
        m_chatWidget->setConversation(conversation);
    m_host->setUserActivity(contact, kChat, false);
    return conversation;
}

void WMailMain::signalReceived(const QString &name, const QMap<QString, QVariant> &params)
{
    if (name == QLatin1String("signaluserViewWidgetChanged") && params.value(QStringLiteral("name")).toString() == kChat
        && m_host)
        m_host->setUserActivity(params.value(QStringLiteral("username")).toString(), kChat, false);
}

void WMailMain::commandReceived(const QString &id, const QString &command)
{
    // Until the conversations are loaded there is nowhere to file a message:
    // the host keeps the record and offers it again after initPlugin.
    if (!m_started.loadAcquire())
        return;
    KvrConfig record;
    QString author;
    if (!WMailCommands::claim(m_host, id, command, &record, &author))
        return;
    QMutexLocker lock(&m_arrivalsMutex);
    m_arrivals.append(Arrival{id, record, author});
    if (!m_filingQueued) {
        m_filingQueued = true;
        QMetaObject::invokeMethod(this, &WMailMain::fileArrivals, Qt::QueuedConnection);
    }
}

bool WMailMain::isFilingIdle()
{
    QMutexLocker lock(&m_arrivalsMutex);
    return m_arrivals.isEmpty() && !m_filingQueued && m_loader.isIdle();
}

void WMailMain::fileArrivals()
{
    // A flood is filed a slice at a time, with the window's own events in
    // between: one queued call per message would hold the thread until
    // every message that came was filed.
    constexpr int kSliceMs = 10;
    QElapsedTimer slice;
    slice.start();
    for (;;) {
        Arrival arrival;
        {
            QMutexLocker lock(&m_arrivalsMutex);
            if (m_arrivals.isEmpty()) {
                m_filingQueued = false;
                return;
            }
            if (slice.elapsed() >= kSliceMs) {
                QTimer::singleShot(1, this, &WMailMain::fileArrivals);
                return;
            }
            arrival = m_arrivals.takeFirst();
        }
        fileMessage(arrival.id, arrival.record, arrival.author);
    }
}

void WMailMain::fileMessage(const QString &id, const KvrConfig &record, const QString &author)
{
    const WMailConversation::Pointer known = WMailCommands::knownConversation(m_manager, record, author);
    if (known && (!known->isLoaded() || m_loader.isLoading(known))) {
        m_loader.whenLoaded(known, [this, id, record, author, known](bool) {
            // Another login meanwhile: the host offers the record again.
            if (m_manager.findConversation(known->name()) == known)
                fileInLoaded(id, record, author);
        });
        return;
    }
    fileInLoaded(id, record, author);
}

void WMailMain::fileInLoaded(const QString &id, const KvrConfig &record, const QString &author)
{
    const WMailCommands::Filed filed = WMailCommands::file(m_manager, record, author);
    if (filed.outcome == WMailCommands::Outcome::NotSaved) {
        // Left in the input list: taking it now would lose the message.
        if (!m_unsavedRecords.contains(id))
            m_host->displayActivityNotification(tr("A received message could not be saved. It will be tried again."));
        m_unsavedRecords.insert(id, author);
        if (!m_refileTimer.isActive())
            m_refileTimer.start();
        return;
    }
    m_unsavedRecords.remove(id);
    m_host->takeInputCommand(id);
    if (filed.outcome == WMailCommands::Outcome::Dropped)
        return;
    // The author was checked against the sender's proven name when claimed.
    m_host->displayActivityNotification(tr("New message from %1").arg(author));
    const bool shownHere = m_chatWidget && m_chatWidget->conversation() == filed.conversation
        && filed.parent == filed.conversation->viewRoot();
    if (shownHere)
        m_chatWidget->addMessageToPage(filed.message->id);
    if (!shownHere || !m_chatWidget->isVisible())
        m_host->setUserActivity(author, kChat, true);
}

void WMailMain::refileUnsaved()
{
    const QHash<QString, QString> waiting = m_unsavedRecords;
    for (auto it = waiting.cbegin(); it != waiting.cend(); ++it) {
        const KvrConfig record = m_host->peekInputCommand(it.key());
        if (record.isEmpty())
            m_unsavedRecords.remove(it.key()); // the host let it go
        else
            fileMessage(it.key(), record, it.value());
    }
    if (m_unsavedRecords.isEmpty())
        m_refileTimer.stop();
}

QString WMailMain::createMessage(const WMailConversation::Pointer &conversation, const QByteArray &data,
                                 const QString &itemType, bool send)
{
    const QString own = ownUser();
    // Only the logged-in user's conversations: an object kept from another
    // login would write into that user's folder.
    if (!conversation || own.isEmpty() || !conversation->viewRoot()
        || m_manager.findConversation(conversation->name()) != conversation)
        return QString();
    const WMailStructure::Pointer viewRoot = conversation->viewRoot();
    const QDateTime serverTime =
        QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch() + timeDifference(), Qt::UTC);
    const WMailStructure::Pointer message = conversation->newMessage(itemType, own, serverTime);

    KvrConfig record;
    if (send) {
        const QString previousId = viewRoot->children.isEmpty() ? QString() : viewRoot->children.last()->id;
        record = WMailCommands::newMessageRecord(own, conversation->name(), viewRoot->id, previousId,
                                                 message->serializeStructure(), data);
        if (!WMailCommands::fitsHost(record)) {
            m_host->displayActivityNotification(tr("The message is too large to be sent."));
            return QString();
        }
    }
    if (!conversation->addMessage(viewRoot, message, data, false)) {
        m_host->displayActivityNotification(tr("The message could not be saved, so it was not sent."));
        return QString();
    }
    if (send)
        WMailCommands::sendNewMessage(m_host, own, message->recipients, record);
    return message->id;
}

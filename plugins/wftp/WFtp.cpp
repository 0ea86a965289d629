#include "WFtp.h"

#include <WFtpWindows.h>

#include <VirtualFile.h>
#include <applyPermittedUsers.h>
#include <uiPermissionWidget.h>
#include <WFtpCommands.h>
#include <WFtpProtocol.h>

#include <IWHost.h>
#include <TransferListModel.h>
#include <WivoraAccount.h>

#include <QApplication>
#include <QCryptographicHash>
#include <QThread>

using namespace WFtpProtocol;

WFtp::WFtp()
{
    commandParser().setThumbnailSink([this](const KvrConfig &request, const QString &folderPath, const QString &row) {
        pushThumbnail(request, folderPath, row);
    });
    // The serving engine reports from the threads that answer contacts.
    WFtpEngine *const serving = commandParser().engine().data();
    // Fewer rows a page let a test cross many pages with a small folder.
    const int pageRows = qEnvironmentVariableIntValue("WIVORA_WFTP_LISTING_PAGE_ROWS");
    if (pageRows > 0)
        serving->setPageLimits({pageRows, WFtpEngine::PageLimits().bytes});
    connect(serving, &WFtpEngine::signalFileOpened, &m_monitor, &TransferMonitor::addFile);
    connect(serving, &WFtpEngine::signalFileClosed, &m_monitor, &TransferMonitor::removeFile);
    connect(serving, &WFtpEngine::signalFileReadProgress, &m_monitor, &TransferMonitor::addRead);
    connect(serving, &WFtpEngine::signalFileWriteProgress, &m_monitor, &TransferMonitor::addWrite);
}

WFtp::~WFtp()
{
    // Thumbnail tasks push through this object: let them end first.
    commandParser().engine()->thumbnailScheduler().waitForDone();
    delete m_windows.load();
}

QImage WFtp::getPluginIcon()
{
    return QImage(QStringLiteral(":/icons/Resources/wftp.png"));
}

bool WFtp::setHostInterface(IWHost *host)
{
    m_main.setHost(host);
    return true;
}

WFtpWindows *WFtp::windows()
{
    // Widgets need a widget application and its thread.
    if (!m_windows && qobject_cast<QApplication *>(QCoreApplication::instance())
        && QThread::currentThread() == QCoreApplication::instance()->thread())
        m_windows = new WFtpWindows(m_main, m_transfers, m_monitor);
    return m_windows;
}

QWidget *WFtp::getSettingsWidget()
{
    return windows() ? windows()->settingsPage() : nullptr;
}

QList<QWidget *> WFtp::getMainPluginWidget()
{
    if (!windows() || !windows()->mainPage())
        return {};
    return {windows()->mainPage()};
}

QMap<QDockWidget *, Qt::DockWidgetArea> WFtp::getDockWindows()
{
    return windows() ? windows()->makeDocks() : QMap<QDockWidget *, Qt::DockWidgetArea>();
}

QMap<QString, QWidget *> WFtp::getUserWidget()
{
    if (!windows() || !windows()->userPage())
        return {};
    return {{QStringLiteral("files"), windows()->userPage()}};
}

QList<QAction *> WFtp::getContactsContextMenu()
{
    return windows() ? windows()->contactsContextMenu() : QList<QAction *>();
}

QList<QAction *> WFtp::getPluginMenu()
{
    return windows() ? windows()->pluginMenu() : QList<QAction *>();
}

QList<QAction *> WFtp::getQuickMenuActions()
{
    return windows() ? windows()->quickMenuActions() : QList<QAction *>();
}

void WFtp::initPlugin()
{
    m_main.init();
    m_transfers.loadMaxTransfers();
    // After a reconnect this runs on a pool thread: the page reloads on its own.
    WFtpWindows *const shown = m_windows;
    if (shown && shown->mainPage())
        shown->mainPage()->refresh();
}

void WFtp::setUser(const QString &user)
{
    if (windows() && windows()->userPage()) {
        windows()->userPage()->setUser(user);
        return;
    }
    SharePage &page = m_main.userPage();
    page.setUser(user);
    page.setFriendDiscs(m_main.knownDiscs());
}

void WFtp::commandReceived(const QString &id, const QString &command)
{
    IWHost *const host = m_main.host();
    if (!host)
        return;
    // The reply to a request that gave up waiting: nobody will take it.
    if (command.contains(ReplySuffix) && m_main.takeAbandoned(id)) {
        host->takeInputCommand(id);
        return;
    }
    if (WFtpCommands(m_main).processCallback(id, command))
        return;
    m_main.processCommand(id, command);
}

void WFtp::pushThumbnail(const KvrConfig &request, const QString &folderPath, const QString &row)
{
    IWHost *const host = m_main.host();
    if (!host)
        return;
    KvrConfig push = WFtpCommands::newRecord(ThumbnailPush);
    push.sv(KeyUser, m_main.userName());
    push.sv(KeyPath, folderPath);
    push.sv(KeyThumbnail, row);
    // Back on the link that carried the listing, to the user it authenticated.
    host->sendCommand(push, request.gv(KeySender), request.gv(KeyConnection) != QLatin1String("0"),
                      request.gv(KeyConnectionId));
}

KvrConfig WFtp::shareFolder(const KvrConfig &request)
{
    KvrConfig reply;
    const QString disc =
        m_main.shareFolderWith(request.gv(KeyPath), request.gv(QStringLiteral("users")).split(ListSeparator, Qt::SkipEmptyParts));
    reply.sv(QStringLiteral("disc"), disc);
    reply.SetResult(!disc.isEmpty());
    return reply;
}

KvrConfig WFtp::stopSharing(const KvrConfig &request)
{
    KvrConfig reply;
    reply.SetResult(m_main.stopSharing(request.gv(QStringLiteral("disc"))));
    return reply;
}

KvrConfig WFtp::setFolderUsers(const KvrConfig &request)
{
    QList<uiPermissionWidget *> rows;
    const auto addRows = [&](const QString &key, bool read, bool write) {
        for (const QString &user : request.gv(key).split(ListSeparator, Qt::SkipEmptyParts)) {
            rows << new uiPermissionWidget;
            rows.last()->setPermission(user, QDate::currentDate(), true, read, write, write, write);
        }
    };
    addRows(QStringLiteral("users"), true, true);
    addRows(QStringLiteral("readers"), true, false);
    addRows(QStringLiteral("without"), false, false);
    applyPermittedUsers(m_main, request.gv(KeyPath), rows);
    qDeleteAll(rows);
    return KvrConfig();
}

KvrConfig WFtp::knownDiscs(const KvrConfig &)
{
    KvrConfig reply;
    reply.sv(KeyDiscs, m_main.knownDiscs().join(ListSeparator));
    return reply;
}

KvrConfig WFtp::listFolder(const KvrConfig &request)
{
    const FolderListing listing =
        m_main.fileCache().getListing(request.gv(KeyPath), request.gv(QStringLiteral("reload")) == QLatin1String("true"));
    QStringList names;
    for (const auto &row : listing.rows.getChildren())
        names << row->gv(QStringLiteral("Name"));
    KvrConfig reply;
    reply.sv(QStringLiteral("names"), names.join(ListSeparator));
    reply.sv(QStringLiteral("error"), FolderListing::describe(listing.error));
    reply.SetResult(listing.ok());
    return reply;
}

KvrConfig WFtp::checkFile(const KvrConfig &request)
{
    KvrConfig reply;
    reply.SetResult(WFtpCommands(m_main).checkFileExist(request.gv(KeyPath)));
    return reply;
}

KvrConfig WFtp::readFile(const KvrConfig &request)
{
    KvrConfig reply;
    VirtualFile file(m_main);
    const qint64 chunk = request.gv(QStringLiteral("chunk")).toLongLong();
    if (chunk <= 0 || !file.open(request.gv(KeyPath), VirtualFile::Mode::Read))
        return reply;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const bool hashed = request.gv(QStringLiteral("hash")) != QLatin1String("false");
    qint64 offset = 0;
    const qint64 size = file.size();
    while (offset < size) {
        const QByteArray bytes = file.read(offset, chunk);
        if (bytes.isEmpty())
            break;
        if (hashed)
            hash.addData(bytes);
        offset += bytes.size();
    }
    file.close();
    reply.sv(KeySize, QString::number(offset));
    reply.sv(QStringLiteral("sha256"), QString::fromLatin1(hash.result().toHex()));
    reply.SetResult(offset == size);
    return reply;
}

KvrConfig WFtp::writeFile(const KvrConfig &request)
{
    KvrConfig reply;
    VirtualFile file(m_main);
    reply.SetResult(file.open(request.gv(KeyPath), VirtualFile::Mode::Write)
                    && file.write(request.GetValue(KeyData), 0) && file.close());
    return reply;
}

KvrConfig WFtp::startTransfer(const KvrConfig &request)
{
    QMap<QString, bool> items;
    for (const QString &file : request.gv(QStringLiteral("files")).split(ListSeparator, Qt::SkipEmptyParts))
        items.insert(file, true);
    for (const QString &folder : request.gv(QStringLiteral("folders")).split(ListSeparator, Qt::SkipEmptyParts))
        items.insert(folder, false);
    KvrConfig reply;
    if (items.isEmpty())
        return reply;
    const auto transfer = m_transfers.addTransfer(items, request.gv(QStringLiteral("target")), request.gv(QStringLiteral("base")));
    const QString id = QString::number(quintptr(transfer.data()));
    connect(transfer.data(), &TransferWorker::progress, this,
            [this, id](const QString &name, int, double speed, int item, int items) {
                QMutexLocker lock(&m_progressMutex);
                m_progressLines.insert(id, TransferListModel::progressText(name, speed, item, items));
            },
            Qt::DirectConnection);
    reply.sv(QStringLiteral("id"), id);
    reply.SetResult(true);
    return reply;
}

KvrConfig WFtp::transferState(const KvrConfig &request)
{
    KvrConfig reply;
    for (const auto &transfer : m_transfers.transfers()) {
        if (QString::number(quintptr(transfer.data())) != request.gv(QStringLiteral("id")))
            continue;
        reply.sv(QStringLiteral("returned"), transfer->hasReturned() ? QStringLiteral("true") : QStringLiteral("false"));
        reply.sv(QStringLiteral("completed"), QString::number(transfer->completedItems()));
        reply.sv(QStringLiteral("failed"), QString::number(transfer->failedItems()));
        reply.sv(QStringLiteral("bytes"), QString::number(transfer->bytesMoved()));
        QMutexLocker lock(&m_progressMutex);
        reply.sv(QStringLiteral("progress"), m_progressLines.value(request.gv(QStringLiteral("id"))));
        reply.SetResult(transfer->hasReturned() && transfer->failedItems() == 0 && !transfer->isStopped());
    }
    return reply;
}

KvrConfig WFtp::stopTransfer(const KvrConfig &request)
{
    KvrConfig reply;
    for (const auto &transfer : m_transfers.transfers()) {
        if (QString::number(quintptr(transfer.data())) == request.gv(QStringLiteral("id"))) {
            m_transfers.removeTransfer(transfer);
            reply.SetResult(true);
        }
    }
    return reply;
}

KvrConfig WFtp::deleteFiles(const KvrConfig &request)
{
    QStringList kept;
    KvrConfig reply;
    reply.SetResult(WFtpCommands(m_main).deleteFiles(
        request.gv(QStringLiteral("files")).split(ListSeparator, Qt::SkipEmptyParts), &kept));
    reply.sv(KeyKept, kept.join(ListSeparator));
    return reply;
}

KvrConfig WFtp::answerOverwrites(const KvrConfig &request)
{
    const TransferWorker::Answer given = request.gv(QStringLiteral("answer")) == QLatin1String("yes")
        ? TransferWorker::Answer::Yes
        : TransferWorker::Answer::No;
    m_transfers.setOverwriteAsk([given](const QSharedPointer<TransferWorker> &, const QString &,
                                        const std::function<void(TransferWorker::Answer)> &answer) { answer(given); });
    return KvrConfig();
}

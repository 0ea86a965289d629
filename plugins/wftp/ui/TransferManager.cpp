#include "TransferManager.h"

#include <IWHost.h>
#include <WFtpMain.h>
#include <WivoraAccount.h>

namespace {
// Waiting transfers sleep on their own thread, so the pool must hold
// every transfer of the session, not one per core.
constexpr int MaxWorkerThreads = 64;
} // namespace

TransferManager::TransferManager(WFtpMain &main, QObject *parent) : QObject(parent), m_main(main)
{
    m_pool.setMaxThreadCount(MaxWorkerThreads);
}

TransferManager::~TransferManager()
{
    stopAllTransfers();
    m_pool.waitForDone();
}

QSharedPointer<TransferWorker> TransferManager::addTransfer(const QMap<QString, bool> &items,
                                                            const QString &targetPath, const QString &basePath)
{
    auto worker = QSharedPointer<TransferWorker>::create(m_main, items, targetPath, basePath, &m_slots);
    // Joins the queue now, so slots go in the order transfers were added
    // whichever pool thread starts first.
    m_slots.enqueueTransfer(worker.data());
    m_transfers.append(worker);
    emit transferAdded(worker);
    QSharedPointer<TransferWorker> running = worker;
    m_pool.start([running] { running->run(); });
    return worker;
}

void TransferManager::setMaxTransfers(int n)
{
    if (n > 0)
        m_slots.setMaxSlots(n);
}

bool TransferManager::changeMaxTransfers(const QString &text)
{
    if (text.trimmed().isEmpty())
        return false;
    IWHost *const host = m_main.host();
    const QSharedPointer<WivoraAccount> account = host ? host->getAccount() : nullptr;
    if (!account)
        return false;
    const int n = qMax(1, text.trimmed().toInt());
    if (account->accountData->getSetting(QLatin1String(MaxTransfersSetting)).toInt() == n)
        return false;
    account->accountData->setSetting(QLatin1String(MaxTransfersSetting), QByteArray::number(n), true);
    host->saveAccount();
    setMaxTransfers(n);
    return true;
}

void TransferManager::stopAllTransfers()
{
    for (const auto &transfer : qAsConst(m_transfers))
        transfer->stop();
}

void TransferManager::clearFinished()
{
    for (int i = m_transfers.size() - 1; i >= 0; --i) {
        if (m_transfers[i]->hasReturned())
            m_transfers.removeAt(i);
    }
}

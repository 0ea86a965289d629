#pragma once

#include "TransferSlotQueue.h"
#include "TransferWorker.h"

#include <QList>
#include <QObject>
#include <QSharedPointer>
#include <QThreadPool>

class WFtpMain;

// All transfers of the session: each runs its worker on the manager's own
// pool (never the application's global one, so other work cannot starve
// it), and at most "account/maxtransfers" move data at a time.
class TransferManager : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *MaxTransfersSetting = "account/maxtransfers";

    explicit TransferManager(WFtpMain &main, QObject *parent = nullptr);
    // Stops every transfer and waits for the workers to return.
    ~TransferManager() override;

    // Starts a transfer at once; it waits for a slot in the order added.
    QSharedPointer<TransferWorker> addTransfer(const QMap<QString, bool> &items, const QString &targetPath,
                                               const QString &basePath);
    // n <= 0 is ignored.
    void setMaxTransfers(int n);
    int maxTransfers() const { return m_slots.maxSlots(); }
    // The user's entry: stored in the account and saved whenever it differs
    // from the stored value (an empty text does nothing; 0 or junk count as
    // 1). False when nothing changed.
    bool changeMaxTransfers(const QString &text);

    // Asks every transfer to stop; returns at once.
    void stopAllTransfers();
    // Drops the transfers whose worker returned.
    void clearFinished();
    QList<QSharedPointer<TransferWorker>> transfers() const { return m_transfers; }
    bool waitForDone(int timeoutMs = -1) { return m_pool.waitForDone(timeoutMs); }
    TransferSlotQueue &slotQueue() { return m_slots; }

signals:
    void transferAdded(QSharedPointer<TransferWorker> transfer);

private:
    WFtpMain &m_main;
    TransferSlotQueue m_slots;
    QThreadPool m_pool;
    QList<QSharedPointer<TransferWorker>> m_transfers;
};

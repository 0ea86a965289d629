#pragma once

#include "TransferSlotQueue.h"
#include "TransferWorker.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSharedPointer>
#include <QThreadPool>

#include <functional>
#include <optional>

class WFtpMain;

// All transfers of the session: each runs its worker on the manager's own
// pool (never the application's global one, so other work cannot starve
// it), and at most "account/maxtransfers" move data at a time.
class TransferManager : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *MaxTransfersSetting = "account/maxtransfers";
    // Asked on the manager's thread when a worker's target exists (its path:
    // local for a download, virtual for an upload); `answer` may be called
    // later, at most once. One question is out at a time: the others wait
    // for its answer. "Yes to All" and "No to All" answer every transfer of
    // the batch, that is every one that had not ended when it was given;
    // transfers added afterwards are asked again. A worker stopped meanwhile
    // stops waiting for it.
    using OverwriteAsk = std::function<void(const QSharedPointer<TransferWorker> &transfer, const QString &target,
                                            const std::function<void(TransferWorker::Answer)> &answer)>;

    explicit TransferManager(WFtpMain &main, QObject *parent = nullptr);
    // Stops every transfer and waits for the workers to return.
    ~TransferManager() override;

    // Starts a transfer at once; it waits for a slot in the order added.
    QSharedPointer<TransferWorker> addTransfer(const QMap<QString, bool> &items, const QString &targetPath,
                                               const QString &basePath);
    // n <= 0 is ignored.
    void setMaxTransfers(int n);
    // The maximum stored in the logged-in account, when there is one.
    void loadMaxTransfers();
    int maxTransfers() const { return m_slots.maxSlots(); }
    // The user's entry: stored in the account and saved whenever it differs
    // from the stored value (an empty text does nothing; 0 or junk count as
    // 1). False when nothing changed.
    bool changeMaxTransfers(const QString &text);

    // Asks every transfer to stop; returns at once. Each leaves the list
    // once its worker has returned.
    void stopAllTransfers();
    // The same at the end of the session, when the user did not ask for it:
    // files being downloaded keep their partials for a later run.
    void haltAllTransfers();
    // Stops one transfer (none blocks) and drops it once it has returned.
    void removeTransfer(const QSharedPointer<TransferWorker> &transfer);
    // Drops the transfers whose worker returned.
    void clearFinished();
    // Without one, an existing target is kept.
    void setOverwriteAsk(OverwriteAsk ask);
    QList<QSharedPointer<TransferWorker>> transfers() const { return m_transfers; }
    bool waitForDone(int timeoutMs = -1) { return m_pool.waitForDone(timeoutMs); }
    TransferSlotQueue &slotQueue() { return m_slots; }

signals:
    void transferAdded(QSharedPointer<TransferWorker> transfer);
    void transferRemoved(QSharedPointer<TransferWorker> transfer);
    void maxTransfersChanged(int maximum);

private:
    // One overwrite question waiting to be put to the user.
    struct Question
    {
        QSharedPointer<TransferWorker> transfer;
        QString target;
        std::function<void(TransferWorker::Answer)> answer;
    };

    TransferWorker::Answer askOverwrite(const QSharedPointer<TransferWorker> &transfer, const QString &target);
    void queueQuestion(const Question &question);
    // Puts the next waiting question unless one is out.
    void askNext();
    void onAnswered(quint64 serial, TransferWorker::Answer given);
    // Answers what waits without asking: stopped transfers "no", those of an
    // answered batch that answer. False when the question must be put.
    bool answerWithoutAsking(const Question &question);
    void drop(TransferWorker *transfer);

    WFtpMain &m_main;
    TransferSlotQueue m_slots;
    QThreadPool m_pool;
    QList<QSharedPointer<TransferWorker>> m_transfers;
    OverwriteAsk m_overwriteAsk;
    QList<Question> m_waitingQuestions;
    // The question out, told apart by its serial from one given up on.
    std::optional<Question> m_askedQuestion;
    quint64 m_questionSerial = 0;
    QHash<const TransferWorker *, TransferWorker::Answer> m_batchAnswers;
};

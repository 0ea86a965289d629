#include "TransferManager.h"

#include <IWHost.h>
#include <WFtpMain.h>
#include <WivoraAccount.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include <QPointer>

namespace {
// Waiting transfers sleep on their own thread, so the pool must hold
// every transfer of the session, not one per core.
constexpr int MaxWorkerThreads = 64;
// How soon a worker waiting for an overwrite answer notices a stop.
constexpr std::chrono::milliseconds StopPoll(50);

// One overwrite question between a worker and the manager's thread.
struct PendingAnswer
{
    std::mutex mutex;
    std::condition_variable given;
    std::optional<TransferWorker::Answer> answer;
};
} // namespace

TransferManager::TransferManager(WFtpMain &main, QObject *parent) : QObject(parent), m_main(main)
{
    m_pool.setMaxThreadCount(MaxWorkerThreads);
}

TransferManager::~TransferManager()
{
    haltAllTransfers();
    m_pool.waitForDone();
}

QSharedPointer<TransferWorker> TransferManager::addTransfer(const QMap<QString, bool> &items,
                                                            const QString &targetPath, const QString &basePath)
{
    auto worker = QSharedPointer<TransferWorker>::create(m_main, items, targetPath, basePath, &m_slots);
    const QWeakPointer<TransferWorker> weak = worker;
    worker->setOverwriteQuestion([this, weak](const QString &target) {
        const QSharedPointer<TransferWorker> transfer = weak.toStrongRef();
        return transfer ? askOverwrite(transfer, target) : TransferWorker::Answer::No;
    });
    // A stopped transfer leaves the list once its worker is out of the way.
    connect(worker.data(), &TransferWorker::finished, this, [this, weak] {
        const QSharedPointer<TransferWorker> transfer = weak.toStrongRef();
        if (transfer && transfer->isStopped())
            drop(transfer.data());
    });
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
    if (n <= 0)
        return;
    m_slots.setMaxSlots(n);
    emit maxTransfersChanged(n);
}

void TransferManager::loadMaxTransfers()
{
    IWHost *const host = m_main.host();
    const QSharedPointer<WivoraAccount> account = host ? host->getAccount() : nullptr;
    if (account)
        setMaxTransfers(account->accountData->getSetting(QLatin1String(MaxTransfersSetting)).toInt());
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
    const auto transfers = m_transfers;
    for (const auto &transfer : transfers)
        removeTransfer(transfer);
}

void TransferManager::haltAllTransfers()
{
    for (const auto &transfer : m_transfers)
        transfer->halt();
    stopAllTransfers();
}

void TransferManager::removeTransfer(const QSharedPointer<TransferWorker> &transfer)
{
    transfer->stop();
    // Otherwise its finished signal drops it.
    if (transfer->hasReturned())
        drop(transfer.data());
}

void TransferManager::clearFinished()
{
    const auto transfers = m_transfers;
    for (const auto &transfer : transfers) {
        if (transfer->hasReturned())
            drop(transfer.data());
    }
}

void TransferManager::setOverwriteAsk(OverwriteAsk ask)
{
    m_overwriteAsk = std::move(ask);
    if (m_overwriteAsk)
        return;
    // Nobody left to ask: what waits keeps its target.
    const QList<Question> waiting = m_waitingQuestions;
    m_waitingQuestions.clear();
    if (m_askedQuestion) {
        const Question asked = *m_askedQuestion;
        m_askedQuestion.reset();
        asked.answer(TransferWorker::Answer::No);
    }
    for (const Question &question : waiting)
        question.answer(TransferWorker::Answer::No);
}

void TransferManager::drop(TransferWorker *transfer)
{
    for (int i = 0; i < m_transfers.size(); ++i) {
        if (m_transfers[i].data() != transfer)
            continue;
        const QSharedPointer<TransferWorker> dropped = m_transfers.takeAt(i);
        m_batchAnswers.remove(dropped.data());
        emit transferRemoved(dropped);
        // Its question, if out, will not be answered now: the next one goes.
        if (m_askedQuestion && m_askedQuestion->transfer == dropped) {
            m_askedQuestion.reset();
            askNext();
        }
        return;
    }
}

TransferWorker::Answer TransferManager::askOverwrite(const QSharedPointer<TransferWorker> &transfer,
                                                     const QString &target)
{
    // Runs on the worker's thread: the question is put on the manager's
    // thread, and the wait ends with "no" as soon as the transfer is
    // stopped, so a stop never waits for an answer.
    const auto pending = std::make_shared<PendingAnswer>();
    const auto answer = [pending](TransferWorker::Answer given) {
        std::lock_guard<std::mutex> lock(pending->mutex);
        if (!pending->answer)
            pending->answer = given;
        pending->given.notify_all();
    };
    QMetaObject::invokeMethod(
        this, [this, question = Question{transfer, target, answer}] { queueQuestion(question); },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(pending->mutex);
    while (!pending->answer) {
        if (transfer->isStopped())
            return TransferWorker::Answer::No;
        pending->given.wait_for(lock, StopPoll);
    }
    return *pending->answer;
}

void TransferManager::queueQuestion(const Question &question)
{
    if (answerWithoutAsking(question))
        return;
    m_waitingQuestions.append(question);
    askNext();
}

bool TransferManager::answerWithoutAsking(const Question &question)
{
    if (!m_overwriteAsk || question.transfer->isStopped()) {
        question.answer(TransferWorker::Answer::No);
        return true;
    }
    const auto given = m_batchAnswers.constFind(question.transfer.data());
    if (given == m_batchAnswers.constEnd())
        return false;
    question.answer(*given);
    return true;
}

void TransferManager::askNext()
{
    while (!m_askedQuestion && !m_waitingQuestions.isEmpty()) {
        const Question next = m_waitingQuestions.takeFirst();
        if (answerWithoutAsking(next))
            continue;
        m_askedQuestion = next;
        const quint64 serial = ++m_questionSerial;
        const QPointer<TransferManager> self(this);
        m_overwriteAsk(next.transfer, next.target, [self, serial](TransferWorker::Answer given) {
            if (self)
                self->onAnswered(serial, given);
        });
    }
}

void TransferManager::onAnswered(quint64 serial, TransferWorker::Answer given)
{
    // A late answer to a question given up on (its transfer went) counts
    // for nothing.
    if (!m_askedQuestion || serial != m_questionSerial)
        return;
    const Question asked = *m_askedQuestion;
    m_askedQuestion.reset();
    if (given == TransferWorker::Answer::YesToAll || given == TransferWorker::Answer::NoToAll) {
        for (const auto &transfer : qAsConst(m_transfers)) {
            if (!transfer->hasReturned())
                m_batchAnswers.insert(transfer.data(), given);
        }
    }
    asked.answer(given);
    askNext();
}

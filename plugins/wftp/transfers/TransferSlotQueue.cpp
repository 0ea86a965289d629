#include "TransferSlotQueue.h"

void TransferSlotQueue::enqueueTransfer(Transfer transfer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_waiting.contains(transfer) && !m_active.contains(transfer))
        m_waiting.append(transfer);
}

bool TransferSlotQueue::tryTakeSlot(Transfer transfer, int waitMs)
{
    {
        // A transfer not at the head must not take a permit from the one that is.
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_waiting.isEmpty() || m_waiting.first() != transfer)
            return false;
    }
    if (!m_permits.tryAcquire(1, waitMs))
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    // Removed from the list while waiting for the permit: give it back.
    if (m_waiting.isEmpty() || m_waiting.first() != transfer) {
        m_permits.release(1);
        return false;
    }
    m_waiting.removeFirst();
    m_active.append(transfer);
    return true;
}

bool TransferSlotQueue::releaseSlot(Transfer transfer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_active.removeOne(transfer))
        return false;
    m_permits.release(1);
    return true;
}

void TransferSlotQueue::removeFromQueue(Transfer transfer)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_waiting.removeOne(transfer))
            return;
    }
    releaseSlot(transfer);
}

void TransferSlotQueue::setMaxSlots(int maximum)
{
    m_permits.setMaxAvailable(maximum);
}

int TransferSlotQueue::heldSlots() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_active.size();
}

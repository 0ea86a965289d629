#pragma once

#include <QScalableSemaphore.h>

#include <QList>

#include <mutex>

// Decides which transfers may move data: at most the maximum at a time, and
// strictly in the order they joined the waiting list. A transfer is any
// object address; the queue never dereferences it.
class TransferSlotQueue
{
public:
    using Transfer = const void *;

    void enqueueTransfer(Transfer transfer);
    // True when this transfer is at the head of the waiting list and a permit
    // came within waitMs; it then holds a slot.
    bool tryTakeSlot(Transfer transfer, int waitMs);
    // Gives back the slot this transfer holds; one it merely waits for, or
    // none at all, returns no permit. True when a slot was held.
    bool releaseSlot(Transfer transfer);
    // Leaves the waiting list (no permit involved); a held slot is released.
    void removeFromQueue(Transfer transfer);
    void setMaxSlots(int maximum);
    int maxSlots() const { return m_permits.maxAvailable(); }
    int heldSlots() const;

private:
    QScalableSemaphore m_permits;
    mutable std::mutex m_mutex;
    QList<Transfer> m_waiting;
    QList<Transfer> m_active;
};

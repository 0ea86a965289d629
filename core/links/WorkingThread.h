#pragma once

#include <QThread>

// The event-loop thread of the link layer: the command stores, the
// local-command handler, the link manager and every link object live on it,
// so their queued slots run here.
class WorkingThread : public QThread
{
    Q_OBJECT

public:
    using QThread::QThread;

protected:
    void run() override;
};

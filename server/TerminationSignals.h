#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into signalTerminationRequested() on the thread
// that made the object, so the server stops through its event loop instead
// of inside a signal handler. One instance per process.
class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    bool isInstalled() const { return m_notifier != nullptr; }

signals:
    void signalTerminationRequested();

private slots:
    void slotSignalArrived();

private:
    static void handle(int signalNumber);

    QSocketNotifier *m_notifier = nullptr;
};

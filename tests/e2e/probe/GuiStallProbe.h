#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <atomic>

// The longest time the thread it lives on (the GUI thread) went without
// turning its event loop: a 1 ms timer notes the gap between its turns. It
// runs from the first takeLongestMs() on, so clients that never ask pay
// nothing. Safe to ask from any thread.
class GuiStallProbe : public QObject
{
    Q_OBJECT

public:
    explicit GuiStallProbe(QObject *parent = nullptr);

    // The longest gap in milliseconds since the last call (since the start
    // for the first), and starts anew; -1 when the probe was not running yet.
    double takeLongestMs();

private:
    void tick();

    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    std::atomic<bool> m_started{false};
    std::atomic<qint64> m_longestNs{0};
};

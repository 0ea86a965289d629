#include "GuiStallProbe.h"

GuiStallProbe::GuiStallProbe(QObject *parent) : QObject(parent)
{
    m_timer.setInterval(1);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &GuiStallProbe::tick);
}

double GuiStallProbe::takeLongestMs()
{
    if (!m_started.exchange(true)) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_sinceTick.start();
                m_timer.start();
            },
            Qt::QueuedConnection);
        return -1;
    }
    return double(m_longestNs.exchange(0)) / 1e6;
}

void GuiStallProbe::tick()
{
    const qint64 gap = m_sinceTick.nsecsElapsed();
    m_sinceTick.start();
    qint64 longest = m_longestNs.load();
    while (gap > longest && !m_longestNs.compare_exchange_weak(longest, gap)) {
    }
}

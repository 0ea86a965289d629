#pragma once

// Input delivered while a wait that keeps events flowing runs, as a user can.

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

// Presses a button once more as soon as it is disabled, that is while the
// wait it started runs: the press is queued, so it runs inside that wait's
// event loop. When the wait ended before the loop ran, the press is not made
// and waitEndedFirst tells that the attempt showed nothing.
class PressAgainWhileBusy : public QObject
{
public:
    explicit PressAgainWhileBusy(QPushButton *button)
        : m_button(button)
    {
        button->installEventFilter(this);
    }
    bool pressedWhileBusy = false;
    bool waitEndedFirst = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::EnabledChange && !m_button->isEnabled() && !m_queued) {
            m_queued = true;
            // A posted call, not a zero timer: posted events run in order,
            // so this one runs before the call that ends the wait.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (m_button->isEnabled()) {
                        waitEndedFirst = true; // too late to tell anything
                        return;
                    }
                    QTest::mouseClick(m_button, Qt::LeftButton);
                    pressedWhileBusy = true;
                },
                Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QPushButton *m_button;
    bool m_queued = false;
};

// Runs input from inside a running event loop, as the program's input
// always is: the waits it starts then keep events flowing. Returns once the
// input was handled and what it queued has run.
inline void deliverFromEventLoop(const std::function<void()> &input)
{
    QEventLoop loop;
    QTimer::singleShot(0, &loop, [&] {
        input();
        loop.quit();
    });
    loop.exec();
    QCoreApplication::processEvents();
}


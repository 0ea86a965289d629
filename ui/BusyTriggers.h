#pragma once

#include <QList>
#include <QPointer>

#include <initializer_list>

class QObject;

// Disables the buttons and actions that start a wait, for as long as the
// wait runs. Waits on the server keep events flowing, so without this a
// second click would start the same work again inside the first. Each
// trigger gets back the state it had; one deleted meanwhile is skipped.
class BusyTriggers
{
public:
    // Takes QWidget and QAction objects; anything else, and null, is ignored.
    explicit BusyTriggers(std::initializer_list<QObject *> triggers);
    ~BusyTriggers();

    BusyTriggers(const BusyTriggers &) = delete;
    BusyTriggers &operator=(const BusyTriggers &) = delete;

private:
    struct Held
    {
        QPointer<QObject> trigger;
        bool wasEnabled;
    };
    QList<Held> m_held;
};

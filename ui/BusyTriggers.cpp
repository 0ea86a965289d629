#include "BusyTriggers.h"

#include <QAction>
#include <QWidget>

namespace {

bool isEnabled(const QObject *trigger, bool *known)
{
    *known = true;
    // A widget's own state, not the one it takes from a disabled parent.
    if (const auto *widget = qobject_cast<const QWidget *>(trigger))
        return !widget->testAttribute(Qt::WA_ForceDisabled);
    if (const auto *action = qobject_cast<const QAction *>(trigger))
        return action->isEnabled();
    *known = false;
    return false;
}

void setEnabled(QObject *trigger, bool enabled)
{
    if (auto *widget = qobject_cast<QWidget *>(trigger))
        widget->setEnabled(enabled);
    else if (auto *action = qobject_cast<QAction *>(trigger))
        action->setEnabled(enabled);
}

} // namespace

BusyTriggers::BusyTriggers(std::initializer_list<QObject *> triggers)
{
    for (QObject *trigger : triggers) {
        bool known = false;
        const bool wasEnabled = trigger ? isEnabled(trigger, &known) : false;
        if (!known)
            continue;
        m_held.append({trigger, wasEnabled});
        setEnabled(trigger, false);
    }
}

BusyTriggers::~BusyTriggers()
{
    for (const Held &held : m_held) {
        if (held.trigger)
            setEnabled(held.trigger, held.wasEnabled);
    }
}

#pragma once

#include "WMailConversation.h"

#include <QHash>
#include <QList>
#include <QObject>

#include <functional>

// Reads conversations off the thread it lives on (the GUI thread): a long
// history is read and replayed on a pool thread into an object of its own
// (which also folds a journal grown past the snapshot), whose state the
// conversation then takes on this thread. Work that needs a
// conversation loaded waits for it, in the order it was asked for.
class WMailConversationLoader : public QObject
{
    Q_OBJECT

public:
    explicit WMailConversationLoader(QObject *parent = nullptr);
    // A read still running is left to finish; its result is dropped.
    ~WMailConversationLoader() override;

    // Calls then(loaded) on this object's thread once conversation is loaded:
    // at once when it is and nothing waits for it, else after the read (and
    // after every call made for it earlier). loaded is false when its files
    // could not be read.
    void whenLoaded(const WMailConversation::Pointer &conversation, const std::function<void(bool loaded)> &then);
    // A read is under way, or work waits for one.
    bool isLoading(const WMailConversation::Pointer &conversation) const;
    bool isIdle() const { return m_waiting.isEmpty(); }

private:
    void finish(const WMailConversation::Pointer &conversation, const QSharedPointer<WMailConversation> &read);

    QHash<WMailConversation *, QList<std::function<void(bool)>>> m_waiting;
};

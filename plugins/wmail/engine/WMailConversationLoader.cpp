#include "WMailConversationLoader.h"

#include <QFutureWatcher>
#include <QThread>
#include <QtConcurrent>
#include <QtDebug>

WMailConversationLoader::WMailConversationLoader(QObject *parent) : QObject(parent) {}

WMailConversationLoader::~WMailConversationLoader() = default;

bool WMailConversationLoader::isLoading(const WMailConversation::Pointer &conversation) const
{
    return m_waiting.contains(conversation.data());
}

void WMailConversationLoader::whenLoaded(const WMailConversation::Pointer &conversation,
                                         const std::function<void(bool loaded)> &then)
{
    const auto waiting = m_waiting.find(conversation.data());
    if (waiting != m_waiting.end()) {
        waiting->append(then);
        return;
    }
    if (conversation->isLoaded()) {
        then(true);
        return;
    }
    m_waiting.insert(conversation.data(), {then});
    QThread *const home = thread();
    const QString folder = conversation->folder();
    const QString name = conversation->name();
    auto *watcher = new QFutureWatcher<QSharedPointer<WMailConversation>>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, conversation] {
        watcher->deleteLater();
        finish(conversation, watcher->result());
    });
    watcher->setFuture(QtConcurrent::run([folder, name, home] {
        QSharedPointer<WMailConversation> read(new WMailConversation(folder, name), &QObject::deleteLater);
        // A journal grown past the snapshot is folded here too, rather
        // than at the first change on the GUI thread.
        if (read->load() && read->isFoldDue() && !read->saveConversation())
            qWarning() << "wmail: the journal of" << name << "is folded at the next change";
        read->moveToThread(home); // taken over, and let go, there
        return read;
    }));
}

void WMailConversationLoader::finish(const WMailConversation::Pointer &conversation,
                                     const QSharedPointer<WMailConversation> &read)
{
    // Nothing else reads or changes a conversation that waits here, unless
    // it was loaded on this thread meanwhile: then that state stands.
    if (read && read->isLoaded() && !conversation->isLoaded())
        conversation->takeLoadedState(*read);
    const bool loaded = conversation->isLoaded();
    // Work that comes while these run finds the conversation loaded.
    const QList<std::function<void(bool)>> then = m_waiting.take(conversation.data());
    for (const auto &call : then)
        call(loaded);
}

#pragma once

#include "WMailConversation.h"
#include "WMailConversationLoader.h"
#include "WMailManager.h"

#include <KvrConfig.h>

#include <QAtomicInt>
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVariant>

class IWHost;
class WMailRenderer;

// The messaging plug-in's engine for one host: the conversations of the
// logged-in user, the chat page, the server time difference, and both roads
// of a message. Lives on the GUI thread; initPlugin and commandReceived may
// be called from any thread and do their filing work here.
class WMailMain : public QObject
{
    Q_OBJECT

public:
    explicit WMailMain(QObject *parent = nullptr);
    ~WMailMain() override;

    IWHost *host() const { return m_host; }
    void setHost(IWHost *host) { m_host = host; }
    WMailManager &manager() { return m_manager; }
    WMailRenderer *chatWidget() const { return m_chatWidget; }
    int timeDifference() const { return m_timeDifference.loadAcquire(); }
    // The logged-in user's name; empty while nobody is logged in.
    QString ownUser() const;
    // The picture in a contact's vCard; empty when there is none.
    QByteArray contactAvatar(const QString &user) const;

    void initPlugin();
    void closePlugin();
    // Shows the conversation with contact; it, or null when there is none.
    WMailConversation::Pointer setUser(const QString &contact);
    void signalReceived(const QString &name, const QMap<QString, QVariant> &params);
    void commandReceived(const QString &id, const QString &command);

    // Adds the user's own message under the conversation's view root, stores
    // its item and, when send is set, buffers it for every other participant.
    // The new id, or "" when nothing was made (no view root, nobody logged in,
    // a conversation of another login, or a message the host cannot carry or
    // that could not be saved: the user is told, and nothing is sent).
    QString createMessage(const WMailConversation::Pointer &conversation, const QByteArray &data,
                          const QString &itemType, bool send);
    // Every message that came was filed (or let go): none waits for its
    // turn or for its conversation to be read. On this object's thread.
    bool isFilingIdle();

private:
    void initOnThisThread();
    // Files what came, a slice of time at a time.
    void fileArrivals();
    void fileMessage(const QString &id, const KvrConfig &record, const QString &author);
    // Files it once its conversation is read (or could not be: it is then
    // tried again later).
    void fileInLoaded(const QString &id, const KvrConfig &record, const QString &author);
    void refileUnsaved();

    IWHost *m_host = nullptr;
    WMailManager m_manager;
    // Reads a conversation a message arrives for off this thread; the
    // messages wait for it in the order they came.
    WMailConversationLoader m_loader;
    QPointer<WMailRenderer> m_chatWidget; // not owned: the host shows it
    QAtomicInt m_timeDifference{0};
    // Received records whose message could not be saved, by record id, with
    // their authors: they stay in the host's input list and are filed again
    // until the save succeeds or the host lets them go.
    QHash<QString, QString> m_unsavedRecords;
    QTimer m_refileTimer;
    // Claimed records on their way to this thread, in the order they came.
    struct Arrival
    {
        QString id;
        KvrConfig record;
        QString author;
    };
    QMutex m_arrivalsMutex;
    QList<Arrival> m_arrivals;
    bool m_filingQueued = false; // a fileArrivals call is on its way
    // Set once initPlugin has queued the load of the logged-in user's
    // conversations; a record before that is left to the host.
    QAtomicInt m_started{0};
};

// The process's main object, made on first use (the host's setHostInterface,
// on the GUI thread); null after the library's clean-up.
WMailMain *wmailMain();

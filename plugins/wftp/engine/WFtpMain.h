#pragma once

#include "CommandParser.h"
#include "FileCache.h"
#include "SharePage.h"
#include "WFtpEngine.h"

#include <KvrConfig.h>

#include <QDateTime>
#include <QFuture>
#include <QHash>
#include <QImage>
#include <QMutex>
#include <QObject>
#include <QSharedPointer>
#include <QStringList>

#include <atomic>

class IWHost;

// The file-sharing controller of one plug-in object: the host pointer, the
// engine of the user's own interface (virtual paths "vls/..."), the request
// server with its serving engine, the listing cache, the contacts' discs the
// plug-in knows, and the maintenance of idle files and overdue records.
//
// It holds no widgets: the pages follow it through its signals, which are
// raised on delivery and pool threads and reach widgets queued to the thread
// they live on.
class WFtpMain : public QObject
{
    Q_OBJECT

public:
    static constexpr int RequestTimeoutMs = 10000;
    static constexpr int SweepIntervalMs = 5000;
    static constexpr int CleanIntervalMs = 600000;
    // How long a timed-out request's reply is still recognised and dropped.
    static constexpr int AbandonedReplyMs = 120000;

    explicit WFtpMain(QObject *parent = nullptr);
    ~WFtpMain() override;

    void setHost(IWHost *host);
    IWHost *host() const { return m_host.load(); }
    // The logged-in user's name; "" before a login.
    QString userName() const;
    bool isContact(const QString &user) const;

    QSharedPointer<WFtpEngine> engine() const { return m_engine; }
    CommandParser &commandParser() { return m_parser; }
    FileCache &fileCache() { return m_cache; }
    // The main page and the per-contact page, on the thread the controller
    // was made on.
    SharePage &mainPage() { return m_mainPage; }
    SharePage &userPage() { return m_userPage; }

    // A disc path with its folder part spelt out ("root" when left out), so
    // "vls/bob/Music" and "vls/bob/Music/root" compare equal.
    static QString normalisedDisc(const QString &path);
    // The owner part of a virtual path.
    static QString ownerOf(const QString &path);
    // A path as a person reads it: "vls/alice/Alice files/root/sub" becomes
    // "alice: Alice files/sub" (a shared folder's own name stays in its
    // place). Local paths and "/" are returned as they are. Only for
    // display: requests and stored records keep the virtual path.
    static QString shownPath(const QString &path);

    // Contacts' discs announced to this plug-in (guarded: pushes arrive on
    // several threads at once).
    QStringList knownDiscs() const;
    // Adds the path unless known; true when it was new.
    bool addKnownDisc(const QString &path);
    // Removes every known disc whose normalised form equals the path's.
    void removeKnownDisc(const QString &path);
    // Forgets the user's discs and tells the pages.
    void removeUserDiscs(const QString &user);
    void forgetUserDiscs(const QString &user);
    void clearKnownDiscs();

    // A reply that came too late is dropped on arrival instead of staying in
    // the host's input store.
    void abandonReply(const QString &id);
    bool takeAbandoned(const QString &id);

    // After each login (also from the reconnect thread) and at logout.
    void init();
    void close();
    // Answers one request and sends the reply back on the link it came by.
    void processCommand(const QString &id, const QString &command);
    void onSignalReceived(const QString &name, const QMap<QString, QVariant> &params);
    // Asks the selected contacts, or every online one when none is selected,
    // for their discs and tells them which of ours they may see.
    void refreshContactsFolders(int delayMs = 2000);
    // The same on a pool thread, unless one runs already or the session ended.
    void startContactsRefresh();

    // The user's own discs a page shows: the discs and folders `viewer` may
    // see, or every disc when `viewer` is the user or "". When that leaves
    // nothing, "My Shared Disc" (the plug-in's storage folder "myshareddisc",
    // made once) is shared first and every disc is shown, so there is always
    // a place to share from.
    QStringList ownDiscsFor(const QString &viewer);

    // Shares a local folder as a disc with users (every right, no expiry;
    // a user's earlier record is replaced) and tells them. The disc's path.
    QString shareFolderWith(const QString &localPath, const QStringList &users);
    // Stops sharing a disc and tells the users who could see it.
    bool stopSharing(const QString &discName);

    void startMaintenance();
    void stopMaintenance();
    bool maintenanceRunning() const;
    // Milliseconds between sweeps of idle files and cleans of overdue records;
    // tests shorten them.
    void setMaintenanceIntervals(int sweepMs, int cleanMs);

signals:
    // For the pages: a contact's disc appeared or went, a contact went
    // offline, a thumbnail of a listed file arrived.
    void friendDiscAdded(QString discPath);
    void friendDiscRemoved(QString discPath);
    void userDiscsRemoved(QString user);
    void fileThumbnail(QString folderPath, QString name, QImage picture);
    void friendDiscsCleared();
    void webFilesChanged();

private:
    void maintenanceLoop();

    std::atomic<IWHost *> m_host{nullptr};
    QSharedPointer<WFtpEngine> m_engine;
    CommandParser m_parser;
    FileCache m_cache;
    SharePage m_mainPage;
    SharePage m_userPage;

    mutable QMutex m_discsMutex;
    QStringList m_knownDiscs;
    QMutex m_abandonedMutex;
    QHash<QString, qint64> m_abandoned;

    mutable QMutex m_maintenanceMutex;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<int> m_sweepMs{SweepIntervalMs};
    std::atomic<int> m_cleanMs{CleanIntervalMs};
    QFuture<void> m_maintenance;
    std::atomic<bool> m_closing{false};
    QFuture<void> m_refresh;
};

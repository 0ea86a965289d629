#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <atomic>
#include <functional>

// Runs the server's costly password work (key derivation: checking a login's
// password and resealing the account text with contacts the administrator
// added, hashing a new password) on a few threads of its own, so a flood of
// it never holds the main server's thread. The queue is bounded: beyond it
// work is refused at once.
class PasswordWorkPool : public QObject
{
    Q_OBJECT
public:
    struct LoginCheck
    {
        QByteArray password;
        QString storedHash;
        // Only when contacts wait to be merged into the stored account text.
        QString accountText;
        QStringList pendingContacts;
    };
    struct LoginOutcome
    {
        bool verified = false;
        // The account text with the pending contacts; empty when none were
        // pending or the text did not open with the password.
        QString mergedAccountText;
    };

    explicit PasswordWorkPool(int threads, int maxWaiting, QObject *parent = nullptr);
    // Waits for the work that is running; its results are dropped.
    ~PasswordWorkPool() override;

    // Each runs the work off this thread and calls done on this object's
    // thread, unless context is gone by then. False (nothing runs) when
    // maxWaiting pieces of work are queued or running already.
    bool checkLogin(const LoginCheck &check, QObject *context, std::function<void(const LoginOutcome &)> done);
    // done receives the new hash, empty when it could not be made.
    bool hashPassword(const QByteArray &password, QObject *context, std::function<void(const QString &)> done);

    static LoginOutcome runLoginCheck(const LoginCheck &check);

private:
    // work runs on the pool and gives back what is to run on this thread.
    bool start(QObject *context, std::function<std::function<void()>()> work);

    QThreadPool m_pool;
    const int m_maxWaiting;
    std::atomic<int> m_waiting{0};
};

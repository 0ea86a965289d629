#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <atomic>
#include <functional>

// Runs the costly part of a login (the password's key derivation, and
// resealing the account text with contacts the administrator added) on a few
// threads of its own, so a flood of logins never holds the main server's
// thread. The queue is bounded: beyond it a check is refused at once.
class LoginCheckPool : public QObject
{
    Q_OBJECT
public:
    struct Check
    {
        QByteArray password;
        QString storedHash;
        // Only when contacts wait to be merged into the stored account text.
        QString accountText;
        QStringList pendingContacts;
    };
    struct Outcome
    {
        bool verified = false;
        // The account text with the pending contacts; empty when none were
        // pending or the text did not open with the password.
        QString mergedAccountText;
    };
    using Done = std::function<void(const Outcome &)>;

    explicit LoginCheckPool(int threads, int maxWaiting, QObject *parent = nullptr);
    // Waits for the checks that are running; their results are dropped.
    ~LoginCheckPool() override;

    // Runs check off this thread and calls done on this object's thread, unless
    // context is gone by then. False (nothing runs) when maxWaiting checks
    // are queued or running already.
    bool start(const Check &check, QObject *context, Done done);

    static Outcome run(const Check &check);

private:
    QThreadPool m_pool;
    const int m_maxWaiting;
    std::atomic<int> m_waiting{0};
};

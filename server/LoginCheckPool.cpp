#include "LoginCheckPool.h"

#include "AccountTexts.h"
#include "PasswordHash.h"

#include <QPointer>

LoginCheckPool::LoginCheckPool(int threads, int maxWaiting, QObject *parent)
    : QObject(parent)
    , m_maxWaiting(maxWaiting)
{
    m_pool.setMaxThreadCount(qMax(1, threads));
}

LoginCheckPool::~LoginCheckPool()
{
    m_pool.clear();
    m_pool.waitForDone();
}

LoginCheckPool::Outcome LoginCheckPool::run(const Check &check)
{
    Outcome outcome;
    outcome.verified = PasswordHash::verify(check.password, check.storedHash);
    if (outcome.verified && !check.pendingContacts.isEmpty())
        outcome.mergedAccountText = AccountTexts::mergeContacts(
            check.accountText, QString::fromUtf8(check.password), check.pendingContacts);
    return outcome;
}

bool LoginCheckPool::start(const Check &check, QObject *context, Done done)
{
    if (m_waiting.fetch_add(1) >= m_maxWaiting) {
        --m_waiting;
        return false;
    }
    // The guard is made and read on this object's thread only.
    QPointer<QObject> guard(context);
    m_pool.start([this, check, guard, done = std::move(done)]() {
        const Outcome outcome = run(check);
        --m_waiting;
        QMetaObject::invokeMethod(
            this, [guard, done, outcome] {
                if (guard)
                    done(outcome);
            },
            Qt::QueuedConnection);
    });
    return true;
}

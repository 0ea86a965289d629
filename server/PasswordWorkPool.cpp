#include "PasswordWorkPool.h"

#include "AccountTexts.h"
#include "PasswordHash.h"

#include <QPointer>

PasswordWorkPool::PasswordWorkPool(int threads, int maxWaiting, QObject *parent)
    : QObject(parent)
    , m_maxWaiting(maxWaiting)
{
    m_pool.setMaxThreadCount(qMax(1, threads));
}

PasswordWorkPool::~PasswordWorkPool()
{
    m_pool.clear();
    m_pool.waitForDone();
}

PasswordWorkPool::LoginOutcome PasswordWorkPool::runLoginCheck(const LoginCheck &check)
{
    LoginOutcome outcome;
    outcome.verified = PasswordHash::verify(check.password, check.storedHash);
    if (outcome.verified && !check.pendingContacts.isEmpty())
        outcome.mergedAccountText = AccountTexts::mergeContacts(
            check.accountText, QString::fromUtf8(check.password), check.pendingContacts);
    return outcome;
}

bool PasswordWorkPool::checkLogin(const LoginCheck &check, QObject *context,
                                  std::function<void(const LoginOutcome &)> done)
{
    return start(context, [check, done = std::move(done)]() -> std::function<void()> {
        const LoginOutcome outcome = runLoginCheck(check);
        return [done, outcome] { done(outcome); };
    });
}

bool PasswordWorkPool::hashPassword(const QByteArray &password, QObject *context,
                                    std::function<void(const QString &)> done)
{
    return start(context, [password, done = std::move(done)]() -> std::function<void()> {
        const QString hash = PasswordHash::create(password);
        return [done, hash] { done(hash); };
    });
}

bool PasswordWorkPool::start(QObject *context, std::function<std::function<void()>()> work)
{
    if (m_waiting.fetch_add(1) >= m_maxWaiting) {
        --m_waiting;
        return false;
    }
    // The guard is made and read on this object's thread only.
    QPointer<QObject> guard(context);
    m_pool.start([this, guard, work = std::move(work)]() {
        const std::function<void()> finish = work();
        --m_waiting;
        QMetaObject::invokeMethod(
            this, [guard, finish] {
                if (guard)
                    finish();
            },
            Qt::QueuedConnection);
    });
    return true;
}

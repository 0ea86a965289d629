#include "ListingGate.h"

ListingGate::Pass::~Pass()
{
    if (m_gate)
        m_gate->leave(m_user);
}

ListingGate::ListingGate(int perUser, int total) : m_perUser(qMax(1, perUser)), m_total(qMax(1, total)) {}

ListingGate::Pass ListingGate::tryEnter(const QString &user)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    int &mine = m_byUser[user];
    if (mine >= m_perUser || m_building >= m_total) {
        if (mine == 0)
            m_byUser.remove(user);
        return Pass();
    }
    ++mine;
    ++m_building;
    return Pass(this, user);
}

int ListingGate::building() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_building;
}

void ListingGate::leave(const QString &user)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    --m_building;
    auto it = m_byUser.find(user);
    if (it != m_byUser.end() && --it.value() <= 0)
        m_byUser.erase(it);
}

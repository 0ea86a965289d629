#pragma once

#include <QHash>
#include <QString>

#include <mutex>

// Bounds the folder listings the owner builds at once, per asking user and in
// all, so no contact can make it hold more than a few listing pages. A user
// over the bound is refused at once (the asker waits and asks again) rather
// than queued: a queue would itself be something a contact could fill.
class ListingGate
{
public:
    static constexpr int DefaultPerUser = 2;
    static constexpr int DefaultTotal = 8;

    // A place held while one page is built; released when it goes.
    class Pass
    {
    public:
        Pass() = default;
        Pass(Pass &&other) noexcept : m_gate(other.m_gate), m_user(std::move(other.m_user)) { other.m_gate = nullptr; }
        Pass &operator=(Pass &&) = delete;
        Pass(const Pass &) = delete;
        ~Pass();
        explicit operator bool() const { return m_gate != nullptr; }

    private:
        friend class ListingGate;
        Pass(ListingGate *gate, QString user) : m_gate(gate), m_user(std::move(user)) {}
        ListingGate *m_gate = nullptr;
        QString m_user;
    };

    explicit ListingGate(int perUser = DefaultPerUser, int total = DefaultTotal);

    // A held place, or an empty pass when user or everyone is at the bound.
    Pass tryEnter(const QString &user);
    int building() const;

private:
    void leave(const QString &user);

    const int m_perUser;
    const int m_total;
    mutable std::mutex m_mutex;
    QHash<QString, int> m_byUser;
    int m_building = 0;
};

#pragma once

#include <KvrConfig.h>

#include <QHash>
#include <QString>
#include <QtGlobal>

#include <optional>

// What the records waiting in the input list hold, per sender and for all
// senders together, and whose record must go before another one fits.
//
// Anyone with an account may send this client records (relayed through the
// server, or over a link), and a record no plug-in claims waits for minutes:
// without caps a stranger fills the client's memory. Each sender (the
// record's "Wivora::sender") has a budget of its own, so a flood only ever
// pushes out the flooder's own older records; the main server's pushes
// ("Local::"/"WebLocal::" records without a sender) have a budget apart from
// the peers', so no peer can push them out either.
//
// The default caps are far above what a session holds: plug-ins claim their
// records at once, and what stays is a few replies that came after their
// asker gave up or records of a plug-in that is not loaded.
// - One sender: 1000 records, 32 MiB (two link frames of the largest size).
//   The record being added always goes in, so a buffered record of up to its
//   maximum size (64 MiB) still arrives whole.
// - All senders together: 10000 records, 128 MiB (room for that largest
//   record beside many busy contacts).
// - The main server: 1000 records, 16 MiB (its pushes are small and handled
//   at once).
//
// Not thread-safe: the input list's lock guards it.
class InputListBudget
{
public:
    struct Caps
    {
        int records = 0;
        qint64 bytes = 0;
    };
    struct Limits
    {
        Caps perSender;
        Caps allSenders;
        Caps server;
    };
    static Limits defaultLimits();

    // The budget the record counts under: its sender, or the main server's
    // (a name no user can have).
    static QString ownerOf(const KvrConfig &record);
    static const QString ServerOwner;
    // The memory the record's keys and values take, near enough.
    static qint64 sizeOf(const KvrConfig &record);

    explicit InputListBudget(const Limits &limits = defaultLimits());

    void setLimits(const Limits &limits) { m_limits = limits; }

    // The owner whose oldest record must be dropped before a record of that
    // size from owner fits; none when it fits already. Once the owner has no
    // record left the new one always fits its own budget; the total then
    // drops from the sender holding the most.
    std::optional<QString> ownerToMakeRoomFor(const QString &owner, qint64 bytes) const;

    void add(const QString &owner, qint64 bytes);
    void remove(const QString &owner, qint64 bytes);

private:
    struct Usage
    {
        int records = 0;
        qint64 bytes = 0;
    };
    static bool exceeds(const Usage &usage, qint64 addedBytes, const Caps &caps);
    // The peer sender holding the most bytes.
    QString largestSender() const;

    Limits m_limits;
    QHash<QString, Usage> m_owners; // only owners holding records
    Usage m_senders;                // every owner but the server
};

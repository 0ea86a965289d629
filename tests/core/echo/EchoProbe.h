#pragma once

#include <KvrConfig.h>

#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QPair>
#include <QString>
#include <QVariantMap>
#include <QtPlugin>

class EchoProbe;
class IWHost;

// One call the echo plug-in saw, in arrival order.
struct EchoEvent
{
    enum Kind {
        Command, // commandReceived: name and id
        Signal,  // signalReceived: name and params
        Call,    // setHostInterface, initPlugin, closePlugin, setUser (user in id)
    };
    Kind kind = Command;
    QString name;
    QString id;
    QVariantMap params;
    Qt::HANDLE thread = nullptr; // QThread::currentThreadId() of the caller
};

// A log that several echo plug-ins may share (each library file is a plug-in
// of its own), so a test sees the order of calls across plug-ins: each entry
// is the probe that was called and the call's name.
class EchoJournal
{
public:
    void append(const EchoProbe *probe, const QString &name)
    {
        QMutexLocker lock(&m_mutex);
        m_entries.append({probe, name});
    }
    QList<QPair<const EchoProbe *, QString>> entries() const
    {
        QMutexLocker lock(&m_mutex);
        return m_entries;
    }

private:
    mutable QMutex m_mutex;
    QList<QPair<const EchoProbe *, QString>> m_entries;
};

// The test-facing side of the echo plug-in: reach it with
// qobject_cast<EchoProbe *>(instance). Every operation is safe from any thread.
class EchoProbe
{
public:
    virtual ~EchoProbe() = default;

    virtual IWHost *host() const = 0;
    virtual QList<EchoEvent> events() const = 0;
    virtual void clearEvents() = 0;
    // Every later call is also written to the journal (null: none).
    virtual void setJournal(EchoJournal *journal) = 0;

    // Hands the record to the host for `user` (IWHost::sendCommand).
    virtual void send(const QString &user, const KvrConfig &record, bool serverConnection,
                      const QString &connectionID) = 0;
    // Hands the record to the host's buffered delivery (IWHost::bufferCommand).
    virtual void buffer(const QString &user, const KvrConfig &record) = 0;
    // Takes the received record with that "ID" from the host, waiting up to
    // timeoutMs with events flowing; an empty record when none came.
    virtual KvrConfig waitForRecord(const QString &id, int timeoutMs) = 0;
};

Q_DECLARE_INTERFACE(EchoProbe, "com.wivora.Wivora.tests.EchoProbe/1.0")

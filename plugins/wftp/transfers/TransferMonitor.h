#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

// The own files contacts have open at this moment, with the bytes each
// contact has read or written so far. Fed by the serving engine's signals,
// which come from its request and clean-up threads: the monitor lives on the
// GUI thread and gets them queued.
class TransferMonitor : public QObject
{
    Q_OBJECT

public:
    struct Entry
    {
        QString path;
        QString user;
        qint64 bytesRead = 0;
        qint64 bytesWritten = 0;
        bool lastWasWrite = false;
    };

    using QObject::QObject;

    // "1024 bytes", "1 kb", "4768 mb": nothing above mb.
    static QString formatAmount(qint64 bytes);

    QStringList fileIds() const { return m_order; }
    Entry entry(const QString &fileId) const { return m_entries.value(fileId); }
    // "<path> read: <amount>" or "<path> written: <amount>".
    QString text(const QString &fileId) const;

public slots:
    void addFile(const QString &fileId, const QString &path, const QString &user);
    void removeFile(const QString &fileId);
    void addRead(const QString &fileId, qint64 bytes);
    void addWrite(const QString &fileId, qint64 bytes);

signals:
    void fileAdded(const QString &fileId);
    void fileRemoved(const QString &fileId);
    void fileChanged(const QString &fileId);

private:
    QHash<QString, Entry> m_entries;
    QStringList m_order;
};

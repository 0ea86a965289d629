#pragma once

#include <QObject>
#include <QUrl>

#include <atomic>

// Fetches one file into a folder for the next start (plug-ins, installers):
// only a complete 200 answer with a body is kept, written under a temporary
// name and renamed, so a failed or cut download leaves nothing behind.
//
// fetch blocks its caller with the thread's events flowing; cancel, from any
// thread, ends it at once.
class StagedDownload : public QObject
{
    Q_OBJECT

public:
    enum class Result { Staged, Failed, Cancelled };

    // A download that receives nothing for this long fails.
    static constexpr int DefaultStallTimeoutMs = 60000;
    // No staged file is ever bigger.
    static constexpr qint64 MaxBytes = 512LL * 1024 * 1024;

    explicit StagedDownload(QObject *parent = nullptr);

    // The URL's own file name; empty when it has none usable as one ("", ".",
    // "..", or a separator in it).
    static QString fileNameOf(const QUrl &url);

    Result fetch(const QUrl &url, const QString &targetPath, int stallTimeoutMs = DefaultStallTimeoutMs);
    void cancel();
    bool isCancelled() const { return m_cancelled; }

signals:
    // total is -1 while the size is not known.
    void progress(qint64 received, qint64 total);

private:
    std::atomic<bool> m_cancelled{false};
};

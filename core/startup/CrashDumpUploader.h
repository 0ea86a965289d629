#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <atomic>

// Sends the crash reports that CrashHandler left in the dumps folder to the
// account web site, one after another, smallest first. A report is deleted
// only when the site answers exactly "ok"; any other outcome (another answer,
// no connection, time-out) keeps it for the next start.
//
// It runs at start-up, on a pool thread: uploadAll() blocks its thread and
// needs no event loop of the caller.
class CrashDumpUploader
{
public:
    static constexpr int RequestTimeoutMs = 30000;

    CrashDumpUploader(const QString &dumpsFolder, const QUrl &reportUrl, int requestTimeoutMs = RequestTimeoutMs);

    // The account site's "/backend/crashreport.aspx".
    static QUrl defaultReportUrl();

    // "dumpdata=<Base64 of the dump, each '+' written as '{p}'>&ver=<version>&platform=<platform>".
    static QByteArray formBody(const QByteArray &dump);

    // Returns the number of reports the site accepted (and that were deleted).
    int uploadAll();

    // Thread-safe: uploadAll() gives up its current request and returns soon.
    void cancel();

private:
    bool upload(const QByteArray &body);

    const QString m_dumpsFolder;
    const QUrl m_reportUrl;
    const int m_requestTimeoutMs;
    std::atomic<bool> m_cancelled{false};
};

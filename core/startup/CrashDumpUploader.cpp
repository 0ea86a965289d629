#include "CrashDumpUploader.h"

#include "ClientVersion.h"
#include "ServiceSettings.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScopedPointer>
#include <QTimer>

namespace {

// How often a running request looks at its deadline and the cancel flag.
constexpr int kWatchIntervalMs = 100;

} // namespace

CrashDumpUploader::CrashDumpUploader(const QString &dumpsFolder, const QUrl &reportUrl, int requestTimeoutMs)
    : m_dumpsFolder(dumpsFolder), m_reportUrl(reportUrl), m_requestTimeoutMs(requestTimeoutMs)
{
}

QUrl CrashDumpUploader::defaultReportUrl()
{
    return QUrl(ServiceSettings::accountSite() + QStringLiteral("/backend/crashreport.aspx"));
}

QByteArray CrashDumpUploader::formBody(const QByteArray &dump)
{
    // The site reads the Base64 text as it is, apart from "{p}" for "+".
    return "dumpdata=" + dump.toBase64().replace('+', "{p}") + "&ver=" + ClientVersion::Version
           + "&platform=" + ClientVersion::Platform;
}

int CrashDumpUploader::uploadAll()
{
    const QFileInfoList dumps =
        QDir(m_dumpsFolder)
            .entryInfoList({QStringLiteral("*.dmp")}, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                           QDir::Size | QDir::Reversed);
    int accepted = 0;
    for (const QFileInfo &dump : dumps) {
        if (m_cancelled)
            break;
        QFile file(dump.filePath());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray body = formBody(file.readAll());
        file.close();
        if (upload(body) && QFile::remove(dump.filePath()))
            ++accepted;
    }
    return accepted;
}

void CrashDumpUploader::cancel()
{
    m_cancelled = true;
}

bool CrashDumpUploader::upload(const QByteArray &body)
{
    QNetworkAccessManager network;
    QScopedPointer<QNetworkReply> reply(network.post(QNetworkRequest(m_reportUrl), body));

    QEventLoop loop;
    QObject::connect(reply.data(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // A site that does not answer, or a program that is ending, ends the
    // request; the reply then reports an error and the dump stays.
    const QDeadlineTimer deadline(m_requestTimeoutMs);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, reply.data(), [this, &reply, &deadline] {
        if (m_cancelled || deadline.hasExpired())
            reply->abort();
    });
    if (!reply->isFinished()) {
        watch.start(kWatchIntervalMs);
        loop.exec();
    }
    return reply->error() == QNetworkReply::NoError && reply->readAll() == "ok";
}

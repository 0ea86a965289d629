#include "WebSite.h"

#include "CrashDumpForm.h"
#include "WebConnection.h"
#include "WebForm.h"
#include "WebPages.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

Q_LOGGING_CATEGORY(lcWeb, "wivora.web")

using WebHttp::http::status;
using WebHttp::http::verb;

const QString kServerPublicKeyFile = QStringLiteral("server_public.pem");

WebHttp::StringResponse notFound()
{
    return WebHttp::htmlResponse(status::not_found, WebPages::notFoundPage());
}

WebHttp::StringResponse methodNotAllowed(const char *allowed)
{
    WebHttp::StringResponse response = WebHttp::textResponse(status::method_not_allowed, "Method not allowed\n");
    response.set(WebHttp::http::field::allow, allowed);
    return response;
}

// A name of a file directly inside one folder: nothing that climbs out of it
// or names a hidden file.
bool isPlainFileName(const QString &name)
{
    return !name.isEmpty() && !name.startsWith(QLatin1Char('.')) && !name.contains(QLatin1Char('/'))
        && !name.contains(QLatin1Char('\\')) && !name.contains(QLatin1String(".."))
        && !name.contains(QChar(0));
}

int statusOf(const WebHttp::StreamResponse &response)
{
    return int(response.header.result_int());
}

template<class Body>
int statusOf(const WebHttp::http::response<Body> &response)
{
    return int(response.result_int());
}

QByteArray staticPage(const QByteArray &path)
{
    if (path == "/")
        return WebPages::accountPage();
    if (path == "/pages/lostpassword.aspx")
        return WebPages::lostPasswordPage();
    if (path == "/pages/program/startpage.aspx")
        return WebPages::startPage();
    if (path == "/pages/help/help.aspx")
        return WebPages::helpPage();
    if (path == "/pages/invitefriends.aspx")
        return WebPages::invitePage();
    return QByteArray();
}

// The path's segments ("", "webfiles", user, page) without the query.
QList<QByteArray> pathSegments(const WebHttp::Request &request)
{
    const QByteArray target(request.target().data(), int(request.target().size()));
    return target.split('?').first().split('/');
}

bool isSharedFilePath(const QList<QByteArray> &segments)
{
    return segments.size() == 4 && segments.at(1) == "webfiles";
}

} // namespace

WebSite::WebSite(const QString &dataFolder, WebLocalBridge *bridge, const WebServerLimits &limits)
    : m_dataFolder(dataFolder)
    , m_sharedFiles(bridge, limits.clientTimeoutMs, limits.maxClientRequestsPerOwner,
                    limits.maxClientRequestsPerOwnerFromOneAddress)
    , m_crashReports(std::make_unique<CrashReportStore>(dumpsFolder(), limits.maxCrashReportBytes,
                                                        limits.maxCrashReportsFolderBytes,
                                                        limits.crashReportsPerAddressPerMinute))
{
}

bool WebSite::waitsForClient(const WebHttp::Request &request)
{
    return request.target().starts_with("/webfiles/");
}

OwnerRequestGate::Pass WebSite::admitClientRequest(const WebHttp::Request &request,
                                                   const QString &clientAddress) const
{
    const QList<QByteArray> segments = pathSegments(request);
    // Paths of no owner are answered without asking anyone.
    if (!isSharedFilePath(segments))
        return std::make_shared<int>();
    return m_sharedFiles.enter(WebForm::decodePathSegment(segments.at(2)), clientAddress);
}

WebReply WebSite::ownerBusy(const WebHttp::Request &request) const
{
    WebReply reply = WebSharedFiles::ownerBusy();
    log(request, reply);
    return reply;
}

QString WebSite::dumpsFolder() const
{
    return QDir(m_dataFolder).filePath(QStringLiteral("dumps"));
}

QString WebSite::downloadsFolder() const
{
    return QDir(m_dataFolder).filePath(QStringLiteral("downloads"));
}

WebReply WebSite::handle(const WebHttp::Request &request, WebConnection &connection,
                         const OwnerRequestGate::Pass &ownerPass) const
{
    WebReply reply = route(request, connection, ownerPass);
    log(request, reply);
    return reply;
}

void WebSite::log(const WebHttp::Request &request, const WebReply &reply) const
{
    const int status = std::visit([](const auto &response) { return statusOf(response); }, reply);
    qCInfo(lcWeb).noquote() << QLatin1String(request.method_string().data(), int(request.method_string().size()))
                            << QLatin1String(request.target().data(), int(request.target().size())) << status;
}

WebReply WebSite::route(const WebHttp::Request &request, WebConnection &connection,
                        const OwnerRequestGate::Pass &ownerPass) const
{
    const QByteArray target(request.target().data(), int(request.target().size()));
    const QByteArray path = target.split('?').first();

    if (path == "/backend/crashreport.aspx")
        return request.method() == verb::post ? storeCrashDump(request, connection.address) : methodNotAllowed("POST");

    const QList<QByteArray> segments = pathSegments(request);
    if (isSharedFilePath(segments)) {
        return m_sharedFiles.handle(request, WebForm::decodePathSegment(segments.at(2)),
                                    WebForm::decodePathSegment(segments.at(3)), connection, ownerPass);
    }

    const bool get = request.method() == verb::get;
    if (path == "/backend/publickey")
        return get ? publicKey() : methodNotAllowed("GET");
    if (segments.size() == 3 && segments.at(1) == "downloads")
        return get ? download(WebForm::decodePathSegment(segments.at(2))) : methodNotAllowed("GET");
    const QByteArray page = staticPage(path);
    if (page.isEmpty())
        return notFound();
    if (!get)
        return methodNotAllowed("GET");
    return WebHttp::htmlResponse(status::ok, page);
}

WebReply WebSite::storeCrashDump(const WebHttp::Request &request, const QString &clientAddress) const
{
    // Anything but "ok" makes the client keep its dump and send it again later.
    if (!m_crashReports->admit(clientAddress)) {
        WebHttp::StringResponse response =
            WebHttp::textResponse(status::too_many_requests, "Too many crash reports: try again later.\n");
        response.set(WebHttp::http::field::retry_after, "60");
        return response;
    }
    const WebHttp::StringResponse tooLarge =
        WebHttp::textResponse(status::payload_too_large, "The crash report is too large.\n");
    if (!m_crashReports->bodyMayFit(qint64(request.body().size())))
        return tooLarge;
    QByteArray dump;
    if (!CrashDumpForm::decode(QByteArray::fromStdString(request.body()), &dump))
        return WebHttp::textResponse(status::bad_request, "The crash report could not be read.\n");
    switch (m_crashReports->store(dump)) {
    case CrashReportStore::Result::Stored:
        return WebHttp::makeResponse(status::ok, "text/plain", "ok");
    case CrashReportStore::Result::TooLarge:
        return tooLarge;
    case CrashReportStore::Result::Failed:
        break;
    }
    return WebHttp::textResponse(status::internal_server_error, "The crash report could not be stored.\n");
}

WebReply WebSite::publicKey() const
{
    QFile file(QDir(m_dataFolder).filePath(kServerPublicKeyFile));
    if (!file.open(QIODevice::ReadOnly))
        return notFound();
    return WebHttp::makeResponse(status::ok, "text/plain; charset=us-ascii", file.readAll());
}

WebReply WebSite::download(const QString &fileName) const
{
    if (!isPlainFileName(fileName))
        return notFound();
    // Joined by hand: QDir::filePath hands a name that starts with ':' back
    // as it is (a path into resources), which open() reads in the working folder.
    const QString path = downloadsFolder() + QLatin1Char('/') + fileName;
    // Opened without following a symbolic link, and checked on the open
    // descriptor: nothing can swap the file between the check and the read.
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0)
        return notFound();
    boost::beast::file_posix file;
    file.native_handle(descriptor);
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
        return notFound();

    boost::beast::error_code error;
    WebHttp::FileResponse response;
    response.body().reset(std::move(file), error);
    if (error)
        return notFound();
    response.result(status::ok);
    response.set(WebHttp::http::field::server, "wivora-server");
    response.set(WebHttp::http::field::content_type, "application/octet-stream");
    return response;
}

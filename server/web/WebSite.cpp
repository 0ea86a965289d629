#include "WebSite.h"

#include "CrashDumpForm.h"
#include "WebForm.h"
#include "WebPages.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QUuid>

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

} // namespace

WebSite::WebSite(const QString &dataFolder, WebLocalBridge *bridge, int clientTimeoutMs)
    : m_dataFolder(dataFolder), m_sharedFiles(bridge, clientTimeoutMs)
{
}

QString WebSite::dumpsFolder() const
{
    return QDir(m_dataFolder).filePath(QStringLiteral("dumps"));
}

QString WebSite::downloadsFolder() const
{
    return QDir(m_dataFolder).filePath(QStringLiteral("downloads"));
}

WebReply WebSite::handle(const WebHttp::Request &request) const
{
    WebReply reply = route(request);
    const int status = std::visit([](const auto &response) { return statusOf(response); }, reply);
    qCInfo(lcWeb).noquote() << QLatin1String(request.method_string().data(), int(request.method_string().size()))
                            << QLatin1String(request.target().data(), int(request.target().size())) << status;
    return reply;
}

WebReply WebSite::route(const WebHttp::Request &request) const
{
    const QByteArray target(request.target().data(), int(request.target().size()));
    const QByteArray path = target.split('?').first();

    if (path == "/backend/crashreport.aspx")
        return request.method() == verb::post ? storeCrashDump(request) : methodNotAllowed("POST");

    const QList<QByteArray> segments = path.split('/');
    if (segments.size() == 4 && segments.at(1) == "webfiles") {
        return m_sharedFiles.handle(request, WebForm::decodePathSegment(segments.at(2)),
                                    WebForm::decodePathSegment(segments.at(3)));
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

WebReply WebSite::storeCrashDump(const WebHttp::Request &request) const
{
    QByteArray dump;
    if (!CrashDumpForm::decode(QByteArray::fromStdString(request.body()), &dump))
        return WebHttp::textResponse(status::bad_request, "The crash report could not be read.\n");

    // The file's name is ours: nothing from the request reaches the disk path.
    const QString folder = dumpsFolder();
    const QString name = QUuid::createUuid().toString(QUuid::Id128) + QStringLiteral(".dmp");
    QSaveFile file(QDir(folder).filePath(name));
    if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly) || file.write(dump) != dump.size()
        || !file.commit()) {
        qCWarning(lcWeb) << "cannot store crash dump in" << folder << file.errorString();
        // Anything but "ok" makes the client keep its dump and send it again.
        return WebHttp::textResponse(status::internal_server_error, "The crash report could not be stored.\n");
    }
    return WebHttp::makeResponse(status::ok, "text/plain", "ok");
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
    const QString path = QDir(downloadsFolder()).filePath(fileName);
    if (!QFileInfo(path).isFile())
        return notFound();

    boost::beast::error_code error;
    WebHttp::FileResponse response;
    response.body().open(QFile::encodeName(path).constData(), boost::beast::file_mode::scan, error);
    if (error)
        return notFound();
    response.result(status::ok);
    response.set(WebHttp::http::field::server, "wivora-server");
    response.set(WebHttp::http::field::content_type, "application/octet-stream");
    return response;
}

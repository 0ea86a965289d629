#include "WebSharedFiles.h"

#include "SharedFileSource.h"
#include "WebConnection.h"
#include "WebForm.h"
#include "WebLocalFileClient.h"
#include "WebPages.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

namespace {

using WebHttp::http::status;

WebHttp::StringResponse notAvailable(WebLocalFileClient::Answer answer)
{
    const QString message = answer == WebLocalFileClient::Answer::NoAnswer
        ? QStringLiteral("The owner of this file is not online now. Please try again later.")
        : QStringLiteral("This file is not shared (any more).");
    return WebHttp::htmlResponse(status::not_found,
                                 WebPages::messagePage(QStringLiteral("File not available"), message));
}

WebHttp::StringResponse tryPasswordLater(const QString &fileName, qint64 waitMs)
{
    const int seconds = int((waitMs + 999) / 1000);
    WebHttp::StringResponse later =
        WebHttp::htmlResponse(status::too_many_requests, WebPages::passwordLaterPage(fileName, seconds));
    later.set(WebHttp::http::field::retry_after, std::to_string(seconds));
    return later;
}

} // namespace

WebSharedFiles::WebSharedFiles(WebLocalBridge *bridge, int clientTimeoutMs, int maxRequestsPerOwner,
                               int maxRequestsPerOwnerFromOneAddress)
    : m_bridge(bridge), m_clientTimeoutMs(clientTimeoutMs),
      m_gate(std::make_unique<OwnerRequestGate>(maxRequestsPerOwner, maxRequestsPerOwnerFromOneAddress)),
      m_passwordGuesses(std::make_unique<PasswordGuessThrottle>())
{
}

bool WebSharedFiles::isUserName(const QString &user)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_@-][A-Za-z0-9_@.-]{0,63}$"));
    return pattern.match(user).hasMatch();
}

bool WebSharedFiles::isFileId(const QString &id)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^\\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\\}$"));
    return pattern.match(id).hasMatch();
}

QByteArray WebSharedFiles::attachmentDisposition(const QString &fileName)
{
    // Control characters, quotes, backslashes and path separators cannot
    // reach the header or the browser's save dialog.
    QString safe;
    for (const QChar c : fileName) {
        const bool unsafe = c.unicode() < 0x20 || c.unicode() == 0x7f || c == QLatin1Char('"')
            || c == QLatin1Char('\\') || c == QLatin1Char('/') || c.category() == QChar::Other_Format
            || c.isSurrogate();
        safe += unsafe ? QLatin1Char('_') : c;
    }
    safe = safe.trimmed();
    if (safe.isEmpty() || safe == QLatin1String(".") || safe == QLatin1String(".."))
        safe = QStringLiteral("download");

    QByteArray ascii;
    for (const QChar c : safe)
        ascii += c.unicode() < 0x7f ? char(c.unicode()) : '_';
    return "attachment; filename=\"" + ascii + "\"; filename*=UTF-8''" + safe.toUtf8().toPercentEncoding();
}

OwnerRequestGate::Pass WebSharedFiles::enter(const QString &user, const QString &address) const
{
    return m_gate->enter(user.toLower(), address);
}

WebHttp::StringResponse WebSharedFiles::ownerBusy()
{
    WebHttp::StringResponse busy = WebHttp::htmlResponse(
        status::service_unavailable,
        WebPages::messagePage(QStringLiteral("File not available now"),
                              QStringLiteral("The owner of this file is busy. Please try again later.")));
    busy.set(WebHttp::http::field::retry_after, "10");
    return busy;
}

WebReply WebSharedFiles::handle(const WebHttp::Request &request, const QString &user, const QString &page,
                                WebConnection &connection, const OwnerRequestGate::Pass &pass) const
{
    static const QString kSuffix = QStringLiteral(".html");
    const QString fileId = page.endsWith(kSuffix) ? page.chopped(kSuffix.size()) : QString();
    if (!isUserName(user) || !isFileId(fileId))
        return WebHttp::htmlResponse(status::not_found, WebPages::notFoundPage());
    const bool post = request.method() == WebHttp::http::verb::post;
    if (!post && request.method() != WebHttp::http::verb::get) {
        WebHttp::StringResponse response = WebHttp::textResponse(status::method_not_allowed, "Method not allowed\n");
        response.set(WebHttp::http::field::allow, "GET, POST");
        return response;
    }

    WebLocalFileClient client(m_bridge, user.toLower(), m_clientTimeoutMs);
    WebLocalFileClient::FileState file;
    WebLocalFileClient::Answer answer = client.checkAccessible(fileId, &file);
    if (answer != WebLocalFileClient::Answer::Yes)
        return notAvailable(answer);

    QString password;
    if (file.passwordRequired) {
        if (!post)
            return WebHttp::htmlResponse(status::ok, WebPages::passwordPage(file.fileName, false));
        const QByteArray body = QByteArray::fromStdString(request.body());
        password = WebForm::decodedField(body, "password");
        const qint64 waitMs = m_passwordGuesses->admit(connection.address, connection.passwordGuesses,
                                                       QDeadlineTimer::current().deadline());
        if (waitMs > 0)
            return tryPasswordLater(file.fileName, waitMs);
        answer = client.checkPassword(fileId, password);
        if (answer == WebLocalFileClient::Answer::Yes)
            m_passwordGuesses->succeeded(connection.address, connection.passwordGuesses);
        if (answer == WebLocalFileClient::Answer::No)
            return WebHttp::htmlResponse(status::forbidden, WebPages::passwordPage(file.fileName, true));
        if (answer != WebLocalFileClient::Answer::Yes)
            return notAvailable(answer);
    }

    QString openId;
    qint64 size = 0;
    answer = client.open(fileId, password, &openId, &size);
    if (answer != WebLocalFileClient::Answer::Yes)
        return notAvailable(answer);

    WebHttp::StreamResponse response;
    response.header.result(status::ok);
    response.header.set(WebHttp::http::field::server, "wivora-server");
    response.header.set(WebHttp::http::field::content_type, "application/octet-stream");
    response.header.set(WebHttp::http::field::content_disposition, attachmentDisposition(file.fileName).toStdString());
    response.header.set(WebHttp::http::field::cache_control, "no-store");
    response.header.set(WebHttp::http::field::content_length, std::to_string(size));
    response.source = std::make_shared<SharedFileSource>(client, openId, size, pass);
    return response;
}

#include "WebReply.h"

namespace WebHttp {

StringResponse makeResponse(http::status status, const char *contentType, const QByteArray &body)
{
    StringResponse response(status, 11);
    response.set(http::field::server, "wivora-server");
    response.set(http::field::content_type, contentType);
    response.set("X-Content-Type-Options", "nosniff");
    response.body().assign(body.constData(), std::size_t(body.size()));
    return response;
}

StringResponse htmlResponse(http::status status, const QByteArray &html)
{
    return makeResponse(status, "text/html; charset=utf-8", html);
}

StringResponse textResponse(http::status status, const QByteArray &text)
{
    return makeResponse(status, "text/plain; charset=utf-8", text);
}

} // namespace WebHttp

#pragma once

#include "WebBodySource.h"

#include <QByteArray>

#include <boost/beast/http.hpp>

#include <memory>
#include <variant>

namespace WebHttp {
namespace http = boost::beast::http;

using Request = http::request<http::string_body>;
using StringResponse = http::response<http::string_body>;
using FileResponse = http::response<http::file_body>;

// A response whose header is known at once and whose body comes from a
// source; the header carries the body's Content-Length.
struct StreamResponse
{
    http::response_header<> header;
    std::shared_ptr<WebBodySource> source;
};
} // namespace WebHttp

// What a route answers: a body in memory, a file on disk, or a body streamed
// from a source.
using WebReply = std::variant<WebHttp::StringResponse, WebHttp::FileResponse, WebHttp::StreamResponse>;

namespace WebHttp {
// A response with a body in memory; the session sets version and keep-alive.
StringResponse makeResponse(http::status status, const char *contentType, const QByteArray &body);
StringResponse htmlResponse(http::status status, const QByteArray &html);
StringResponse textResponse(http::status status, const QByteArray &text);
} // namespace WebHttp

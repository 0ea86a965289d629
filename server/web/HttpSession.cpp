#include "HttpSession.h"

#include "WebSite.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;

HttpSession::HttpSession(net::ip::tcp::socket socket, const WebSite &site, net::thread_pool &workers,
                         net::thread_pool &clientWorkers, const WebServerLimits &limits)
    : m_stream(std::move(socket)), m_site(site), m_workers(workers), m_clientWorkers(clientWorkers), m_limits(limits)
{
    boost::system::error_code error;
    const auto remote = m_stream.socket().remote_endpoint(error);
    if (!error)
        m_connection.address = QString::fromStdString(remote.address().to_string());
}

void HttpSession::start()
{
    // Start on the connection's strand: every handler of this session runs there.
    net::dispatch(m_stream.get_executor(), beast::bind_front_handler(&HttpSession::readRequest, shared_from_this()));
}

void HttpSession::readRequest()
{
    m_parser.emplace();
    m_parser->body_limit(m_limits.maxBodyBytes);
    m_parser->header_limit(std::uint32_t(m_limits.maxHeaderBytes));
    m_stream.expires_after(m_limits.readTimeout);
    http::async_read(m_stream, m_buffer, *m_parser,
                     [self = shared_from_this()](beast::error_code error, std::size_t) { self->onRead(error); });
}

void HttpSession::onRead(beast::error_code error)
{
    if (error == http::error::body_limit)
        return refuse(http::status::payload_too_large, "The request body is too large.\n");
    if (error == http::error::header_limit)
        return refuse(http::status::request_header_fields_too_large, "The request header is too large.\n");
    if (error == http::error::end_of_stream)
        return shutdown();
    if (error) {
        // A request that does not parse gets an answer; a connection that
        // failed, timed out or was closed by the client just ends.
        if (error.category() == http::make_error_code(http::error::bad_target).category()
            && error != http::error::partial_message)
            refuse(http::status::bad_request, "The request could not be read.\n");
        return;
    }
    answer(m_parser->release());
}

void HttpSession::refuse(http::status status, const char *reason)
{
    m_keepAlive = false;
    m_version = 11;
    send(WebHttp::textResponse(status, reason));
}

void HttpSession::answer(WebHttp::Request request)
{
    m_version = request.version();
    m_keepAlive = request.keep_alive();
    // The owner's share is checked before queueing, so a request over it is
    // answered at once rather than after the ones waiting ahead of it.
    OwnerRequestGate::Pass ownerPass;
    if (WebSite::waitsForClient(request)) {
        ownerPass = m_site.admitClientRequest(request, m_connection.address);
        if (!ownerPass)
            return send(m_site.ownerBusy(request));
    }
    net::thread_pool &pool = ownerPass ? m_clientWorkers : m_workers;
    net::post(pool, [self = shared_from_this(), request = std::move(request), ownerPass]() {
        // One request of a connection is answered at a time: the worker has
        // the connection's state to itself.
        WebReply reply = self->m_site.handle(request, self->m_connection, ownerPass);
        net::post(self->m_stream.get_executor(), [self, reply = std::move(reply)]() mutable {
            self->send(std::move(reply));
        });
    });
}

void HttpSession::send(WebReply reply)
{
    std::visit([this](auto &response) { deliver(std::move(response)); }, reply);
}

template<class Body>
void HttpSession::deliver(http::response<Body> response)
{
    auto outgoing = std::make_shared<http::response<Body>>(std::move(response));
    outgoing->version(m_version);
    outgoing->keep_alive(m_keepAlive);
    outgoing->prepare_payload();
    m_stream.expires_after(m_limits.writeTimeout);
    http::async_write(m_stream, *outgoing,
                      [self = shared_from_this(), outgoing](beast::error_code error, std::size_t) {
                          self->onWritten(outgoing->need_eof(), error);
                      });
}

void HttpSession::onWritten(bool closeAfter, beast::error_code error)
{
    if (error)
        return;
    if (closeAfter)
        return shutdown();
    readRequest();
}

void HttpSession::deliver(WebHttp::StreamResponse response)
{
    m_source = std::move(response.source);
    m_streamMessage = std::make_unique<http::response<http::buffer_body>>(std::move(response.header));
    m_streamMessage->version(m_version);
    m_streamMessage->keep_alive(m_keepAlive);
    m_streamMessage->body().data = nullptr;
    m_streamMessage->body().more = true;
    m_streamSerializer = std::make_unique<http::response_serializer<http::buffer_body>>(*m_streamMessage);
    m_stream.expires_after(m_limits.writeTimeout);
    http::async_write_header(m_stream, *m_streamSerializer,
                             [self = shared_from_this()](beast::error_code error, std::size_t) {
                                 if (error)
                                     self->endStream(false);
                                 else
                                     self->fetchPiece();
                             });
}

void HttpSession::fetchPiece()
{
    // Pieces come from a file owner's client.
    net::post(m_clientWorkers, [self = shared_from_this()]() {
        QByteArray piece;
        bool last = false;
        const bool ok = self->m_source->next(&piece, &last);
        net::post(self->m_stream.get_executor(),
                  [self, ok, piece, last]() { self->writePiece(ok, piece, last); });
    });
}

void HttpSession::writePiece(bool ok, const QByteArray &piece, bool last)
{
    if (!ok)
        return endStream(false);
    m_piece = piece;
    m_pieceWritten = 0;
    m_pieceIsLast = last;
    writeSlice();
}

void HttpSession::writeSlice()
{
    const std::size_t remaining = std::size_t(m_piece.size() - m_pieceWritten);
    const std::size_t slice = std::min(remaining, m_limits.downloadSliceBytes());
    const bool final = m_pieceIsLast && slice == remaining;
    m_streamMessage->body().data = m_piece.data() + m_pieceWritten;
    m_streamMessage->body().size = slice;
    m_streamMessage->body().more = !final;
    // A reader that takes longer for a slice is under the minimum rate.
    m_stream.expires_after(m_limits.downloadRateWindow);
    http::async_write(m_stream, *m_streamSerializer,
                      [self = shared_from_this(), slice, final](beast::error_code error, std::size_t) {
                          self->onSliceWritten(slice, final, error);
                      });
}

void HttpSession::onSliceWritten(std::size_t sliceBytes, bool final, beast::error_code error)
{
    // The serializer asks for the next slice with need_buffer.
    if (error == http::error::need_buffer)
        error = {};
    if (error)
        return endStream(false);
    if (final)
        return endStream(true);
    m_pieceWritten += int(sliceBytes);
    if (m_pieceWritten < m_piece.size())
        return writeSlice();
    fetchPiece();
}

void HttpSession::endStream(bool completed)
{
    net::post(m_clientWorkers, [source = std::move(m_source)]() { source->finish(); });
    const bool keepAlive = m_streamMessage->keep_alive();
    m_streamSerializer.reset();
    m_streamMessage.reset();
    m_piece.clear();
    if (!completed) {
        // The header promised a length the body cannot reach: the client must
        // see the transfer fail, so the connection ends at once.
        m_stream.close();
        return;
    }
    if (keepAlive)
        readRequest();
    else
        shutdown();
}

void HttpSession::shutdown()
{
    beast::error_code ignored;
    m_stream.socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
}

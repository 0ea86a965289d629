#pragma once

#include "WebConnection.h"
#include "WebReply.h"
#include "WebServerLimits.h"

#include <QString>

#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <memory>
#include <optional>

class WebSite;

// One client connection: reads requests within the size and time limits,
// has the site build each answer on a worker thread (so a slow answer never
// holds a socket thread; one that waits for a file owner's client runs on the
// threads kept for those, so it never holds a page's worker), and writes it
// back; keeps the connection for the next request when the client asks for that.
// A streamed body is written in slices, each with a deadline, so a reader
// below the minimum rate lets go of the owner's place it holds.
class HttpSession : public std::enable_shared_from_this<HttpSession>
{
public:
    HttpSession(boost::asio::ip::tcp::socket socket, const WebSite &site, boost::asio::thread_pool &workers,
                boost::asio::thread_pool &clientWorkers, const WebServerLimits &limits);

    void start();

private:
    void readRequest();
    void onRead(boost::beast::error_code error);
    // Answers a request that could not be read, then closes the connection.
    void refuse(boost::beast::http::status status, const char *reason);
    void answer(WebHttp::Request request);
    void send(WebReply reply);
    template<class Body>
    void deliver(boost::beast::http::response<Body> response);
    void deliver(WebHttp::StreamResponse response);
    void onWritten(bool closeAfter, boost::beast::error_code error);

    // A response whose body is fetched piece by piece on the workers and
    // written slice by slice.
    void fetchPiece();
    void writePiece(bool ok, const QByteArray &piece, bool last);
    void writeSlice();
    void onSliceWritten(std::size_t sliceBytes, bool final, boost::beast::error_code error);
    void endStream(bool completed);

    void shutdown();

    boost::beast::tcp_stream m_stream;
    boost::beast::flat_buffer m_buffer;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> m_parser;
    const WebSite &m_site;
    boost::asio::thread_pool &m_workers;
    boost::asio::thread_pool &m_clientWorkers;
    const WebServerLimits &m_limits;
    WebConnection m_connection;

    unsigned m_version = 11;
    bool m_keepAlive = false;

    std::shared_ptr<WebBodySource> m_source;
    std::unique_ptr<boost::beast::http::response<boost::beast::http::buffer_body>> m_streamMessage;
    std::unique_ptr<boost::beast::http::response_serializer<boost::beast::http::buffer_body>> m_streamSerializer;
    QByteArray m_piece;
    int m_pieceWritten = 0;
    bool m_pieceIsLast = false;
};

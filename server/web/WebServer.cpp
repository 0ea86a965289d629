#include "WebServer.h"

#include "HttpSession.h"
#include "WebSite.h"

#include <QDebug>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <exception>
#include <thread>
#include <vector>

namespace net = boost::asio;
using net::ip::tcp;

struct WebServer::Private
{
    Private(const QString &dataFolder, WebLocalBridge *bridge, const WebServerLimits &limits)
        : limits(limits), site(dataFolder, bridge, limits)
    {
    }

    void accept();
    void runIo();
    void release();

    const WebServerLimits limits;
    const WebSite site;
    // Destroyed in release() in this order: the workers may hold sessions,
    // whose sockets need the I/O context.
    std::unique_ptr<net::thread_pool> workers;
    std::unique_ptr<net::thread_pool> clientWorkers;
    std::unique_ptr<net::io_context> io;
    std::unique_ptr<net::executor_work_guard<net::io_context::executor_type>> work;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<net::steady_timer> retryTimer;
    std::vector<std::thread> ioThreads;
    quint16 port = 0;
};

void WebServer::Private::accept()
{
    acceptor->async_accept(net::make_strand(*io), [this](boost::system::error_code error, tcp::socket socket) {
        if (error == net::error::operation_aborted || !acceptor->is_open())
            return;
        if (!error) {
            std::make_shared<HttpSession>(std::move(socket), site, *workers, *clientWorkers, limits)->start();
            accept();
            return;
        }
        // Out of descriptors or similar: try again shortly instead of spinning.
        qWarning() << "web server: accept failed:" << error.message().c_str();
        retryTimer->expires_after(std::chrono::milliseconds(200));
        retryTimer->async_wait([this](boost::system::error_code timerError) {
            if (!timerError)
                accept();
        });
    });
}

void WebServer::Private::runIo()
{
    for (;;) {
        try {
            io->run();
            return;
        } catch (const std::exception &exception) {
            qWarning() << "web server: request handler failed:" << exception.what();
        }
    }
}

void WebServer::Private::release()
{
    for (auto *pool : {workers.get(), clientWorkers.get()}) {
        if (pool) {
            pool->stop();
            pool->join();
        }
    }
    workers.reset();
    clientWorkers.reset();
    retryTimer.reset();
    acceptor.reset();
    work.reset();
    io.reset();
    port = 0;
}

WebServer::WebServer(const QString &dataFolder, WebLocalBridge *bridge, const WebServerLimits &limits)
    : d(std::make_unique<Private>(dataFolder, bridge, limits))
{
}

WebServer::~WebServer()
{
    stop();
}

bool WebServer::start(const QString &host, quint16 port)
{
    if (isRunning())
        return false;
    try {
        d->io = std::make_unique<net::io_context>();
        d->work = std::make_unique<net::executor_work_guard<net::io_context::executor_type>>(d->io->get_executor());
        d->workers = std::make_unique<net::thread_pool>(std::size_t(std::max(1, d->limits.workerThreads)));
        d->clientWorkers = std::make_unique<net::thread_pool>(std::size_t(std::max(1, d->limits.clientThreads)));

        boost::system::error_code error;
        tcp::resolver resolver(*d->io);
        const auto endpoints = resolver.resolve(host.toStdString(), std::to_string(port),
                                                tcp::resolver::passive | tcp::resolver::numeric_service, error);
        if (error || endpoints.empty()) {
            qWarning() << "web server: cannot resolve" << host << error.message().c_str();
            d->release();
            return false;
        }
        const tcp::endpoint endpoint = endpoints.begin()->endpoint();
        d->acceptor = std::make_unique<tcp::acceptor>(*d->io);
        d->acceptor->open(endpoint.protocol(), error);
        if (!error)
            d->acceptor->set_option(net::socket_base::reuse_address(true), error);
        if (!error)
            d->acceptor->bind(endpoint, error);
        if (!error)
            d->acceptor->listen(net::socket_base::max_listen_connections, error);
        if (error) {
            qWarning() << "web server: cannot listen on" << host << port << error.message().c_str();
            d->release();
            return false;
        }
        d->port = d->acceptor->local_endpoint().port();
        d->retryTimer = std::make_unique<net::steady_timer>(*d->io);
        d->accept();
        for (int i = 0; i < std::max(1, d->limits.ioThreads); ++i)
            d->ioThreads.emplace_back([this] { d->runIo(); });
    } catch (const std::exception &exception) {
        qWarning() << "web server: cannot start:" << exception.what();
        stop();
        return false;
    }
    return true;
}

void WebServer::stop()
{
    if (!d->io)
        return;
    d->work.reset();
    d->io->stop();
    for (std::thread &thread : d->ioThreads)
        thread.join();
    d->ioThreads.clear();
    d->release();
}

bool WebServer::isRunning() const
{
    return d->io != nullptr;
}

quint16 WebServer::port() const
{
    return d->port;
}

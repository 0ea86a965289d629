#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <thread>

// The transports' process-wide I/O service: one io_context run on one
// dedicated thread. Every socket of every link lives here, so socket
// operations are serialised without locks and no link depends on the
// event loop of the thread that created it.
class IoService
{
public:
    static IoService &instance();

    boost::asio::io_context &context() { return m_context; }
    // True on the I/O thread itself, where nothing may block.
    bool isIoThread() const { return std::this_thread::get_id() == m_thread.get_id(); }

private:
    IoService();
    ~IoService();
    IoService(const IoService &) = delete;
    IoService &operator=(const IoService &) = delete;

    boost::asio::io_context m_context{1};
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_work;
    std::thread m_thread;
};

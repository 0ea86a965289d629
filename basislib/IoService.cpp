#include "IoService.h"

#include <QtGlobal>

#include <openssl/crypto.h>

#include <exception>

IoService &IoService::instance()
{
    static IoService service;
    return service;
}

IoService::IoService()
    : m_work(boost::asio::make_work_guard(m_context))
{
    // Initialise OpenSSL before this service exists, so that its clean-up at
    // exit runs after the I/O thread has been joined; the thread releases its
    // own OpenSSL state when it ends.
    OPENSSL_init_crypto(0, nullptr);
    m_thread = std::thread([this] {
        for (;;) {
            try {
                m_context.run();
                OPENSSL_thread_stop();
                return;
            } catch (const std::exception &e) {
                // A handler must never take the whole I/O service down.
                qWarning("I/O service: handler failed: %s", e.what());
            } catch (...) {
                qWarning("I/O service: handler failed");
            }
        }
    });
}

IoService::~IoService()
{
    m_work.reset();
    m_context.stop();
    if (m_thread.joinable())
        m_thread.join();
}

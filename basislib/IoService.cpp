#include "IoService.h"

#include "KvrConfig.h"
#include "TlsContexts.h"

#include <QtGlobal>

#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <exception>

IoService &IoService::instance()
{
    static IoService service;
    return service;
}

IoService::IoService()
    : m_work(boost::asio::make_work_guard(m_context))
{
    // At exit, what lives in static storage is torn down in the reverse order
    // of its making, and this service's destructor joins the I/O thread. So
    // everything the thread takes from static storage is made here, before
    // this service is complete: a frame arriving during exit never meets
    // freed state. OpenSSL registers its clean-up when it first initialises
    // for real (a call without options does nothing); the thread releases
    // its own OpenSSL state when it ends.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    TlsContexts::forConnecting();
    TlsContexts::forAccepting(QString());
    KvrConfig();
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

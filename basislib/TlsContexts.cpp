#include "TlsContexts.h"

#include "OpenSslHandles.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <QCryptographicHash>

#include <list>
#include <mutex>
#include <utility>

namespace {

// A client has one account key and the server one key: a few entries cover
// every process, tests with many accounts included.
constexpr std::size_t kKeptAcceptingContexts = 16;
constexpr long kCertificateDays = 3650;

int noPassphrase(char *, int, int, void *) { return 0; }

PKey readPrivateKey(const QString &pem)
{
    const QByteArray text = pem.toLatin1();
    Bio bio(BIO_new_mem_buf(text.constData(), text.size()));
    if (!bio)
        return {};
    PKey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr));
    if (!key || !EVP_PKEY_is_a(key.get(), "RSA"))
        return {};
    return key;
}

// Only the public key inside matters to the far side, which pins it.
Certificate selfSignedCertificate(EVP_PKEY *key)
{
    Certificate certificate(X509_new());
    unsigned char serial[16];
    if (!certificate || RAND_bytes(serial, sizeof serial) != 1)
        return {};
    serial[0] &= 0x7f; // a positive serial number
    BIGNUM *number = BN_bin2bn(serial, sizeof serial, nullptr);
    ASN1_INTEGER *asn1Serial = number ? BN_to_ASN1_INTEGER(number, nullptr) : nullptr;
    BN_free(number);
    X509_NAME *name = X509_get_subject_name(certificate.get());
    const bool made = asn1Serial && X509_set_version(certificate.get(), 2) == 1
                      && X509_set_serialNumber(certificate.get(), asn1Serial) == 1
                      && X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -24 * 3600)
                      && X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kCertificateDays * 24 * 3600)
                      && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                                    reinterpret_cast<const unsigned char *>("wivora"), -1, -1, 0)
                             == 1
                      && X509_set_issuer_name(certificate.get(), name) == 1
                      && X509_set_pubkey(certificate.get(), key) == 1
                      && X509_sign(certificate.get(), key, EVP_sha256()) > 0;
    ASN1_INTEGER_free(asn1Serial);
    return made ? std::move(certificate) : Certificate();
}

std::shared_ptr<SSL_CTX> newContext(const SSL_METHOD *method)
{
    SSL_CTX *native = SSL_CTX_new(method);
    if (!native)
        return {};
    SSL_CTX_set_min_proto_version(native, TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(native, TLS1_3_VERSION);
    SSL_CTX_set_options(native, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_num_tickets(native, 0);
    SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_OFF);
    // Links run TLS over their own buffers: reading ahead takes every whole
    // record that arrived in one go.
    SSL_CTX_set_read_ahead(native, 1);
    return std::shared_ptr<SSL_CTX>(native, SSL_CTX_free);
}

std::shared_ptr<SSL_CTX> makeAccepting(const QString &privateKey)
{
    const PKey key = readPrivateKey(privateKey);
    const Certificate certificate = key ? selfSignedCertificate(key.get()) : Certificate();
    std::shared_ptr<SSL_CTX> context = certificate ? newContext(TLS_server_method()) : nullptr;
    if (!context) {
        ERR_clear_error();
        return {};
    }
    SSL_CTX *native = context.get();
    if (SSL_CTX_use_certificate(native, certificate.get()) != 1 || SSL_CTX_use_PrivateKey(native, key.get()) != 1
        || SSL_CTX_check_private_key(native) != 1) {
        ERR_clear_error();
        return {};
    }
    return context;
}

} // namespace

std::shared_ptr<SSL_CTX> TlsContexts::forConnecting()
{
    static const std::shared_ptr<SSL_CTX> context = newContext(TLS_client_method());
    return context;
}

std::shared_ptr<SSL_CTX> TlsContexts::forAccepting(const QString &privateKey)
{
    static std::mutex mutex;
    static std::list<std::pair<QByteArray, std::shared_ptr<SSL_CTX>>> kept; // most recent first
    const QByteArray digest = QCryptographicHash::hash(privateKey.toLatin1(), QCryptographicHash::Sha256);
    std::lock_guard<std::mutex> lock(mutex);
    for (auto entry = kept.begin(); entry != kept.end(); ++entry) {
        if (entry->first == digest) {
            kept.splice(kept.begin(), kept, entry);
            return kept.front().second;
        }
    }
    std::shared_ptr<SSL_CTX> context = makeAccepting(privateKey);
    if (!context)
        return {};
    kept.emplace_front(digest, context);
    if (kept.size() > kKeptAcceptingContexts)
        kept.pop_back();
    return context;
}

bool TlsContexts::verifyPinnedKey(X509_STORE_CTX *verifyContext, const QByteArray &pinnedKeyDer)
{
    // The leaf certificate, whatever depth OpenSSL is checking now: only the
    // key the far side proved to hold matters.
    X509 *peer = X509_STORE_CTX_get0_cert(verifyContext);
    EVP_PKEY *key = peer ? X509_get0_pubkey(peer) : nullptr;
    unsigned char *der = nullptr;
    const int length = key ? i2d_PUBKEY(key, &der) : -1;
    const bool same = length > 0 && !pinnedKeyDer.isEmpty()
                      && QByteArray::fromRawData(reinterpret_cast<const char *>(der), length) == pinnedKeyDer;
    OPENSSL_free(der);
    return same;
}

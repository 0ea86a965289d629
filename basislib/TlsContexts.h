#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct x509_store_ctx_st X509_STORE_CTX;

// The TLS settings of every TCP link: TLS 1.3 only, no session tickets (a
// link never resumes). The accepting side holds nothing but an RSA key pair,
// so its certificate is made from that key in memory and signed by it; the
// connecting side trusts no authority, only the far side's public key it was
// given (see verifyPinnedKey).
class TlsContexts
{
public:
    TlsContexts() = delete;

    // Shared by every connecting link.
    static std::shared_ptr<SSL_CTX> forConnecting();
    // One per private key (kept for the next link with the same key); null
    // for a key that cannot be read.
    static std::shared_ptr<SSL_CTX> forAccepting(const QString &privateKey);

    // True when the peer certificate in `verifyContext` carries exactly the
    // public key whose SubjectPublicKeyInfo DER is `pinnedKeyDer`. Names,
    // dates and issuers do not count.
    static bool verifyPinnedKey(X509_STORE_CTX *verifyContext, const QByteArray &pinnedKeyDer);
};

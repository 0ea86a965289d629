#pragma once

#include "basislib_global.h"

#include <QByteArray>
#include <QString>

// Keys are PEM texts: public keys as SubjectPublicKeyInfo, private keys as
// unencrypted PKCS#8. Every operation fails by its result (empty bytes or
// false) on a malformed key or input; nothing throws.
struct BASISLIB_EXPORT WKeyPair
{
    QString publicKey;
    QString privateKey;
    bool isValid() const { return !publicKey.isEmpty() && !privateKey.isEmpty(); }
};

class BASISLIB_EXPORT WCryptography
{
public:
    // `bytes` bytes from the system's cryptographic random source; the default
    // of 32 is the least for a challenge or a key. Empty when bytes < 1.
    static QByteArray GenerateRandom(int bytes = 32);

    // An RSA key pair; invalid (empty) below 2048 bits.
    static WKeyPair GenerateKeyPair(int bits = 2048);

    // RSA PKCS#1 v1.5 signature over SHA-256. Empty on a bad key or an empty message.
    static QByteArray SignMessageRSASHA(const QString &privateKey, const QByteArray &message);
    // False on any error, a wrong key, a damaged signature and an empty message.
    static bool VerifyMessageRSASHA(const QString &publicKey, const QByteArray &signature,
                                    const QByteArray &message);

    // The DER form of a public key's SubjectPublicKeyInfo: what links pin and
    // fingerprints are taken over. Empty for anything but an RSA public key.
    static QByteArray PublicKeyDer(const QString &publicKey);

    // RSA-OAEP (SHA-256) of a short secret (a session key) to a public key.
    static QByteArray SealToPublicKey(const QString &publicKey, const QByteArray &secret);
    static QByteArray OpenWithPrivateKey(const QString &privateKey, const QByteArray &sealed);

    // Password sealing: PBKDF2-HMAC-SHA256 with a random salt derives an
    // AES-256-GCM key. The sealed form is ASCII (Base64 of version, salt,
    // nonce, ciphertext and tag). Opening fails on a wrong password or any
    // damage.
    static QByteArray SealWithPassword(const QByteArray &plain, const QString &password);
    static bool OpenWithPassword(const QByteArray &sealed, const QString &password, QByteArray *plain);
};

#include "OpenSslBytes.h"
#include "WCryptography.h"

#include "OpenSslHandles.h"
#include "WAesGcm.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <memory>

namespace {

constexpr int MinimumRsaBits = 2048;
constexpr int MaximumRsaBits = 16384;

// Password sealing, version 1: "version | salt | nonce | ciphertext | tag".
constexpr char PasswordSealVersion = 1;
constexpr int SaltSize = 16;
// One derivation takes about 30 ms on a current desktop core: slow for a
// guesser, still quick for a log-in.
constexpr int Pbkdf2Iterations = 100000;
constexpr int HeaderSize = 1 + SaltSize + WAesGcm::NonceSize;

// Leaves no stale errors in the thread's OpenSSL error queue, which would
// otherwise grow and confuse later callers.
template <typename T>
T failed(T result = T())
{
    ERR_clear_error();
    return result;
}

using OpenSsl::bytes;

// Never asks a terminal for a pass phrase: our private keys are unencrypted.
int noPassphrase(char *, int, int, void *) { return 0; }

enum class KeyKind { Public, Private };

// An RSA key from its PEM text; null for anything else.
PKey readKey(const QString &pem, KeyKind kind)
{
    const QByteArray text = pem.toLatin1();
    if (text.isEmpty())
        return {};
    Bio bio(BIO_new_mem_buf(text.constData(), text.size()));
    if (!bio)
        return {};
    PKey key(kind == KeyKind::Public ? PEM_read_bio_PUBKEY(bio.get(), nullptr, noPassphrase, nullptr)
                                     : PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr));
    if (!key || !EVP_PKEY_is_a(key.get(), "RSA"))
        return {};
    return key;
}

QString bioText(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? QString::fromLatin1(data, int(size)) : QString();
}

bool setOaep(EVP_PKEY_CTX *ctx)
{
    return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0
           && EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256()) > 0
           && EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) > 0;
}

QByteArray derivePasswordKey(const QString &password, const char *salt)
{
    const QByteArray secret = password.toUtf8();
    QByteArray key(WAesGcm::KeySize, Qt::Uninitialized);
    if (PKCS5_PBKDF2_HMAC(secret.constData(), secret.size(), bytes(salt), SaltSize, Pbkdf2Iterations,
                          EVP_sha256(), key.size(), bytes(key.data()))
        != 1)
        return failed<QByteArray>();
    return key;
}

// Base64 whose decoding encodes back to exactly the same text: any changed,
// added or dropped character (even in the unused bits of the last one) is
// refused instead of being skipped or ignored.
bool decodeCanonicalBase64(const QByteArray &text, QByteArray *decoded)
{
    *decoded = QByteArray::fromBase64(text);
    return !decoded->isEmpty() && decoded->toBase64() == text;
}

} // namespace

QByteArray WCryptography::GenerateRandom(int bytesWanted)
{
    if (bytesWanted <= 0)
        return {};
    QByteArray random(bytesWanted, Qt::Uninitialized);
    if (RAND_bytes(bytes(random.data()), random.size()) != 1)
        return failed<QByteArray>();
    return random;
}

WKeyPair WCryptography::GenerateKeyPair(int bits)
{
    if (bits < MinimumRsaBits || bits > MaximumRsaBits)
        return {};
    PKeyContext ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY *generated = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0
        || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) <= 0
        || EVP_PKEY_generate(ctx.get(), &generated) <= 0)
        return failed<WKeyPair>();
    PKey key(generated);

    Bio publicBio(BIO_new(BIO_s_mem()));
    Bio privateBio(BIO_new(BIO_s_mem()));
    if (!publicBio || !privateBio || PEM_write_bio_PUBKEY(publicBio.get(), key.get()) != 1
        || PEM_write_bio_PrivateKey(privateBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return failed<WKeyPair>();
    WKeyPair pair;
    pair.publicKey = bioText(publicBio.get());
    pair.privateKey = bioText(privateBio.get());
    return pair.isValid() ? pair : WKeyPair();
}

QByteArray WCryptography::SignMessageRSASHA(const QString &privateKey, const QByteArray &message)
{
    if (message.isEmpty())
        return {};
    PKey key = readKey(privateKey, KeyKind::Private);
    DigestContext ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX *keyContext = nullptr; // owned by ctx
    size_t size = 0;
    if (!key || !ctx || EVP_DigestSignInit(ctx.get(), &keyContext, EVP_sha256(), nullptr, key.get()) != 1
        || EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) <= 0
        || EVP_DigestSign(ctx.get(), nullptr, &size, bytes(message.constData()), message.size()) != 1)
        return failed<QByteArray>();
    QByteArray signature(int(size), Qt::Uninitialized);
    if (EVP_DigestSign(ctx.get(), bytes(signature.data()), &size, bytes(message.constData()), message.size()) != 1)
        return failed<QByteArray>();
    signature.resize(int(size));
    return signature;
}

bool WCryptography::VerifyMessageRSASHA(const QString &publicKey, const QByteArray &signature,
                                        const QByteArray &message)
{
    if (message.isEmpty() || signature.isEmpty())
        return false;
    PKey key = readKey(publicKey, KeyKind::Public);
    DigestContext ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX *keyContext = nullptr; // owned by ctx
    if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), &keyContext, EVP_sha256(), nullptr, key.get()) != 1
        || EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) <= 0)
        return failed(false);
    const int verdict = EVP_DigestVerify(ctx.get(), bytes(signature.constData()), size_t(signature.size()),
                                         bytes(message.constData()), size_t(message.size()));
    return verdict == 1 ? true : failed(false);
}

QByteArray WCryptography::PublicKeyDer(const QString &publicKey)
{
    const PKey key = readKey(publicKey, KeyKind::Public);
    unsigned char *der = nullptr;
    const int length = key ? i2d_PUBKEY(key.get(), &der) : -1;
    if (length <= 0)
        return failed<QByteArray>();
    const QByteArray result(reinterpret_cast<const char *>(der), length);
    OPENSSL_free(der);
    return result;
}

QByteArray WCryptography::SealToPublicKey(const QString &publicKey, const QByteArray &secret)
{
    if (secret.isEmpty())
        return {};
    PKey key = readKey(publicKey, KeyKind::Public);
    if (!key)
        return failed<QByteArray>();
    PKeyContext ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    size_t size = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 || !setOaep(ctx.get())
        || EVP_PKEY_encrypt(ctx.get(), nullptr, &size, bytes(secret.constData()), size_t(secret.size())) <= 0)
        return failed<QByteArray>();
    QByteArray sealed(int(size), Qt::Uninitialized);
    if (EVP_PKEY_encrypt(ctx.get(), bytes(sealed.data()), &size, bytes(secret.constData()), size_t(secret.size()))
        <= 0)
        return failed<QByteArray>();
    sealed.resize(int(size));
    return sealed;
}

QByteArray WCryptography::OpenWithPrivateKey(const QString &privateKey, const QByteArray &sealed)
{
    if (sealed.isEmpty())
        return {};
    PKey key = readKey(privateKey, KeyKind::Private);
    if (!key)
        return failed<QByteArray>();
    PKeyContext ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    size_t size = 0;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 || !setOaep(ctx.get())
        || EVP_PKEY_decrypt(ctx.get(), nullptr, &size, bytes(sealed.constData()), size_t(sealed.size())) <= 0)
        return failed<QByteArray>();
    QByteArray secret(int(size), Qt::Uninitialized);
    if (EVP_PKEY_decrypt(ctx.get(), bytes(secret.data()), &size, bytes(sealed.constData()), size_t(sealed.size()))
        <= 0)
        return failed<QByteArray>();
    secret.resize(int(size));
    return secret;
}

QByteArray WCryptography::SealWithPassword(const QByteArray &plain, const QString &password)
{
    const QByteArray salt = GenerateRandom(SaltSize);
    const QByteArray nonce = GenerateRandom(WAesGcm::NonceSize);
    if (salt.isEmpty() || nonce.isEmpty())
        return {};
    WAesGcm cipher(derivePasswordKey(password, salt.constData()));
    QByteArray binary;
    binary.reserve(HeaderSize + plain.size() + WAesGcm::TagSize);
    binary.append(PasswordSealVersion).append(salt).append(nonce);
    if (!cipher.seal(nonce, plain.constData(), plain.size(), &binary))
        return {};
    return binary.toBase64();
}

bool WCryptography::OpenWithPassword(const QByteArray &sealed, const QString &password, QByteArray *plain)
{
    if (!plain)
        return false;
    QByteArray binary;
    // Structure is checked before the (deliberately slow) key derivation.
    if (!decodeCanonicalBase64(sealed, &binary) || binary.size() < HeaderSize + WAesGcm::TagSize
        || binary.at(0) != PasswordSealVersion)
        return false;
    // A wrong salt or nonce gives a wrong key or key stream, so the tag
    // covers the whole header; an unknown version never gets this far.
    WAesGcm cipher(derivePasswordKey(password, binary.constData() + 1));
    const QByteArray nonce = binary.mid(1 + SaltSize, WAesGcm::NonceSize);
    QByteArray opened;
    if (!cipher.open(nonce, binary.constData() + HeaderSize, binary.size() - HeaderSize, &opened))
        return false;
    *plain = opened;
    return true;
}

#include "OpenSslBytes.h"
#include "WAesGcm.h"

#include "OpenSslHandles.h"

#include <QtEndian>

#include <openssl/err.h>
#include <openssl/evp.h>

#include <climits>
#include <cstring>

namespace {

// A context holding the key schedule; each message later only sets its nonce.
CipherContext makeContext(const QByteArray &key, bool encrypt)
{
    CipherContext ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        return {};
    const auto *k = reinterpret_cast<const unsigned char *>(key.constData());
    const int ok = encrypt ? EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, k, nullptr)
                           : EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, k, nullptr);
    if (ok != 1) {
        ERR_clear_error();
        return {};
    }
    return ctx;
}

using OpenSsl::bytes;

} // namespace

// GCM only ever runs AES forwards, but the EVP layer keeps an encrypt/decrypt
// mode per context, so each direction of use gets its own keyed context.
struct WAesGcm::Context
{
    CipherContext encrypt;
    CipherContext decrypt;
};

WAesGcm::WAesGcm(const QByteArray &key)
    : m(new Context)
{
    if (key.size() != KeySize)
        return;
    m->encrypt = makeContext(key, true);
    m->decrypt = makeContext(key, false);
}

WAesGcm::~WAesGcm() = default;

bool WAesGcm::isValid() const
{
    return m->encrypt && m->decrypt;
}

bool WAesGcm::seal(const QByteArray &nonce, const char *plain, int len, QByteArray *out)
{
    if (!isValid() || !out || nonce.size() != NonceSize || len < 0 || (len > 0 && !plain)
        || len > INT_MAX - TagSize - out->size())
        return false;
    EVP_CIPHER_CTX *ctx = m->encrypt.get();
    if (EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, bytes(nonce.constData())) != 1) {
        ERR_clear_error();
        return false;
    }
    const int start = out->size();
    out->resize(start + len + TagSize);
    unsigned char *dst = bytes(out->data()) + start;
    int written = 0;
    int finalWritten = 0;
    const bool ok = (len == 0 || EVP_EncryptUpdate(ctx, dst, &written, bytes(plain), len) == 1)
                    && EVP_EncryptFinal_ex(ctx, dst + written, &finalWritten) == 1
                    && written + finalWritten == len
                    && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, TagSize, dst + len) == 1;
    if (!ok) {
        ERR_clear_error();
        out->resize(start);
    }
    return ok;
}

bool WAesGcm::open(const QByteArray &nonce, const char *sealed, int len, QByteArray *out)
{
    if (!out)
        return false;
    if (!isValid() || nonce.size() != NonceSize || len < TagSize || !sealed) {
        out->clear();
        return false;
    }
    EVP_CIPHER_CTX *ctx = m->decrypt.get();
    const int cipherLen = len - TagSize;
    // The tag control takes a mutable buffer.
    unsigned char tag[TagSize];
    memcpy(tag, sealed + cipherLen, TagSize);
    if (EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, bytes(nonce.constData())) != 1
        || EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, TagSize, tag) != 1) {
        ERR_clear_error();
        out->clear();
        return false;
    }
    // A buffer the caller reuses keeps its capacity.
    out->resize(cipherLen);
    unsigned char *dst = bytes(out->data());
    int written = 0;
    int finalWritten = 0;
    const bool ok = (cipherLen == 0 || EVP_DecryptUpdate(ctx, dst, &written, bytes(sealed), cipherLen) == 1)
                    && EVP_DecryptFinal_ex(ctx, dst + written, &finalWritten) == 1
                    && written + finalWritten == cipherLen;
    if (!ok) {
        // Never hand out plain text whose tag did not match.
        ERR_clear_error();
        out->clear();
    }
    return ok;
}

QByteArray WAesGcm::counterNonce(quint32 direction, quint64 counter)
{
    QByteArray nonce(NonceSize, Qt::Uninitialized);
    qToBigEndian(direction, nonce.data());
    qToBigEndian(counter, nonce.data() + 4);
    return nonce;
}

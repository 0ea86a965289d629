#pragma once

#include "basislib_global.h"

#include <QByteArray>

#include <memory>

// AES-256-GCM under one fixed key, reusable for any number of messages: a
// link keeps one per direction and numbers its nonces. Not thread-safe: each
// direction of a link is driven by one thread at a time.
class BASISLIB_EXPORT WAesGcm
{
public:
    static constexpr int KeySize = 32;
    static constexpr int NonceSize = 12;
    static constexpr int TagSize = 16;

    explicit WAesGcm(const QByteArray &key);
    ~WAesGcm();
    WAesGcm(const WAesGcm &) = delete;
    WAesGcm &operator=(const WAesGcm &) = delete;

    bool isValid() const;

    // Appends ciphertext and tag (len + TagSize bytes) to `out`.
    bool seal(const QByteArray &nonce, const char *plain, int len, QByteArray *out);
    // Replaces `out` with the plain text; false when the tag does not match.
    bool open(const QByteArray &nonce, const char *sealed, int len, QByteArray *out);

    // A nonce made of a 4-byte direction tag and a 64-bit big-endian counter.
    static QByteArray counterNonce(quint32 direction, quint64 counter);

private:
    struct Context;
    std::unique_ptr<Context> m;
};

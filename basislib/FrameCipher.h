#pragma once

#include "WAesGcm.h"

#include <QByteArray>

// One direction of a private link: seals or opens frames with AES-256-GCM
// under nonces made of the direction's tag and a running frame counter. A
// frame is a 4-byte big-endian length followed by ciphertext and tag, so the
// far side can never be made to accept a frame out of order, twice, or one
// reflected from the other direction. Used by one thread at a time.
class FrameCipher
{
public:
    static constexpr int HeaderSize = 4;

    FrameCipher(const QByteArray &key, quint32 direction);

    bool isValid() const { return m_aes.isValid(); }

    // Appends the whole frame (header included) for `plain` to `out`.
    bool sealFrame(const char *plain, int len, QByteArray *out);
    // Opens a frame body (the bytes after the header) into `plain`.
    bool openFrame(const char *sealed, int len, QByteArray *plain);

    static quint32 readLength(const char *header);
    static void appendLength(QByteArray *out, quint32 length);

private:
    WAesGcm m_aes;
    quint32 m_direction;
    quint64 m_counter = 0;
};

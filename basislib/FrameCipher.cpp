#include "FrameCipher.h"

#include <QtEndian>

FrameCipher::FrameCipher(const QByteArray &key, quint32 direction)
    : m_aes(key)
    , m_direction(direction)
{
}

bool FrameCipher::sealFrame(const char *plain, int len, QByteArray *out)
{
    const int start = out->size();
    appendLength(out, quint32(len + WAesGcm::TagSize));
    if (!m_aes.seal(WAesGcm::counterNonce(m_direction, m_counter), plain, len, out)) {
        out->truncate(start);
        return false;
    }
    ++m_counter;
    return true;
}

bool FrameCipher::openFrame(const char *sealed, int len, QByteArray *plain)
{
    if (len < WAesGcm::TagSize || !m_aes.open(WAesGcm::counterNonce(m_direction, m_counter), sealed, len, plain))
        return false;
    ++m_counter;
    return true;
}

quint32 FrameCipher::readLength(const char *header)
{
    return qFromBigEndian<quint32>(header);
}

void FrameCipher::appendLength(QByteArray *out, quint32 length)
{
    char header[HeaderSize];
    qToBigEndian(length, header);
    out->append(header, HeaderSize);
}

#include "UdpLinkSealing.h"

#include <QMessageAuthenticationCode>

namespace {

// Nonce direction tags of the two counters.
constexpr quint32 kFromInitiator = 1;
constexpr quint32 kFromAcceptor = 2;

QByteArray directionKey(const QByteArray &secret, const QByteArray &acceptorRandom, quint32 direction)
{
    if (secret.size() != UdpLinkSealing::SecretSize || acceptorRandom.size() != UdpLinkSealing::AcceptorRandomSize)
        return QByteArray();
    QByteArray label("wivora udp link key");
    label += char(direction);
    label += acceptorRandom;
    return QMessageAuthenticationCode::hash(label, secret, QCryptographicHash::Sha256);
}

} // namespace

UdpLinkSealing::UdpLinkSealing(const QByteArray &initiatorSecret, const QByteArray &acceptorRandom, bool initiator)
    : m_sender(directionKey(initiatorSecret, acceptorRandom, initiator ? kFromInitiator : kFromAcceptor),
               initiator ? kFromInitiator : kFromAcceptor)
    , m_receiver(directionKey(initiatorSecret, acceptorRandom, initiator ? kFromAcceptor : kFromInitiator),
                 initiator ? kFromAcceptor : kFromInitiator)
{
}

bool UdpLinkSealing::isValid() const
{
    return m_sender.isValid() && m_receiver.isValid();
}

QByteArray UdpLinkSealing::seal(const QByteArray &plain)
{
    QByteArray payload;
    if (!m_sender.sealFrame(plain.constData(), plain.size(), &payload))
        return QByteArray();
    return payload;
}

// A payload is one whole frame: its length header, then ciphertext and tag.
bool UdpLinkSealing::open(const char *payload, int size, QByteArray *plain)
{
    if (size < FrameCipher::HeaderSize || FrameCipher::readLength(payload) != quint32(size - FrameCipher::HeaderSize))
        return false;
    return m_receiver.openFrame(payload + FrameCipher::HeaderSize, size - FrameCipher::HeaderSize, plain);
}

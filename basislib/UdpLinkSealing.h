#pragma once

#include "FrameCipher.h"
#include "basislib_global.h"

#include <QByteArray>

// The sealing of one UDP link's payloads. The initiator's secret (sent sealed
// to the acceptor's key) and the acceptor's fresh random bytes (sent back in
// the clear) together make one key per direction, so a recorded hello replayed
// into a new session meets new keys. Every payload is sealed under a
// per-direction counter: a payload replayed, reordered, damaged or reflected
// fails to open.
//
// seal() and open() may run on two threads at once; each of them on one
// thread at a time.
class BASISLIB_EXPORT UdpLinkSealing
{
public:
    static constexpr int SecretSize = 32;
    static constexpr int AcceptorRandomSize = 32;

    UdpLinkSealing(const QByteArray &initiatorSecret, const QByteArray &acceptorRandom, bool initiator);

    // False for a secret or random bytes of the wrong size.
    bool isValid() const;

    // The payload carrying `plain`.
    QByteArray seal(const QByteArray &plain);
    // False when the payload is not the far side's next one, intact.
    bool open(const char *payload, int size, QByteArray *plain);

private:
    FrameCipher m_sender;
    FrameCipher m_receiver;
};

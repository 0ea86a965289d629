#pragma once

// The yardstick of the roads built on TcpConnection: a bare pair on loopback
// whose far side sends every record straight back from its transport thread,
// so a sendCommand() on connection() costs the transport and nothing else.

#include "TcpConnection.h"

class TransportBaseline
{
public:
    // Accepts the far side's socket as a descriptor, as the client's listening
    // server does, and completes the key exchange. False when a step fails.
    bool start(int waitMs);

    // The connecting side, once start() has succeeded.
    TcpConnection &connection() { return m_near; }

private:
    TcpConnection m_far;
    TcpConnection m_near;
};

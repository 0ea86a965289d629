// Feeds arbitrary bytes to the rendezvous datagram parser, which reads what
// any host on the network may send to a client's or the server's UDP port.
// Whatever it accepts must encode again and decode to the same datagram.
#include "UdpRendezvousDatagram.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    UdpRendezvousDatagram parsed;
    if (!UdpRendezvousDatagram::decode(bytes, int(size), &parsed))
        return 0;
    const QByteArray again = parsed.encode();
    if (again.isEmpty() || again.size() > UdpRendezvousDatagram::MaxSize)
        abort();
    UdpRendezvousDatagram reparsed;
    if (!UdpRendezvousDatagram::decode(again.constData(), again.size(), &reparsed))
        abort();
    if (reparsed.type != parsed.type || reparsed.role != parsed.role || reparsed.session != parsed.session
        || reparsed.own != parsed.own || reparsed.peer != parsed.peer || reparsed.ipv4 != parsed.ipv4
        || reparsed.port != parsed.port)
        abort();
    return 0;
}

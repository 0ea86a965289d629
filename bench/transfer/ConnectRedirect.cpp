// Preloaded into one client process of the transfer benchmark, so that its
// links to the other client pass through the benchmark's link relay. While
// the file named by WIVORA_BENCH_REDIRECT_FILE holds "FROM TO" (two ports),
// each connect() to 127.0.0.1:FROM goes to 127.0.0.1:TO instead; every other
// connect, and every connect while the file is missing, is left alone.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

using ConnectFunction = int (*)(int, const sockaddr *, socklen_t);

ConnectFunction realConnect()
{
    static const ConnectFunction real = reinterpret_cast<ConnectFunction>(dlsym(RTLD_NEXT, "connect"));
    return real;
}

// The port to use instead of `port`, or 0 to leave it.
unsigned redirectedPort(unsigned port)
{
    const char *const control = std::getenv("WIVORA_BENCH_REDIRECT_FILE");
    if (!control)
        return 0;
    FILE *const file = std::fopen(control, "re");
    if (!file)
        return 0;
    unsigned from = 0, to = 0;
    const bool read = std::fscanf(file, "%u %u", &from, &to) == 2;
    std::fclose(file);
    return read && from == port && to > 0 && to < 65536 ? to : 0;
}

} // namespace

extern "C" int connect(int fd, const sockaddr *address, socklen_t length)
{
    if (address && address->sa_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in))) {
        sockaddr_in target = *reinterpret_cast<const sockaddr_in *>(address);
        if (target.sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
            if (const unsigned port = redirectedPort(ntohs(target.sin_port))) {
                target.sin_port = htons(static_cast<uint16_t>(port));
                return realConnect()(fd, reinterpret_cast<const sockaddr *>(&target), sizeof target);
            }
        }
    }
    return realConnect()(fd, address, length);
}

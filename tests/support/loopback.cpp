#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

static sockaddr_in LoopbackAddress(uint16_t port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Connects fd to 127.0.0.1:port (a non-blocking one may still be under
// way); fd, or -1 with fd closed.
static int Connected(int fd, uint16_t port)
{
    sockaddr_in to = LoopbackAddress(port);
    if (fd >= 0 && (connect(fd, (const sockaddr*)&to, sizeof to) == 0 || errno == EINPROGRESS))
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

int ConnectTo(uint16_t port, bool narrow)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (narrow) {
        int receiveBuffer = 4096, segment = 536;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    }
    return Connected(fd, port);
}

int StartConnectTo(uint16_t port)
{
    return Connected(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), port);
}

uint16_t FreeTcpPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

void SetNoDelay(int fd)
{
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void ResetAndClose(int fd)
{
    linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

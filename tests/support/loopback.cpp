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

// A socket of the given type connecting to 127.0.0.1:port; -1 when the
// connect fails (a non-blocking one may still be under way).
static int OpenConnection(int type, uint16_t port, int receiveBuffer)
{
    int fd = socket(AF_INET, type, 0);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in to = LoopbackAddress(port);
    if (fd < 0 || (connect(fd, (const sockaddr*)&to, sizeof to) != 0 && errno != EINPROGRESS)) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

int ConnectTo(uint16_t port, int receiveBuffer)
{
    return OpenConnection(SOCK_STREAM, port, receiveBuffer);
}

int StartConnectTo(uint16_t port)
{
    return OpenConnection(SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, port, 0);
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

#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

int ConnectTo(uint16_t port, bool narrow)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (narrow) {
        int receiveBuffer = 4096, segment = 536;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    }
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (const sockaddr*)&to, sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void ResetAndClose(int fd)
{
    linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

// Cost of one NetServer::Poll with many idle clients and a few active ones.
// Usage: poll_bench [idle clients, default 2000]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "loadgen/descriptors.h"
#include "loopback.h"
#include "netserver.h"

namespace {

int32_t HandlePing(PacketReader*, KelClient* client)
{
    client->Write16(0x0202);
    return 2;
}

double MicrosecondsPerPoll(NetServer& server, int polls, int activeFd)
{
    auto start = std::chrono::steady_clock::now();
    char buffer[64];
    for (int i = 0; i < polls; ++i) {
        if (activeFd >= 0 && i % 10 == 0) {
            send(activeFd, "\x01\x02", 2, 0);
            while (recv(activeFd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
            }
        }
        server.Poll();
    }
    std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / polls;
}

} // namespace

int main(int argc, char** argv)
{
    int idle = argc > 1 ? atoi(argv[1]) : 2000;
    loadgen::RaiseDescriptorLimit();

    NetworkInit();
    NetServer server;
    if (server.Start("127.0.0.1", 0, (uint32_t)idle + 10) != 0) {
        printf("start failed\n");
        return 1;
    }
    server.RegisterOpcode("PING", 0x0201, HandlePing);
    uint16_t port = nlGetLocalPort(server.listenSocket);

    std::vector<int> peers;
    for (int i = 0; i < idle; ++i) {
        int fd = ConnectTo(port);
        if (fd < 0)
            break;
        peers.push_back(fd);
        while (server.clients.size() < peers.size())
            server.Poll();
    }
    fprintf(stderr, "%zu idle clients connected\n", peers.size());
    int active = ConnectTo(port);
    while (server.clients.size() < peers.size() + 1)
        server.Poll();

    fprintf(stderr, "idle only:           %.2f us per poll\n", MicrosecondsPerPoll(server, 20000, -1));
    fprintf(stderr, "one active client:   %.2f us per poll\n", MicrosecondsPerPoll(server, 20000, active));
    server.Stop();
    for (int fd : peers)
        close(fd);
    close(active);
    NetworkShutdown();
    return 0;
}

// Client sessions over real loopback connections: the login network server
// with the session callbacks, in this process.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "handshake.h"
#include "netserver.h"
#include "replies.h"
#include "server.h"
#include "sessions.h"
#include "waituntil.h"

namespace {

class ClientSessionsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, NetworkInit());
        server.clientIds.Init();
        for (int i = 0; i < 28; i++)
            noUpdate[i] = uint8_t(0xA0 + i);
        server.noUpdatePacket = noUpdate;
        ASSERT_EQ(0, net.Start("127.0.0.1", 0, 100));
        net.SetCallbacks(OnClientConnect, OnClientDisconnect, OnClientRawData);
        server.loginNet = &net;
        port = nlGetLocalPort(net.listenSocket);
    }

    void TearDown() override
    {
        for (int fd : sockets)
            close(fd);
        server.clients.clear();
        net.Stop();
        server.loginNet = nullptr;
        server.noUpdatePacket = nullptr;
        server.clientIds.Clear();
        NetworkShutdown();
    }

    // What the run loop does around the login server's poll.
    void Pass()
    {
        net.Poll();
        CloseRefusedConnections();
    }

    // Polls until the condition holds (bounded).
    bool PollUntil(const std::function<bool()>& done)
    {
        return WaitUntil([&] {
            if (done())
                return true;
            Pass();
            return false;
        }, 10000, 0);
    }

    // Connects and polls until the server has accepted the connection.
    int Connect()
    {
        size_t before = net.clients.size();
        int fd = ConnectOnly();
        EXPECT_TRUE(PollUntil([&] { return net.clients.size() > before; }));
        return fd;
    }

    int ConnectOnly()
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
        sockets.push_back(fd);
        return fd;
    }

    // The session of the client accepted last.
    ClientData* Newest()
    {
        ClientData* newest = nullptr;
        for (auto& entry : server.clients)
            if (!newest || entry.first > newest->id)
                newest = &entry.second;
        return newest;
    }

    // True when the peer closed fd, within a bounded wait.
    bool ClosedByServer(int fd)
    {
        bool closed = false;
        PollUntil([&] {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0)
                return false;
            uint8_t byte;
            closed = recv(fd, &byte, 1, 0) <= 0;
            return true;
        });
        return closed;
    }

    uint8_t noUpdate[28];
    NetServer net;
    uint16_t port = 0;
    std::vector<int> sockets;
};

TEST_F(ClientSessionsTest, IdsStartAtFiveAndEachConnectionGetsItsOwn)
{
    Connect();
    ClientData* first = Newest();
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(5, first->id);
    EXPECT_EQ(1, first->awaitingFirstPacket);
    KelClient* connection = FindSessionClient(first);
    ASSERT_NE(nullptr, connection);
    EXPECT_EQ(5, connection->id);
    EXPECT_EQ(first->socket, connection->socket);

    int second = Connect();
    EXPECT_EQ(6, Newest()->id);
    close(second);
    sockets.pop_back();
    EXPECT_TRUE(PollUntil([] { return server.GetClientData(6) == nullptr; }));
    Connect();   // a new connection gets a new id while the counter lasts
    EXPECT_EQ(7, Newest()->id);
}

TEST_F(ClientSessionsTest, SpentCounterReusesDepartedIdsAndRefusesWhenNoneIsFree)
{
    Connect();
    int leaving = Connect();
    Connect();
    server.clientIds.maxId = 8;          // 5, 6 and 7 were the counter's last ids
    close(leaving);
    sockets.erase(sockets.begin() + 1);
    ASSERT_TRUE(PollUntil([] { return server.GetClientData(6) == nullptr; }));

    Connect();
    EXPECT_NE(nullptr, server.GetClientData(6));   // the departed client's id
    EXPECT_EQ(3u, server.clients.size());

    int refused = ConnectOnly();   // accepted, then closed at once
    EXPECT_TRUE(ClosedByServer(refused));
    EXPECT_EQ(3u, server.clients.size());
    EXPECT_EQ(3u, net.clients.size());
}

TEST_F(ClientSessionsTest, UpdateCheckIsAnsweredFromThePacketFile)
{
    int fd = Connect();
    std::vector<uint8_t> check(21, 0);
    check[0] = 1;
    ASSERT_EQ(21, send(fd, check.data(), check.size(), 0));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(PollUntil([&] {
        uint8_t buffer[64];
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            reply.insert(reply.end(), buffer, buffer + n);
        return reply.size() >= 28;
    }));
    EXPECT_EQ(std::vector<uint8_t>(noUpdate, noUpdate + 28), reply);
    EXPECT_EQ(1, Newest()->awaitingFirstPacket);
}

TEST_F(ClientSessionsTest, ClosedSessionIsUnreachable)
{
    int fd = Connect();
    ClientData* session = Newest();
    CloseSession(session);
    EXPECT_EQ(nullptr, FindSessionClient(session));
    EXPECT_EQ(nullptr, server.GetClientData(5));
    EraseClosedSessions(server.clients);
    EXPECT_TRUE(server.clients.empty());
    EXPECT_TRUE(ClosedByServer(fd));
}

TEST_F(ClientSessionsTest, StreamTerminatorGoesToTheClientWithTheSocket)
{
    server.outboundOpcodes.try_emplace("STREAM_TERMINATOR", 0x05D0);
    Connect();
    ClientData* session = Newest();
    KelClient* connection = FindSessionClient(session);
    ASSERT_NE(nullptr, connection);
    connection->sendBuffer.clear();
    SendStreamTerminator(RESULT_EMAIL_TAKEN, 7, session->socket);
    EXPECT_EQ((std::vector<uint8_t>{0xD0, 0x05, 7, 0, 0, 0, 0x69, 0, 0, 0}),
              connection->sendBuffer);
    // A socket without a client: nothing is sent anywhere, nothing breaks.
    SendStreamTerminator(RESULT_REQUEST_FAILED, 8, session->socket + 1000);
    EXPECT_EQ(10u, connection->sendBuffer.size());
    server.outboundOpcodes.clear();
}

} // namespace

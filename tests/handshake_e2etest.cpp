// The update check and the handshake and session requests against the real
// server over loopback: every reply byte for byte, messages split across
// writes, and malformed input that must neither crash the server nor
// disturb another client.

#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "serverfixture.h"
#include "testclient.h"

namespace {

class HandshakeTest : public ServerTest {
protected:
    void SetUp() override
    {
        server.UseDatabase(TestServerDatabase());
        StartServer();
    }

    Fields ServerSeed() { return Fields().Op(client, "SERVER_SEED").Zeros(20); }
    Fields ClientIdReply() { return Fields().Op(client, "P12B_REPLY").U32(0); }
    Fields UpdateCheck(size_t size = 21) { return Fields().U16(1).Zeros(size - 2); }
    Fields ClientSeed() { return Fields().Op(client, "CLIENT_SEED").Zeros(64); }
};

TEST_F(HandshakeTest, UpdateChecksAreAnsweredUntilTheFirstOtherMessage)
{
    std::string file = ReadFileText(server.Dir() + "/Data/Packets/NoUpdateAvailable");
    Fields answer = Fields().Raw(std::vector<uint8_t>(file.begin(), file.begin() + 28));

    ASSERT_TRUE(client.SendRaw(UpdateCheck().bytes));
    ExpectReply(client, answer);
    // 21 bytes are consumed, so a message right behind the check is intact.
    ASSERT_TRUE(client.SendRaw(UpdateCheck().Op(client, "LS_CLIENT_ID").Zeros(4).bytes));
    ExpectReply(client, Fields(answer).Raw(ClientIdReply().bytes));
    // Now the conversation has begun: 01 00 is an unknown message, dropped.
    ASSERT_TRUE(client.SendRaw(UpdateCheck().bytes));
    EXPECT_TRUE(client.ExpectNothing());
    ExpectStillServed(client);
}

TEST_F(HandshakeTest, ShortUpdateCheckIsAnsweredAndConsumedWhole)
{
    ASSERT_TRUE(client.SendRaw(UpdateCheck(10).bytes));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(client.Receive(28, &reply));
    EXPECT_TRUE(client.ExpectNothing());
    ExpectStillServed(client);
}

TEST_F(HandshakeTest, ClientSeedIsAnsweredOnceAllOfItHasArrived)
{
    std::vector<uint8_t> seed = ClientSeed().bytes;
    ASSERT_TRUE(client.SendRaw(std::vector<uint8_t>(seed.begin(), seed.begin() + 30)));
    EXPECT_TRUE(client.ExpectNothing());
    ASSERT_TRUE(client.SendRaw(std::vector<uint8_t>(seed.begin() + 30, seed.end())));
    ExpectReply(client, ServerSeed());
    // Two seeds in a row: two answers, and the stream stays in step.
    ASSERT_TRUE(client.SendRaw(Fields(ClientSeed()).Raw(ClientSeed().bytes).bytes));
    ExpectReply(client, Fields(ServerSeed()).Raw(ServerSeed().bytes));
    ExpectStillServed(client);
}

TEST_F(HandshakeTest, FixedRepliesInOrder)
{
    Fields requests = Fields()
                          .Op(client, "LS_COMPUTER_HASH").Zeros(20)
                          .Op(client, "LS_CLIENT_ID").Zeros(4)
                          .Op(client, "KEEP_ALIVE").Zeros(4)
                          .Op(client, "CLIENT_VERSION").Zeros(2).U32(1234).Zeros(8)
                          .Op(client, "LS_REQUEST_RESPONSE").U32(9);
    ASSERT_TRUE(client.SendRaw(requests.bytes));
    ExpectReply(client, Fields()
                            .Op(client, "COMPUTER_INFO_REPLY").U32(23894).U32(0)
                            .Op(client, "P12B_REPLY").U32(0)
                            .Op(client, "LS_SEND_RESPONSE").U32(9).U32(1)
                            .Op(client, "STREAM_TERMINATOR").U32(9).U32(0));
    EXPECT_TRUE(client.ExpectNothing());
    EXPECT_NE(std::string::npos, server.ConsoleText().find("Client v1234 connected.\n"));
}

TEST_F(HandshakeTest, EveryMessageSplitAcrossWrites)
{
    Fields requests = Fields()
                          .Raw(ClientSeed().bytes)
                          .Op(client, "CLIENT_VERSION").Zeros(2).U32(77).Zeros(8)
                          .Op(client, "COMPUTER_USER").Wide(u"player1").Wide(u"desktop")
                          .Op(client, "LS_COMPUTER_HARDWARE").U16(5).Zeros(21)
                          .Op(client, "EXIT_GAME").U16(3).Zeros(2)
                          .Op(client, "ACCOUNT_LOGOUT").Zeros(4)
                          .Op(client, "LS_COMPUTER_HASH").Zeros(20)
                          .Op(client, "LS_REQUEST_RESPONSE").U32(0x01020304);
    // One byte per write, with pauses, so that the server sees every cut.
    for (uint8_t byte : requests.bytes) {
        ASSERT_TRUE(client.SendRaw({byte}));
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    ExpectReply(client, Fields()
                            .Raw(ServerSeed().bytes)
                            .Op(client, "COMPUTER_INFO_REPLY").U32(23894).U32(0)
                            .Op(client, "LS_SEND_RESPONSE").U32(0x01020304).U32(1)
                            .Op(client, "STREAM_TERMINATOR").U32(0x01020304).U32(0));
    EXPECT_TRUE(client.ExpectNothing());
    std::string console = server.ConsoleText();
    EXPECT_NE(std::string::npos, console.find("Client v77 connected.\n"));
    EXPECT_NE(std::string::npos, console.find("User Name: player1\nComputer Name: desktop\n"));
}

TEST_F(HandshakeTest, ComputerUserNamesArePrintedAsText)
{
    ASSERT_TRUE(client.Send("COMPUTER_USER", Fields().Wide(u"100%s%n").Wide(u"")));
    ExpectStillServed(client);
    // The longest names are accepted: 206 bytes consumed exactly.
    std::u16string longest(100, u'x');
    ASSERT_TRUE(client.Send("COMPUTER_USER", Fields().Wide(longest).Wide(u"")));
    ExpectStillServed(client);
    EXPECT_TRUE(server.WaitForConsole("User Name: 100%s%n\nComputer Name: \n")) << server.ConsoleText();
    EXPECT_TRUE(server.WaitForConsole("User Name: " + std::string(100, 'x') + "\nComputer Name: \n"))
        << server.ConsoleText();
}

TEST_F(HandshakeTest, OverlongComputerUserCountsAreDroppedAndTheClientGoesOn)
{
    // A user-name count over 100, announced without the bytes it promises.
    ASSERT_TRUE(client.Send("COMPUTER_USER", Fields().U16(101).Zeros(10)));
    EXPECT_TRUE(client.ExpectNothing());
    ExpectStillServed(client);
    // A computer-name count over 100 behind a good user name.
    ASSERT_TRUE(client.Send("COMPUTER_USER", Fields().Wide(u"abc").U16(0xFFFF)));
    EXPECT_TRUE(client.ExpectNothing());
    ExpectStillServed(client);
    EXPECT_EQ(std::string::npos, server.ConsoleText().find("User Name: abc"));
}

TEST_F(HandshakeTest, LongHardwareReportKeepsTheStreamInStep)
{
    // Longer than one read of the server: it arrives in several pieces.
    ASSERT_TRUE(client.Send("LS_COMPUTER_HARDWARE",
                            Fields().U16(5000).Zeros(5016).Op(client, "LS_CLIENT_ID").Zeros(4)));
    ExpectReply(client, ClientIdReply());
    ASSERT_TRUE(client.Send("LS_COMPUTER_HARDWARE", Fields().U16(0).Zeros(16)));
    ExpectStillServed(client);
}

TEST_F(HandshakeTest, SessionRequestsSendNothingAndKeepTheConnection)
{
    ASSERT_TRUE(client.Send("EXIT_GAME", Fields().U16(1).Zeros(2)));
    ASSERT_TRUE(client.Send("ACCOUNT_LOGOUT", Fields().Zeros(4)));
    ASSERT_TRUE(client.Send("KEEP_ALIVE", Fields().Zeros(4)));
    EXPECT_TRUE(client.ExpectNothing());
    ExpectStillServed(client);
}

TEST_F(HandshakeTest, UnknownAndUnhandledMessagesAreDropped)
{
    ASSERT_TRUE(client.SendRaw(Fields().U16(0x7777).Zeros(30).bytes));
    EXPECT_TRUE(client.ExpectNothing());
    ExpectStillServed(client);
    ASSERT_TRUE(client.Send("PLAYCREATE_CHARACTER", Fields().Zeros(12)));
    EXPECT_TRUE(client.ExpectNothing());
    ExpectStillServed(client);
    EXPECT_NE(std::string::npos,
              server.ConsoleText().find("No handler found for PLAYCREATE_CHARACTER\n"));
}

TEST_F(HandshakeTest, HostileInputDoesNotDisturbOtherClients)
{
    // A client that stops halfway through a message holds only itself up.
    TestClient halfway(server.Dir());
    ASSERT_TRUE(halfway.Connect(server.LoginPort()));
    ASSERT_TRUE(halfway.Send("CLIENT_SEED", Fields().Zeros(10)));

    // Lone bytes, truncated messages and noise, each on a connection of its own.
    std::mt19937 random(20240601);
    std::vector<std::vector<uint8_t>> inputs = {
        {0xC0},
        Fields().Op(client, "COMPUTER_USER").U16(3).bytes,
        Fields().Op(client, "LS_COMPUTER_HARDWARE").U16(0xFFFF).Zeros(100).bytes,
        Fields().Op(client, "CLIENT_VERSION").U16(1).bytes,
    };
    for (int i = 0; i < 12; i++) {
        std::vector<uint8_t> noise(1 + random() % 3000);
        for (uint8_t& byte : noise)
            byte = uint8_t(random());
        if (i % 2)
            noise[0] = 0xC0;   // lead with a known message number now and then
        inputs.push_back(noise);
    }
    for (const auto& input : inputs) {
        TestClient hostile(server.Dir());
        ASSERT_TRUE(hostile.Connect(server.LoginPort()));
        ASSERT_TRUE(hostile.SendRaw(input));
        ExpectStillServed(client);
    }

    ASSERT_TRUE(client.SendRaw(ClientSeed().bytes));
    ExpectReply(client, ServerSeed());
    // The half-sent seed completes with the next 54 bytes.
    ASSERT_TRUE(halfway.SendRaw(Fields().Zeros(54).bytes));
    std::vector<uint8_t> reply;
    EXPECT_TRUE(halfway.Receive(22, &reply));
    EXPECT_TRUE(server.Running());
}

TEST(ShortPacketFilesTest, EmptyFilesStartAndTheUpdateCheckGetsZeros)
{
    ServerProcess server;
    server.UseDatabase(TestServerDatabase());
    std::ofstream(server.Dir() + "/Data/Packets/NoUpdateAvailable", std::ios::trunc);
    std::ofstream(server.Dir() + "/Data/Packets/DefaultInterface", std::ios::trunc);
    ASSERT_TRUE(server.Start()) << server.Failure();
    TestClient client(server.Dir());
    ASSERT_TRUE(client.Connect(server.LoginPort()));
    ASSERT_TRUE(client.SendRaw(Fields().U16(1).Zeros(19).bytes));
    std::vector<uint8_t> reply;
    EXPECT_TRUE(client.Receive(28, &reply));
    EXPECT_EQ(std::vector<uint8_t>(28, 0), reply);
    EXPECT_EQ(0, server.Stop());
}

} // namespace

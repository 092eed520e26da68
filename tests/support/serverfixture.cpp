#include "serverfixture.h"

#include <string>
#include <vector>

#include "loginsequence.h"

void ServerTest::StartServer()
{
    ASSERT_TRUE(server.Start()) << server.Failure();
    ASSERT_TRUE(client.Connect(server.LoginPort()));
}

void ServerTest::TearDown()
{
    if (server.Running()) {
        EXPECT_EQ(0, server.Stop()) << server.ConsoleText();
    }
}

void ServerTest::ExpectReply(TestClient& from, const Fields& expected)
{
    ExpectReply(from, expected.bytes);
}

void ServerTest::ExpectReply(TestClient& from, const std::vector<uint8_t>& expected, const std::string& what)
{
    std::vector<uint8_t> reply;
    EXPECT_TRUE(from.Receive(expected.size(), &reply)) << what << ": " << HexBytes(reply);
    EXPECT_EQ(HexBytes(expected), HexBytes(reply)) << what;
}

void ServerTest::ExpectTerminator(TestClient& from, uint32_t requestId, uint32_t code)
{
    ExpectReply(from, StreamTerminator(from, requestId, code));
}

void ServerTest::ExpectStillServed(TestClient& who)
{
    ASSERT_TRUE(who.Send("LS_CLIENT_ID", Fields().Zeros(4)));
    ExpectReply(who, Fields().Op(who, "P12B_REPLY").U32(0));
}

Fields ServerTest::DefaultAccountData(const TestClient& who, uint32_t requestId)
{
    // The file's first six bytes are where the message number and request id go.
    std::string file = ReadFileText(server.Dir() + "/Data/Packets/DefaultInterface");
    return Fields().Op(who, "ACCOUNT_DATA").U32(requestId).Raw(std::vector<uint8_t>(file.begin() + 6, file.end()));
}

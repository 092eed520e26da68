// The shared replies, byte for byte.

#include <vector>

#include <gtest/gtest.h>

#include "kelclient.h"
#include "replies.h"
#include "server.h"
#include "sessions.h"

namespace {

class RepliesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.outboundOpcodes.clear();
        server.outboundOpcodes.try_emplace("STREAM_TERMINATOR", 0x05D0);   // wire D0 05
        server.outboundOpcodes.try_emplace("ACCOUNT_PERMISSIONS", 0x06D0);
        server.outboundOpcodes.try_emplace("LS_SEND_RESPONSE", 0x0BD0);
    }
    void TearDown() override { server.outboundOpcodes.clear(); }

    KelClient client;
};

TEST_F(RepliesTest, StreamSuccessAndSendResponse)
{
    WriteSendResponse(&client, 9);
    WriteStreamSuccess(&client, 9);
    EXPECT_EQ((std::vector<uint8_t>{0xD0, 0x0B, 9, 0, 0, 0, 1, 0, 0, 0,
                                    0xD0, 0x05, 9, 0, 0, 0, 0, 0, 0, 0}),
              client.sendBuffer);
}

TEST_F(RepliesTest, AccountPermissionsCarriesTheLowPermissionByte)
{
    ClientData data;
    data.chainRequestId = 0x11223344;
    data.permission1 = 0x1234;
    data.permission2 = 0x56;
    SendAccountPermissions(&client, &data);
    std::vector<uint8_t> expected = {0xD0, 0x06, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 4, 0, 0, 0,
                                     0x34};
    expected.resize(24, 0);
    expected.push_back(0x56);
    expected.resize(66, 0);
    expected.insert(expected.end(), {0x04, 0x00, 0x01, 0x00, 0x06, 0x00, 0x0C});
    ASSERT_EQ(73u, expected.size());
    EXPECT_EQ(expected, client.sendBuffer);
}

TEST_F(RepliesTest, UnfiledNameIsSentWithNumberZero)
{
    server.outboundOpcodes.clear();
    WriteStreamSuccess(&client, 1);
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 1, 0, 0, 0, 0, 0, 0, 0}), client.sendBuffer);
    EXPECT_EQ(1u, server.outboundOpcodes.count("STREAM_TERMINATOR"));
}

} // namespace

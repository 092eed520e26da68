// ACCOUNT_DATA_FROM_CC against the real server and database: the interface
// data stored byte for byte in the account's row (none of it as the empty
// value), too much refused without a word, nothing done before a login, and
// the stored data handed back at the next login.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dbpoll.h"
#include "loginsession.h"
#include "serverprocess.h"
#include "testclient.h"
#include "testdb.h"

namespace {

class InterfaceDataTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        account = AddAccount(db, u"ann@x", u"secret");
        server.UseDatabase(db);
        ASSERT_TRUE(server.Start()) << server.Failure();
        ASSERT_TRUE(client.Connect(server.LoginPort()));
        defaultSize = ReadFileText(server.Dir() + "/Data/Packets/DefaultInterface").size();
    }

    void TearDown() override
    {
        if (server.Running()) {
            EXPECT_EQ(0, server.Stop()) << server.ConsoleText();
        }
    }

    // The message: request id, four bytes the server does not read, data.
    Fields DataMessage(uint32_t requestId, const std::vector<uint8_t>& data)
    {
        return Fields().Op(client, "ACCOUNT_DATA_FROM_CC").U32(requestId).U32(0xEEEEEEEE).Raw(data);
    }

    static std::vector<uint8_t> Pattern(size_t size)
    {
        std::vector<uint8_t> data(size);
        for (size_t i = 0; i < size; i++)
            data[i] = uint8_t(i * 13 + 1);
        return data;
    }

    void ExpectTerminator(uint32_t requestId, uint32_t code)
    {
        std::vector<uint8_t> reply;
        EXPECT_TRUE(client.Receive(10, &reply)) << HexBytes(reply);
        EXPECT_EQ(HexBytes(Fields().Op(client, "STREAM_TERMINATOR").U32(requestId).U32(code).bytes),
                  HexBytes(reply));
    }

    std::string Row(const std::string& column)
    {
        return db.Value("SELECT " + column + " FROM accounts WHERE AccountID=" + std::to_string(account))
            .value_or("NULL");
    }

    std::string SizeQuery()
    {
        return "SELECT InterfaceDataSize FROM accounts WHERE AccountID=" + std::to_string(account);
    }

    FreshDatabase db;
    ServerProcess server;
    TestClient client{server.Dir()};
    uint32_t account = 0;
    size_t defaultSize = 0;
};

TEST_F(InterfaceDataTest, NothingHappensBeforeALogin)
{
    ASSERT_TRUE(client.SendRaw(DataMessage(20, Pattern(50)).bytes));
    EXPECT_TRUE(client.ExpectNothing());
    ASSERT_TRUE(client.Send("LS_CLIENT_ID", Fields().Zeros(4)));
    std::vector<uint8_t> reply;
    EXPECT_TRUE(client.Receive(6, &reply));
    EXPECT_EQ("0", Row("InterfaceDataSize"));
    EXPECT_EQ("NULL", Row("InterfaceData"));
}

TEST_F(InterfaceDataTest, StoredDataComesBackAtTheNextLogin)
{
    std::vector<uint8_t> accountData;
    ASSERT_TRUE(LogIn(client, 1, u"ann@x", u"secret", defaultSize, &accountData));
    std::vector<uint8_t> data = Pattern(50);
    ASSERT_TRUE(client.SendRaw(DataMessage(20, data).bytes));
    ExpectTerminator(20, 0);
    ASSERT_TRUE(WaitForValue(db, SizeQuery(), "50"));
    EXPECT_EQ(std::string(data.begin(), data.end()), Row("InterfaceData"));

    // A new connection logs in: its first six bytes carry the number and
    // the request id, the rest is what was stored.
    TestClient again(server.Dir());
    ASSERT_TRUE(again.Connect(server.LoginPort()));
    ASSERT_TRUE(LogIn(again, 0x15, u"ann@x", u"secret", data.size(), &accountData));
    std::vector<uint8_t> expected = Fields().Op(again, "ACCOUNT_DATA").U32(0x15).bytes;
    expected.insert(expected.end(), data.begin() + 6, data.end());
    EXPECT_EQ(HexBytes(expected), HexBytes(accountData));
}

TEST_F(InterfaceDataTest, SevenHundredBytesAreStoredAndOneMoreIsRefused)
{
    std::vector<uint8_t> accountData;
    ASSERT_TRUE(LogIn(client, 1, u"ann@x", u"secret", defaultSize, &accountData));
    std::vector<uint8_t> data = Pattern(690);
    ASSERT_EQ(700u, DataMessage(21, data).bytes.size());
    ASSERT_TRUE(client.SendRaw(DataMessage(21, data).bytes));
    ExpectTerminator(21, 0);
    ASSERT_TRUE(WaitForValue(db, SizeQuery(), "690"));
    EXPECT_EQ(std::string(data.begin(), data.end()), Row("InterfaceData"));

    ASSERT_TRUE(client.SendRaw(DataMessage(22, Pattern(691)).bytes));
    EXPECT_TRUE(client.ExpectNothing());
    EXPECT_NE(std::string::npos,
              server.ConsoleText().find("Oversize InterfaceData detected. Not writing to db!\n"));
    EXPECT_EQ("690", Row("InterfaceDataSize"));
    EXPECT_EQ(std::string(data.begin(), data.end()), Row("InterfaceData"));
}

TEST_F(InterfaceDataTest, NoDataIsStoredAsTheEmptyValue)
{
    std::vector<uint8_t> accountData;
    ASSERT_TRUE(LogIn(client, 1, u"ann@x", u"secret", defaultSize, &accountData));
    ASSERT_TRUE(client.SendRaw(DataMessage(23, Pattern(40)).bytes));
    ExpectTerminator(23, 0);
    ASSERT_TRUE(WaitForValue(db, SizeQuery(), "40"));

    ASSERT_TRUE(client.SendRaw(DataMessage(24, {}).bytes));
    ExpectTerminator(24, 0);
    ASSERT_TRUE(WaitForValue(db, SizeQuery(), "0"));
    EXPECT_EQ("", Row("InterfaceData"));
    EXPECT_EQ(std::string::npos, server.ConsoleText().find("Unknown column"));

    // With nothing stored the next login gets the default interface.
    TestClient again(server.Dir());
    ASSERT_TRUE(again.Connect(server.LoginPort()));
    ASSERT_TRUE(LogIn(again, 2, u"ann@x", u"secret", defaultSize, &accountData));
}

TEST_F(InterfaceDataTest, FixedFieldsSplitAcrossWritesAreAwaited)
{
    std::vector<uint8_t> accountData;
    ASSERT_TRUE(LogIn(client, 1, u"ann@x", u"secret", defaultSize, &accountData));
    std::vector<uint8_t> data = Pattern(30);
    std::vector<uint8_t> message = DataMessage(25, data).bytes;
    ASSERT_TRUE(client.SendRaw(std::vector<uint8_t>(message.begin(), message.begin() + 7)));
    EXPECT_TRUE(client.ExpectNothing(200));
    ASSERT_TRUE(client.SendRaw(std::vector<uint8_t>(message.begin() + 7, message.end())));
    ExpectTerminator(25, 0);
    ASSERT_TRUE(WaitForValue(db, SizeQuery(), "30"));
    EXPECT_EQ(std::string(data.begin(), data.end()), Row("InterfaceData"));
}

} // namespace

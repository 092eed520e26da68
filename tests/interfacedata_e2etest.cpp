// ACCOUNT_DATA_FROM_CC against the real server and database: the interface
// data stored byte for byte in the account's row (none of it as the empty
// value), too much refused without a word, nothing done before a login, and
// the stored data handed back at the next login.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dbpoll.h"
#include "accountrows.h"
#include "loginsequence.h"
#include "serverfixture.h"
#include "tcprelay.h"
#include "testclient.h"
#include "testdb.h"
#include "waituntil.h"

namespace {

class InterfaceDataTest : public FreshDatabaseServerTest {
protected:
    void SetUp() override
    {
        account = AddAccount(db, AccountRow{u"ann@x", PasswordDigest(u"secret")});
        StartServer();
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

    // Logs in and returns ACCOUNT_DATA: for an account without characters,
    // everything before the fixed tail of the answer.
    std::vector<uint8_t> LogInForAccountData(TestClient& who, uint32_t requestId)
    {
        std::vector<uint8_t> answer;
        EXPECT_TRUE(LogIn(who, requestId, u"ann@x", u"secret", &answer)) << HexBytes(answer);
        size_t tail = LoginAnswerTail(who, requestId).bytes.size();
        if (answer.size() < tail)
            return {};
        return std::vector<uint8_t>(answer.begin(), answer.end() - tail);
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

    uint32_t account = 0;
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
    EXPECT_EQ(HexBytes(DefaultAccountData(client, 1).bytes), HexBytes(LogInForAccountData(client, 1)));
    std::vector<uint8_t> data = Pattern(50);
    ASSERT_TRUE(client.SendRaw(DataMessage(20, data).bytes));
    ExpectTerminator(client, 20, 0);
    ASSERT_TRUE(WaitForValue(db, SizeQuery(), "50"));
    EXPECT_EQ(std::string(data.begin(), data.end()), Row("InterfaceData"));

    // A new connection logs in: its first six bytes carry the number and
    // the request id, the rest is what was stored.
    TestClient again(server.Dir());
    ASSERT_TRUE(again.Connect(server.LoginPort()));
    std::vector<uint8_t> expected = Fields().Op(again, "ACCOUNT_DATA").U32(0x15).bytes;
    expected.insert(expected.end(), data.begin() + 6, data.end());
    EXPECT_EQ(HexBytes(expected), HexBytes(LogInForAccountData(again, 0x15)));
}

TEST_F(InterfaceDataTest, AccountIdAboveTheSignedLimitStoresInItsOwnRow)
{
    // A signed read of 3000000000 would give 2147483647.
    uint32_t low = AddAccountWithId(db, 2147483647, AccountRow{u"low@x"});
    uint32_t high = AddAccountWithId(db, 3000000000, AccountRow{u"high@x"});
    ASSERT_TRUE(LogIn(client, 1, u"high@x"));
    ASSERT_TRUE(client.SendRaw(DataMessage(20, Pattern(30)).bytes));
    ExpectTerminator(client, 20, 0);
    EXPECT_TRUE(WaitForValue(db, "SELECT InterfaceDataSize FROM accounts WHERE AccountID=" + std::to_string(high),
                             "30"));
    EXPECT_EQ("0", db.Value("SELECT InterfaceDataSize FROM accounts WHERE AccountID=" + std::to_string(low)));
}

TEST_F(InterfaceDataTest, SevenHundredBytesAreStoredAndOneMoreIsRefused)
{
    EXPECT_EQ(HexBytes(DefaultAccountData(client, 1).bytes), HexBytes(LogInForAccountData(client, 1)));
    std::vector<uint8_t> data = Pattern(690);
    ASSERT_EQ(700u, DataMessage(21, data).bytes.size());
    ASSERT_TRUE(client.SendRaw(DataMessage(21, data).bytes));
    ExpectTerminator(client, 21, 0);
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
    EXPECT_EQ(HexBytes(DefaultAccountData(client, 1).bytes), HexBytes(LogInForAccountData(client, 1)));
    ASSERT_TRUE(client.SendRaw(DataMessage(23, Pattern(40)).bytes));
    ExpectTerminator(client, 23, 0);
    ASSERT_TRUE(WaitForValue(db, SizeQuery(), "40"));

    ASSERT_TRUE(client.SendRaw(DataMessage(24, {}).bytes));
    ExpectTerminator(client, 24, 0);
    ASSERT_TRUE(WaitForValue(db, SizeQuery(), "0"));
    EXPECT_EQ("", Row("InterfaceData"));
    EXPECT_EQ(std::string::npos, server.ConsoleText().find("Unknown column"));

    // With nothing stored the next login gets the default interface.
    TestClient again(server.Dir());
    ASSERT_TRUE(again.Connect(server.LoginPort()));
    EXPECT_EQ(HexBytes(DefaultAccountData(again, 2).bytes), HexBytes(LogInForAccountData(again, 2)));
}

TEST_F(InterfaceDataTest, FixedFieldsSplitAcrossWritesAreAwaited)
{
    EXPECT_EQ(HexBytes(DefaultAccountData(client, 1).bytes), HexBytes(LogInForAccountData(client, 1)));
    std::vector<uint8_t> data = Pattern(30);
    std::vector<uint8_t> message = DataMessage(25, data).bytes;
    ASSERT_TRUE(client.SendRaw(std::vector<uint8_t>(message.begin(), message.begin() + 7)));
    EXPECT_TRUE(client.ExpectNothing(200));
    ASSERT_TRUE(client.SendRaw(std::vector<uint8_t>(message.begin() + 7, message.end())));
    ExpectTerminator(client, 25, 0);
    ASSERT_TRUE(WaitForValue(db, SizeQuery(), "30"));
    EXPECT_EQ(std::string(data.begin(), data.end()), Row("InterfaceData"));
}

// Layouts acknowledged one after another reach the row in that order, also
// while more of them wait for the row than one connection takes on (25),
// and a new login on the same connection reads the row after them.
TEST_F(InterfaceDataTest, LayoutsWrittenWhileTheRowIsLockedAreStoredInOrder)
{
    EXPECT_EQ(HexBytes(DefaultAccountData(client, 1).bytes), HexBytes(LogInForAccountData(client, 1)));
    db.Exec("BEGIN; SELECT AccountID FROM accounts WHERE AccountID=" + std::to_string(account) + " FOR UPDATE");
    std::vector<uint8_t> data = Pattern(120);
    for (uint8_t n = 0; n < 30; n++) {
        data[6] = n;
        ASSERT_TRUE(client.SendRaw(DataMessage(100 + n, data).bytes));
        ExpectTerminator(client, 100 + n, 0);
    }
    ExpectStillServed(client);   // by now the last UPDATE has left the queue
    db.Exec("COMMIT");

    std::vector<uint8_t> expected = Fields().Op(client, "ACCOUNT_DATA").U32(200).bytes;
    expected.insert(expected.end(), data.begin() + 6, data.end());
    EXPECT_EQ(HexBytes(expected), HexBytes(LogInForAccountData(client, 200)));
    EXPECT_EQ(std::string(data.begin(), data.end()), Row("InterfaceData"));
}

// Only what is acknowledged before it runs keeps an account's order: the
// login's own computer-hash UPDATE is not, so the login's character list
// does not follow it onto a connection that another account's writes hold
// up (they wait for a locked row, and list more than 25 there).
TEST_F(InterfaceDataTest, ALoginDoesNotWaitBehindItsOwnUnacknowledgedWrite)
{
    AddAccount(db, AccountRow{u"bob@x"});
    ASSERT_TRUE(LogIn(client, 1, u"ann@x", u"secret"));
    db.Exec("BEGIN; SELECT AccountID FROM accounts WHERE AccountID=" + std::to_string(account) + " FOR UPDATE");
    for (uint32_t n = 0; n < 30; n++) {
        ASSERT_TRUE(client.SendRaw(DataMessage(100 + n, Pattern(40)).bytes));
        ExpectTerminator(client, 100 + n, 0);
    }
    ExpectStillServed(client);   // by now the last UPDATE has left the queue

    TestClient bob(server.Dir());
    ASSERT_TRUE(bob.Connect(server.LoginPort()));
    EXPECT_TRUE(LogIn(bob, 7, u"bob@x"));
    db.Exec("COMMIT");
}

TEST_F(InterfaceDataTest, RefusedLoginToAnotherAccountLeavesItsRowAlone)
{
    uint32_t other = AddAccount(db, AccountRow{u"bob@x", PasswordDigest(u"hidden")});
    EXPECT_EQ(HexBytes(DefaultAccountData(client, 1).bytes), HexBytes(LogInForAccountData(client, 1)));
    ASSERT_TRUE(client.SendRaw(AccountLoginMessage(client, 2, u"guess", u"bob@x").bytes));
    ExpectTerminator(client, 2, 11);
    ASSERT_TRUE(client.SendRaw(DataMessage(26, Pattern(20)).bytes));
    ExpectTerminator(client, 26, 0);
    ASSERT_TRUE(WaitForValue(db, SizeQuery(), "20"));
    EXPECT_EQ("0", db.Value("SELECT InterfaceDataSize FROM accounts WHERE AccountID=" + std::to_string(other)));
}

// The server reaches its database on one connection through a relay.
class InterfaceDataRelayTest : public InterfaceDataTest {
protected:
    void SetUp() override
    {
        server.SetConfig("DatabasePort", std::to_string(relay.Port()));
        server.SetConfig("MaxPipes", "1");
        InterfaceDataTest::SetUp();
    }

    TcpRelay relay{TestServer().port};
};

// A layout whose connection is lost while the database's side still holds
// the statement must never land after the layouts acknowledged later.
TEST_F(InterfaceDataRelayTest, ALayoutLostInFlightNeverLandsAfterLaterOnes)
{
    ASSERT_TRUE(LogIn(client, 1, u"ann@x", u"secret"));
    relay.Hold(0);
    std::vector<uint8_t> data = Pattern(40);
    ASSERT_TRUE(client.SendRaw(DataMessage(101, data).bytes));
    ExpectTerminator(client, 101, 0);
    // The statement carries the layout in hex.
    ASSERT_TRUE(WaitUntil([&] { return relay.HeldBytes(0) > 2 * data.size(); }));
    relay.CutClientSide(0);

    for (uint8_t n = 2; n <= 5; n++) {
        data[6] = n;
        ASSERT_TRUE(client.SendRaw(DataMessage(100 + n, data).bytes));
        ExpectTerminator(client, 100 + n, 0);
    }
    std::string last(data.begin(), data.end());
    ASSERT_TRUE(WaitUntil([&] { return Row("InterfaceData") == last; }));
    relay.Deliver(0);
    // The database has ended the session that held the first layout, or runs it now.
    EXPECT_TRUE(WaitUntil([&] { return !relay.ServerSideOpen(0) || Row("InterfaceData") != last; }));
    EXPECT_EQ(last, Row("InterfaceData"));
}

} // namespace

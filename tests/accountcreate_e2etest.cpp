// Account creation against the real server and the test database: every
// result code, the stored e-mail block, framing and the failure log lines.

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "accountrows.h"
#include "loginsequence.h"
#include "serverfixture.h"
#include "testclient.h"
#include "testdb.h"

namespace {

class AccountCreateTest : public FreshDatabaseServerTest {
protected:
    void SetUp() override { StartServer(); }

    void Create(uint32_t requestId, const std::u16string& email, uint32_t code)
    {
        ASSERT_TRUE(client.Send("CREATE_ACCOUNT", Fields().U32(requestId).Wide(email)));
        ExpectTerminator(client, requestId, code);
    }

    std::string AccountCount() { return db.Value("SELECT COUNT(*) FROM accounts").value_or("?"); }
};

TEST_F(AccountCreateTest, AddsTheAccountOnceThenReportsTheEmailTaken)
{
    Create(5, u"new@x", 0);
    auto rows = db.Rows("SELECT Email, AccessLevel, Password FROM accounts");
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(WideBlock(u"new@x", 130), rows[0][0].value_or(""));
    EXPECT_EQ("50", rows[0][1].value_or(""));
    EXPECT_FALSE(rows[0][2].has_value());

    Create(6, u"new@x", 105);
    EXPECT_EQ("1", AccountCount());
    // The same text with other zero padding is another key: only exact blocks match.
    Create(7, u"new@x\u0100", 0);
    EXPECT_EQ("2", AccountCount());
    EXPECT_TRUE(client.ExpectNothing());
}

TEST_F(AccountCreateTest, EmptyEmailIsAKeyOfZeroBytes)
{
    Create(1, u"", 0);
    EXPECT_EQ(std::string(130, '\0'), db.Value("SELECT Email FROM accounts").value_or(""));
    Create(2, u"", 105);
}

TEST_F(AccountCreateTest, LongestEmailIsAcceptedAndLongerOnesRefusedAtOnce)
{
    std::u16string longest(65, u'm');
    Create(1, longest, 0);
    EXPECT_EQ(WideBlock(longest, 130), db.Value("SELECT Email FROM accounts").value_or(""));

    // 66 units do not fit the key: refused without a query.
    Create(2, std::u16string(66, u'n'), 46);
    // A count far over the limit is refused before its bytes are waited for.
    ASSERT_TRUE(client.Send("CREATE_ACCOUNT", Fields().U32(3).U16(5000)));
    ExpectTerminator(client, 3, 46);
    EXPECT_EQ("1", AccountCount());
}

TEST_F(AccountCreateTest, SplitMessageWaitsAndTrailingBytesAreConsumed)
{
    std::vector<uint8_t> message = Fields().Op(client, "CREATE_ACCOUNT").U32(9).Wide(u"split@x").bytes;
    for (uint8_t byte : message) {
        ASSERT_TRUE(client.SendRaw({byte}));
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    ExpectTerminator(client, 9, 0);
    EXPECT_EQ(WideBlock(u"split@x", 130), db.Value("SELECT Email FROM accounts").value_or(""));

    // The request takes the whole buffer: a message behind it is not handled.
    ASSERT_TRUE(client.SendRaw(
        Fields().Op(client, "CREATE_ACCOUNT").U32(10).Wide(u"two@x").Op(client, "LS_CLIENT_ID").Zeros(4).bytes));
    ExpectTerminator(client, 10, 0);
    EXPECT_TRUE(client.ExpectNothing());
}

TEST_F(AccountCreateTest, FailedInsertIsReportedAsFailure)
{
    // Every INSERT into accounts fails from now on.
    db.Exec("CREATE TRIGGER refuse_accounts BEFORE INSERT ON accounts FOR EACH ROW "
            "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused'");
    Create(4, u"fails@x", 46);
    EXPECT_EQ("0", AccountCount());
    EXPECT_NE(std::string::npos, server.LogText().find("Could not verify account!\n"));

    // The next creation of the client still works once inserts do.
    db.Exec("DROP TRIGGER refuse_accounts");
    Create(5, u"fails@x", 0);
}

TEST_F(AccountCreateTest, FailedLookupIsReportedAsFailure)
{
    db.Exec("ALTER TABLE accounts CHANGE Email EmailKey BINARY(130) NOT NULL");
    Create(4, u"x@y", 46);
    EXPECT_NE(std::string::npos, server.LogText().find("Failed to validate email!\n"));
}

TEST_F(AccountCreateTest, ClientGoneBeforeTheAnswer)
{
    for (int i = 0; i < 5; i++) {
        TestClient leaving(server.Dir());
        ASSERT_TRUE(leaving.Connect(server.LoginPort()));
        ASSERT_TRUE(leaving.Send("CREATE_ACCOUNT", Fields().U32(1).Wide(u"gone" + std::u16string(1, u'0' + i))));
        leaving.Close();
    }
    Create(2, u"stays@x", 0);
    EXPECT_TRUE(server.Running());
}

} // namespace

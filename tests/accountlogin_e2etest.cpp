// Account login against the real server and the test database: every
// result code of the decision, the rows it writes, the older-connection
// rule, refused logins that leave the session alone, and hostile rows.

#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "accountrows.h"
#include "dbpoll.h"
#include "loginsequence.h"
#include "serverfixture.h"
#include "testclient.h"
#include "testdb.h"

namespace {

class AccountLoginTest : public FreshDatabaseServerTest {
protected:
    void StartServer(bool requirePassword = true, bool locked = false)
    {
        server.SetConfig("RequireValidPassword", requirePassword ? "true" : "false");
        server.SetConfig("LockServerAtStart", locked ? "true" : "false");
        FreshDatabaseServerTest::StartServer();
    }

    // A login that is refused with code, and nothing else.
    void ExpectRefused(TestClient& who, uint32_t requestId, const std::u16string& email, uint32_t code,
                       const std::u16string& password = u"")
    {
        ASSERT_TRUE(who.SendRaw(AccountLoginMessage(who, requestId, password, email).bytes));
        ExpectTerminator(who, requestId, code);
        EXPECT_TRUE(who.ExpectNothing(100));
    }

    std::string Column(const std::string& column, uint32_t accountId)
    {
        return db.Value("SELECT " + column + " FROM accounts WHERE AccountID=" + std::to_string(accountId))
            .value_or("NULL");
    }

    // The column once it holds expected, or what it holds after about two
    // seconds: the login does not wait for its UPDATEs.
    std::string AwaitColumn(const std::string& column, uint32_t accountId, const std::string& expected)
    {
        std::string value = Column(column, accountId);
        for (int i = 1; i < 200 && value != expected; i++) {
            usleep(10000);
            value = Column(column, accountId);
        }
        return value;
    }
};

TEST_F(AccountLoginTest, AccountWithoutCharactersGetsTheDefaultInterfaceData)
{
    // Without an items table an item query would fail the login: none is made.
    db.Exec("DROP TABLE items");
    uint32_t account = AddAccount(db, AccountRow{u"a@b.c", PasswordDigest(u"abc")});
    StartServer();
    // The handshake computes the computer hash the login stores.
    ASSERT_TRUE(client.SendRaw(Fields().Op(client, "CLIENT_SEED").Zeros(64).bytes));
    ExpectReply(client, Fields().Op(client, "SERVER_SEED").Zeros(20));
    ASSERT_TRUE(client.SendRaw(Fields()
                                   .Op(client, "COMPUTER_USER").Wide(u"player1").Wide(u"desktop")
                                   .Op(client, "LS_CLIENT_ID").Zeros(4).bytes));
    ExpectReply(client, Fields().Op(client, "P12B_REPLY").U32(0));

    std::vector<uint8_t> login = AccountLoginMessage(client, 0x11223344, u"abc", u"a@b.c").bytes;
    EXPECT_EQ("c0 03 44 33 22 11 06 00 61 00 62 00 63 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
              "05 00 61 00 40 00 62 00 2e 00 63 00",
              HexBytes(login));
    ASSERT_TRUE(client.SendRaw(login));
    ExpectReply(client, Fields(DefaultAccountData(client, 0x11223344)).Raw(LoginAnswerTail(client, 0x11223344).bytes));
    EXPECT_TRUE(client.ExpectNothing(100));

    EXPECT_EQ(SqlBytes(Column("CompHash", account)),
              "0xf4884a1863b47148b82140e452d06abf66fc2e292f62861c80f4e04d067d696f");
    EXPECT_NE(std::string::npos, server.ConsoleText().find("Account Name: a@b.c\n"));
}

TEST_F(AccountLoginTest, WithoutComputerUserTheHashIsZero)
{
    uint32_t account = AddAccount(db, AccountRow{u"z@z"});
    StartServer();
    ASSERT_TRUE(LogIn(client, 1, u"z@z"));
    EXPECT_EQ(std::string(32, '\0'), AwaitColumn("CompHash", account, std::string(32, '\0')));
}

TEST_F(AccountLoginTest, PasswordStep)
{
    AddAccount(db, AccountRow{u"pw@x", PasswordDigest(u"secret")});
    AddAccount(db, AccountRow{u"nopw@x"});
    AddAccount(db, AccountRow{u"short@x", std::string("abc")});   // not a digest at all
    StartServer();
    ExpectRefused(client, 1, u"pw@x", 11, u"secreT");
    ExpectRefused(client, 2, u"pw@x", 11);
    ExpectRefused(client, 3, u"short@x", 11);
    ASSERT_TRUE(LogIn(client, 4, u"pw@x", u"secret"));
    // A NULL password is not checked.
    ASSERT_TRUE(LogIn(client, 5, u"nopw@x", u"anything"));

    // A count over the field's 22 bytes is cut to them.
    AddAccount(db, AccountRow{u"long@x", PasswordDigest(u"elevenchars")});
    std::vector<uint8_t> message = AccountLoginMessage(client, 6, u"elevenchars", u"long@x").bytes;
    message[6] = 255;
    ASSERT_TRUE(client.SendRaw(message));
    std::vector<uint8_t> answer;
    EXPECT_TRUE(ReceiveThrough(client, StreamTerminator(client, 6, 0).bytes, &answer));
}

TEST_F(AccountLoginTest, PasswordIsIgnoredWhenNotRequired)
{
    AddAccount(db, AccountRow{u"pw@x", PasswordDigest(u"secret")});
    StartServer(false);
    ASSERT_TRUE(LogIn(client, 1, u"pw@x", u"wrong"));
}

TEST_F(AccountLoginTest, UnknownAndOverlongEmails)
{
    AddAccount(db, AccountRow{u"known@x"});
    StartServer();
    ExpectRefused(client, 1, u"unknown@x", 21);
    // More than 65 units cannot be an account's e-mail: refused at once, the
    // announced bytes are not waited for.
    ASSERT_TRUE(client.SendRaw(Fields().Op(client, "ACCOUNT_LOGIN").U32(2).U8(0).U8(0).Zeros(22).U16(60000).bytes));
    ExpectTerminator(client, 2, 21);
    ExpectRefused(client, 3, std::u16string(66, u'k'), 21);
    ASSERT_TRUE(LogIn(client, 4, u"known@x"));
}

TEST_F(AccountLoginTest, AccessLevelsAndTheMark)
{
    int32_t now = int32_t(time(nullptr));
    AddAccount(db, AccountRow{u"zero@x", std::nullopt, 0});
    uint32_t marked = AddAccount(db, AccountRow{u"marked@x", std::nullopt, 10, now, 100000});
    uint32_t expired = AddAccount(db, AccountRow{u"expired@x", std::nullopt, 10, now - 1000, 500});
    AddAccount(db, AccountRow{u"player@x", std::nullopt, 26});
    StartServer();
    ExpectRefused(client, 1, u"zero@x", 45);
    ExpectRefused(client, 2, u"marked@x", 45);
    EXPECT_EQ("10", Column("AccessLevel", marked));
    ASSERT_TRUE(LogIn(client, 3, u"expired@x"));
    ASSERT_TRUE(LogIn(client, 4, u"player@x"));
    EXPECT_EQ("50", AwaitColumn("AccessLevel", expired, "50"));
}

TEST_F(AccountLoginTest, LockedServerAdmitsOnlyHighLevels)
{
    int32_t now = int32_t(time(nullptr));
    AddAccount(db, AccountRow{u"forty@x", std::nullopt, 40});
    AddAccount(db, AccountRow{u"fifty@x", std::nullopt, 50});
    AddAccount(db, AccountRow{u"sixty@x", std::nullopt, 60});
    AddAccount(db, AccountRow{u"minus@x", std::nullopt, -1});
    uint32_t expired = AddAccount(db, AccountRow{u"expired@x", std::nullopt, 5, now - 1000, 1});
    StartServer(true, true);
    ExpectRefused(client, 1, u"forty@x", 17);
    ExpectRefused(client, 2, u"fifty@x", 17);
    // An expired mark is lifted even though the login is then refused.
    ExpectRefused(client, 3, u"expired@x", 17);
    ASSERT_TRUE(LogIn(client, 4, u"sixty@x"));
    ASSERT_TRUE(LogIn(client, 5, u"minus@x"));
    EXPECT_EQ("50", AwaitColumn("AccessLevel", expired, "50"));
}

TEST_F(AccountLoginTest, DatabaseFailuresAndZeroAccountId)
{
    uint32_t account = AddAccount(db, AccountRow{u"zero-id@x"});
    db.Exec("UPDATE accounts SET AccountID=0 WHERE AccountID=" + std::to_string(account));
    AddAccount(db, AccountRow{u"fine@x"});
    StartServer();
    ExpectRefused(client, 1, u"zero-id@x", 56);

    // The characters query fails: 56, nothing logged, the session stays logged in.
    db.Exec("RENAME TABLE characters TO characters_away");
    ExpectRefused(client, 2, u"fine@x", 56);
    db.Exec("RENAME TABLE characters_away TO characters");

    db.Exec("ALTER TABLE accounts CHANGE Email EmailKey BINARY(130) NOT NULL");
    ExpectRefused(client, 3, u"fine@x", 56);
    EXPECT_NE(std::string::npos, server.LogText().find("Failed to validate login.\n"));
}

TEST_F(AccountLoginTest, AccountIdsAreReadExactly)
{
    // Wider columns than the schema's let ids beyond 32 bits and signs in;
    // a signed read would take each of them for account 2147483647.
    db.Exec("ALTER TABLE accounts MODIFY AccountID BIGINT NOT NULL AUTO_INCREMENT");
    db.Exec("ALTER TABLE characters MODIFY MissionID BIGINT NOT NULL DEFAULT 0");
    AddCharacter(db, CharacterRow{AddAccount(db, AccountRow{u"mission@x"}), u"Ann"});
    db.Exec("UPDATE characters SET MissionID=4294967296");
    AddAccountWithId(db, 2147483647, AccountRow{u"low@x"});
    AddAccountWithId(db, 3000000000, AccountRow{u"high@x"});
    db.Exec("INSERT INTO accounts (AccountID, Email) VALUES (4294967296, " + SqlBytes(WideBlock(u"wide@x", 130)) +
            "), (-5, " + SqlBytes(WideBlock(u"minus@x", 130)) + ")");
    StartServer();

    ExpectRefused(client, 1, u"wide@x", 56);
    ExpectRefused(client, 2, u"minus@x", 56);
    ExpectRefused(client, 3, u"mission@x", 56);

    // Each id names its own row: the computer hash lands in the right one.
    ASSERT_TRUE(LogIn(client, 4, u"high@x"));
    EXPECT_TRUE(
        WaitForValue(db, "SELECT CompHash FROM accounts WHERE AccountID=3000000000", std::string(32, '\0')));
    EXPECT_EQ("NULL", Column("CompHash", 2147483647));
}

TEST_F(AccountLoginTest, UnexpectedColumnValuesNeverCrash)
{
    // A table that lets every value be NULL or of any length.
    db.Exec("DROP TABLE accounts");
    db.Exec("CREATE TABLE accounts (AccountID INT NULL, Email VARBINARY(130) NULL, Password VARBINARY(64) NULL, "
            "AccessLevel VARCHAR(20) NULL, TimeAccountMarked INT NULL, DurationOfMark INT NULL, "
            "InterfaceDataSize BIGINT NULL, InterfaceData BLOB NULL, CompHash VARBINARY(64) NULL)");
    auto add = [&](const std::u16string& email, const std::string& values) {
        db.Exec("INSERT INTO accounts (Email, AccountID, AccessLevel, TimeAccountMarked, DurationOfMark, "
                "InterfaceDataSize, InterfaceData) VALUES (" + SqlBytes(WideBlock(email, 130)) + ", " + values + ")");
    };
    add(u"null-id@x", "NULL, '50', 0, 0, 0, NULL");
    add(u"null-level@x", "1, NULL, 0, 0, 0, NULL");
    add(u"null-mark@x", "2, '10', NULL, NULL, 0, NULL");
    add(u"huge-level@x", "3, '99999999999999999999', 0, 0, 0, NULL");
    add(u"null-data@x", "4, '50', 0, 0, 40, NULL");
    add(u"null-size@x", "5, '50', 0, 0, NULL, 0x0102030405060708");
    add(u"huge-size@x", "6, '50', 0, 0, 4000000000, 0x0102030405060708");
    add(u"big-data@x", "7, '50', 0, 0, 5000, REPEAT('q', 3000)");
    StartServer();
    ExpectRefused(client, 1, u"null-id@x", 56);
    ExpectRefused(client, 2, u"null-level@x", 45);
    ExpectRefused(client, 3, u"null-mark@x", 45);
    ASSERT_TRUE(LogIn(client, 4, u"huge-level@x"));

    std::vector<uint8_t> answer;
    // NULL data or NULL size: the default interface data.
    Fields defaults = Fields(DefaultAccountData(client, 5)).Raw(LoginAnswerTail(client, 5).bytes);
    ASSERT_TRUE(LogIn(client, 5, u"null-data@x", u"", &answer));
    EXPECT_EQ(HexBytes(defaults.bytes), HexBytes(answer));
    ASSERT_TRUE(LogIn(client, 6, u"null-size@x", u"", &answer));
    EXPECT_EQ(HexBytes(Fields(DefaultAccountData(client, 6)).Raw(LoginAnswerTail(client, 6).bytes).bytes),
              HexBytes(answer));
    // A size above what the row holds: only the bytes that are there.
    ASSERT_TRUE(LogIn(client, 7, u"huge-size@x", u"", &answer));
    EXPECT_EQ(HexBytes(Fields().Op(client, "ACCOUNT_DATA").U32(7).U8(7).U8(8)
                           .Raw(LoginAnswerTail(client, 7).bytes).bytes),
              HexBytes(answer));
    // More than 700 bytes stored: 700 are sent.
    ASSERT_TRUE(LogIn(client, 8, u"big-data@x", u"", &answer));
    EXPECT_EQ(700u + LoginAnswerTail(client, 8).bytes.size(), answer.size());
}

TEST_F(AccountLoginTest, NewerLoginClosesTheOlderConnectionOfTheAccount)
{
    AddAccount(db, AccountRow{u"one@x"});
    AddAccount(db, AccountRow{u"other@x"});
    StartServer();
    ASSERT_TRUE(LogIn(client, 1, u"one@x"));
    TestClient second(server.Dir());
    ASSERT_TRUE(second.Connect(server.LoginPort()));
    ASSERT_TRUE(LogIn(second, 2, u"one@x"));
    EXPECT_TRUE(client.WaitClosed());

    // A new connection (it likely gets the closed one's socket) that never
    // logs in is not taken for the old session.
    TestClient idle(server.Dir());
    ASSERT_TRUE(idle.Connect(server.LoginPort()));
    TestClient other(server.Dir());
    ASSERT_TRUE(other.Connect(server.LoginPort()));
    ASSERT_TRUE(LogIn(other, 3, u"other@x"));
    TestClient third(server.Dir());
    ASSERT_TRUE(third.Connect(server.LoginPort()));
    ASSERT_TRUE(LogIn(third, 4, u"one@x"));
    EXPECT_TRUE(second.WaitClosed());
    for (TestClient* open : {&idle, &other, &third}) {
        ASSERT_TRUE(open->Send("LS_CLIENT_ID", Fields().Zeros(4)));
        ExpectReply(*open, Fields().Op(*open, "P12B_REPLY").U32(0));
    }
    // Logging in again on the same connection closes nothing.
    ASSERT_TRUE(LogIn(third, 5, u"one@x"));
}

TEST_F(AccountLoginTest, OlderConnectionRuleRunsBeforeTheAccessTestsButAfterThePassword)
{
    uint32_t account = AddAccount(db, AccountRow{u"one@x", PasswordDigest(u"pw")});
    StartServer();
    ASSERT_TRUE(LogIn(client, 1, u"one@x", u"pw"));
    TestClient wrongPassword(server.Dir());
    ASSERT_TRUE(wrongPassword.Connect(server.LoginPort()));
    ExpectRefused(wrongPassword, 2, u"one@x", 11, u"nope");
    ASSERT_TRUE(client.Send("LS_CLIENT_ID", Fields().Zeros(4)));
    ExpectReply(client, Fields().Op(client, "P12B_REPLY").U32(0));

    db.Exec("UPDATE accounts SET AccessLevel=0 WHERE AccountID=" + std::to_string(account));
    TestClient banned(server.Dir());
    ASSERT_TRUE(banned.Connect(server.LoginPort()));
    ExpectRefused(banned, 3, u"one@x", 45, u"pw");
    EXPECT_TRUE(client.WaitClosed());
}

TEST_F(AccountLoginTest, RefusedLoginLeavesTheSessionOnItsAccount)
{
    AddAccount(db, AccountRow{u"mine@x"});
    AddAccount(db, AccountRow{u"theirs@x", PasswordDigest(u"theirs")});
    StartServer();
    ASSERT_TRUE(LogIn(client, 1, u"mine@x"));
    ExpectRefused(client, 2, u"theirs@x", 11, u"guess");

    // The session is still the one of mine@x: a login there closes it, and
    // the rightful login of theirs@x does not.
    TestClient owner(server.Dir());
    ASSERT_TRUE(owner.Connect(server.LoginPort()));
    ASSERT_TRUE(LogIn(owner, 3, u"theirs@x", u"theirs"));
    ASSERT_TRUE(client.Send("LS_CLIENT_ID", Fields().Zeros(4)));
    ExpectReply(client, Fields().Op(client, "P12B_REPLY").U32(0));
    TestClient again(server.Dir());
    ASSERT_TRUE(again.Connect(server.LoginPort()));
    ASSERT_TRUE(LogIn(again, 4, u"mine@x"));
    EXPECT_TRUE(client.WaitClosed());
}

} // namespace

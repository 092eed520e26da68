// CHARACTER_DELETE against the real server and database: refused before a
// login, refused for names the account does not own or that cannot be
// stored, and once accepted, the character and its own items gone while
// every other account's characters and storage stay.

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dbpoll.h"
#include "accountrows.h"
#include "loginsequence.h"
#include "serverfixture.h"
#include "testclient.h"
#include "testdb.h"

namespace {

class CharacterDeleteTest : public FreshDatabaseServerTest {
protected:
    void SetUp() override
    {
        account = AddAccount(db, AccountRow{u"ann@x", PasswordDigest(u"secret")});
        otherAccount = AddAccount(db, AccountRow{u"bob@x", PasswordDigest(u"hidden")});
        StartServer();
    }

    void LogInAccount() { ASSERT_TRUE(LogIn(client, 1, u"ann@x", u"secret")); }

    // A character with a chosen id (ids below 10 are never handed out, but
    // a row may still carry one).
    void AddCharacterWithId(uint32_t id, uint32_t owner, const std::u16string& name)
    {
        db.Exec("INSERT INTO characters(ID, OwnerAccountID, Name) VALUES(" + std::to_string(id) + ", " +
                std::to_string(owner) + ", " + SqlBytes(WideBlock(name, 60)) + ")");
    }

    // An item row; storage rows have the account in OwnerAID.
    void AddOwnedItem(uint32_t serial, uint32_t ownerCid, uint32_t ownerAid)
    {
        AddItem(db, ItemId(ownerAid, ownerCid, serial), ItemData({}), 0, ownerCid, ownerAid);
    }

    Fields DeleteRequest(uint32_t requestId, const std::u16string& name)
    {
        return Fields().Op(client, "CHARACTER_DELETE").U32(requestId).Wide(name);
    }

    // Deletes a character of the logged-in account: code 0, then the
    // character's row and its own items are gone.
    void DeleteAndAwait(uint32_t requestId, const std::u16string& name, uint32_t characterId)
    {
        ASSERT_TRUE(client.SendRaw(DeleteRequest(requestId, name).bytes));
        ExpectTerminator(client, requestId, 0);
        std::string id = std::to_string(characterId);
        EXPECT_TRUE(WaitForValue(db, "SELECT COUNT(*) FROM characters WHERE ID=" + id, "0"));
        EXPECT_TRUE(WaitForValue(db, "SELECT COUNT(*) FROM items WHERE OwnerCID=" + id, "0"));
    }

    std::string Count(const std::string& where)
    {
        return db.Value("SELECT COUNT(*) FROM " + where).value_or("?");
    }

    uint32_t account = 0;
    uint32_t otherAccount = 0;
};

TEST_F(CharacterDeleteTest, NotLoggedInIsRefusedWithItsOwnRequestId)
{
    AddCharacterWithId(12, account, u"Ann");
    ASSERT_TRUE(client.SendRaw(DeleteRequest(3, u"Ann").bytes));
    ExpectTerminator(client, 3, 24);
    ASSERT_TRUE(client.SendRaw(DeleteRequest(0x0A0B0C0D, u"Ann").bytes));
    ExpectTerminator(client, 0x0A0B0C0D, 24);
    // Even a name that no character can have is first of all not logged in.
    ASSERT_TRUE(client.SendRaw(Fields().Op(client, "CHARACTER_DELETE").U32(5).U16(1000).bytes));
    ExpectTerminator(client, 5, 24);
    EXPECT_TRUE(client.ExpectNothing());
    EXPECT_EQ("1", Count("characters"));
    EXPECT_EQ(std::string::npos, server.ConsoleText().find("Deleting: "));
}

TEST_F(CharacterDeleteTest, SplitRequestIsAnsweredOnceWhole)
{
    std::vector<uint8_t> request = DeleteRequest(7, u"Annabel").bytes;
    // Cut inside the fixed fields, then inside the name.
    for (auto [from, to] : {std::pair<size_t, size_t>{0, 5}, {5, 11}, {11, request.size()}}) {
        EXPECT_TRUE(client.ExpectNothing(100));
        ASSERT_TRUE(client.SendRaw(std::vector<uint8_t>(request.begin() + from, request.begin() + to)));
    }
    ExpectTerminator(client, 7, 24);
    EXPECT_TRUE(client.ExpectNothing());
    ExpectStillServed(client);
}

TEST_F(CharacterDeleteTest, OwnCharacterGoesWithItsItemsOnly)
{
    AddCharacterWithId(12, account, u"Ann");
    AddCharacterWithId(13, otherAccount, u"Ann");   // same name, another account
    AddCharacterWithId(14, account, u"Bea");
    AddOwnedItem(1, 12, 0);
    AddOwnedItem(2, 12, 0);
    AddOwnedItem(3, 13, 0);
    AddOwnedItem(4, 14, 0);
    AddOwnedItem(5, 2, otherAccount);              // storage of both accounts
    AddOwnedItem(6, 2, account);
    LogInAccount();

    DeleteAndAwait(4, u"Ann", 12);
    EXPECT_EQ("2", Count("characters WHERE ID IN (13, 14)"));
    EXPECT_EQ("4", Count("items"));
    EXPECT_NE(std::string::npos, server.ConsoleText().find("Deleting: Ann\n"));

    // Gone now: a second request finds nothing.
    ASSERT_TRUE(client.SendRaw(DeleteRequest(5, u"Ann").bytes));
    ExpectTerminator(client, 5, 46);
    EXPECT_EQ("2", Count("characters"));
}

TEST_F(CharacterDeleteTest, AccountIdAboveTheSignedLimitDeletesOnlyItsOwnCharacter)
{
    // A signed read of 3000000000 would give 2147483647.
    AddCharacterWithId(20, AddAccountWithId(db, 2147483647, AccountRow{u"low@x"}), u"Ann");
    AddCharacterWithId(21, AddAccountWithId(db, 3000000000, AccountRow{u"high@x"}), u"Ann");
    AddOwnedItem(1, 20, 0);
    AddOwnedItem(2, 21, 0);
    ASSERT_TRUE(LogIn(client, 1, u"high@x"));
    DeleteAndAwait(2, u"Ann", 21);
    EXPECT_EQ("1", Count("characters WHERE ID=20"));
    EXPECT_EQ("1", Count("items WHERE OwnerCID=20"));
}

TEST_F(CharacterDeleteTest, AnotherAccountsCharacterIsNotFound)
{
    AddCharacterWithId(13, otherAccount, u"Cid");
    AddOwnedItem(3, 13, 0);
    LogInAccount();
    ASSERT_TRUE(client.SendRaw(DeleteRequest(6, u"Cid").bytes));
    ExpectTerminator(client, 6, 46);
    // A prefix of a name is another name.
    AddCharacterWithId(14, account, u"Cidney");
    ASSERT_TRUE(client.SendRaw(DeleteRequest(7, u"Cid").bytes));
    ExpectTerminator(client, 7, 46);
    EXPECT_TRUE(client.ExpectNothing());
    EXPECT_EQ("2", Count("characters"));
    EXPECT_EQ("1", Count("items"));
}

TEST_F(CharacterDeleteTest, LowCharacterIdLeavesEveryAccountsStorage)
{
    AddCharacterWithId(3, account, u"Low");
    AddOwnedItem(1, 3, 0);                  // the character's own item
    AddOwnedItem(2, 3, otherAccount);       // storage rows under the same OwnerCID
    AddOwnedItem(3, 3, account);
    LogInAccount();
    ASSERT_TRUE(client.SendRaw(DeleteRequest(8, u"Low").bytes));
    ExpectTerminator(client, 8, 0);
    EXPECT_TRUE(WaitForValue(db, "SELECT COUNT(*) FROM characters", "0"));
    EXPECT_TRUE(WaitForValue(db, "SELECT COUNT(*) FROM items WHERE OwnerAID=0", "0"));
    EXPECT_EQ("2", Count("items WHERE OwnerCID=3"));
}

TEST_F(CharacterDeleteTest, NameTooLongToBeStoredIsRefusedWithoutALookup)
{
    std::u16string longest(30, u'x');
    AddCharacterWithId(12, account, longest);
    LogInAccount();
    // 31 units, sent whole.
    ASSERT_TRUE(client.SendRaw(DeleteRequest(9, longest + u"x").bytes));
    ExpectTerminator(client, 9, 46);
    // A huge count is refused at once, not waited for.
    ASSERT_TRUE(client.SendRaw(Fields().Op(client, "CHARACTER_DELETE").U32(10).U16(65535).bytes));
    ExpectTerminator(client, 10, 46);
    EXPECT_EQ(std::string::npos, server.ConsoleText().find("Deleting: "));
    ExpectStillServed(client);

    // The longest name that can be stored is found.
    ASSERT_TRUE(client.SendRaw(DeleteRequest(11, longest).bytes));
    ExpectTerminator(client, 11, 0);
    EXPECT_TRUE(WaitForValue(db, "SELECT COUNT(*) FROM characters", "0"));
}

TEST_F(CharacterDeleteTest, SplitNameWhileLoggedInIsLookedUpWhole)
{
    AddCharacterWithId(12, account, u"Annabel");
    LogInAccount();
    std::vector<uint8_t> request = DeleteRequest(12, u"Annabel").bytes;
    ASSERT_TRUE(client.SendRaw(std::vector<uint8_t>(request.begin(), request.begin() + 13)));
    EXPECT_TRUE(client.ExpectNothing(200));
    ASSERT_TRUE(client.SendRaw(std::vector<uint8_t>(request.begin() + 13, request.end())));
    ExpectTerminator(client, 12, 0);
    EXPECT_TRUE(WaitForValue(db, "SELECT COUNT(*) FROM characters", "0"));
}

TEST_F(CharacterDeleteTest, RefusedLoginToAnotherAccountGivesNoRightsThere)
{
    AddCharacterWithId(13, otherAccount, u"Cid");
    LogInAccount();
    ASSERT_TRUE(client.SendRaw(AccountLoginMessage(client, 2, u"guess", u"bob@x").bytes));
    ExpectTerminator(client, 2, 11);
    ASSERT_TRUE(client.SendRaw(DeleteRequest(3, u"Cid").bytes));
    ExpectTerminator(client, 3, 46);
    EXPECT_EQ("1", Count("characters"));
}

TEST_F(CharacterDeleteTest, ClientLeavingMidRequestHarmsNobody)
{
    AddCharacterWithId(12, account, u"Ann");
    LogInAccount();
    ASSERT_TRUE(client.SendRaw(DeleteRequest(13, u"Ann").bytes));
    client.Close();
    // Whether the lookup ran before the server saw the close, the server
    // goes on serving and ends cleanly (the sanitizer build checks for leaks).
    TestClient other(server.Dir());
    ASSERT_TRUE(other.Connect(server.LoginPort()));
    ASSERT_TRUE(other.Send("LS_CLIENT_ID", Fields().Zeros(4)));
    std::vector<uint8_t> reply;
    EXPECT_TRUE(other.Receive(6, &reply));
}

} // namespace

// The deletion continuation fed with real result sets of the lookup, and the
// statements it queues run against real rows: a character goes with its own
// items, never with another account's character or storage. Also the
// interface-data UPDATE against the real column. The session here has no
// connection, as after its client has gone: nothing is written anywhere.

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <mysql.h>

#include "characterdelete.h"
#include "database.h"
#include "interfacedata.h"
#include "server.h"
#include "sessions.h"
#include "testdb.h"

namespace {

// Zero-padded UTF-16LE name as the 120 hex digits of a literal.
std::string NameHex(const std::string& name)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex = "0x";
    for (size_t i = 0; i < kCharacterNameUnits; i++) {
        uint8_t low = i < name.size() ? uint8_t(name[i]) : 0;
        hex += digits[low >> 4];
        hex += digits[low & 15];
        hex += "00";
    }
    return hex;
}

std::vector<uint8_t> StoredName(const std::string& name)
{
    std::vector<uint8_t> bytes(kCharacterNameBytes, 0);
    for (size_t i = 0; i < name.size(); i++)
        bytes[2 * i] = uint8_t(name[i]);
    return bytes;
}

class DeleteLookupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        session.id = 5;
        session.accountId = 7;
        session.requestId = 4;
        session.loggedIn = 1;
    }

    void TearDown() override { TakeQueued(); }

    void AddCharacter(uint32_t id, uint32_t account, const std::string& name)
    {
        db.Exec("INSERT INTO characters(ID, OwnerAccountID, Name) VALUES(" + std::to_string(id) + ", " +
                std::to_string(account) + ", " + NameHex(name) + ")");
    }

    void AddItem(uint32_t serial, uint32_t ownerCid, uint32_t ownerAid)
    {
        char id[32];
        snprintf(id, sizeof id, "0x%024x", serial);
        db.Exec("INSERT INTO items(ID, Data, OwnerCID, OwnerAID) VALUES(" + std::string(id) + ", '', " +
                std::to_string(ownerCid) + ", " + std::to_string(ownerAid) + ")");
    }

    std::vector<std::string> TakeQueued()
    {
        std::vector<std::string> texts;
        for (QUERY& query : server.database.queue) {
            texts.emplace_back(query.text);
            delete[] query.text;
        }
        server.database.queue.clear();
        return texts;
    }

    // Runs the statement on the test database and hands its result set to
    // the continuation, as the result pump does.
    int32_t Continue(const std::string& sql)
    {
        MYSQL* connection = db.Connection();
        EXPECT_EQ(0, mysql_query(connection, sql.c_str())) << mysql_error(connection);
        QUERY_RESULT result = {mysql_store_result(connection), 2, -1};
        EXPECT_NE(nullptr, result.result);
        int32_t outcome = OnCharacterDeleteLookup(&result, &session);
        if (result.result)
            mysql_free_result(result.result);
        return outcome;
    }

    // Looks the name up for the session's account and runs what the
    // continuation queued.
    int32_t DeleteByName(const std::string& name)
    {
        int32_t outcome = Continue(CharacterLookupQuery(StoredName(name).data(), session.accountId));
        for (const std::string& text : TakeQueued())
            db.Exec(text);
        return outcome;
    }

    std::string Count(const std::string& where)
    {
        return db.Value("SELECT COUNT(*) FROM " + where).value_or("?");
    }

    FreshDatabase db;
    ClientData session;
};

TEST_F(DeleteLookupTest, CharacterGoesWithItsOwnItemsOnly)
{
    AddCharacter(12, 7, "Ann");
    AddCharacter(13, 8, "Ann");   // another account's character of the same name
    AddCharacter(14, 7, "Bob");
    AddItem(1, 12, 0);
    AddItem(2, 12, 0);
    AddItem(3, 13, 0);
    AddItem(4, 14, 0);
    AddItem(5, 2, 8);             // account 8's storage

    EXPECT_EQ(0, DeleteByName("Ann"));
    EXPECT_EQ("0", Count("characters WHERE ID=12"));
    EXPECT_EQ("2", Count("characters WHERE ID IN (13, 14)"));
    EXPECT_EQ("0", Count("items WHERE OwnerCID=12"));
    EXPECT_EQ("3", Count("items"));
}

TEST_F(DeleteLookupTest, LowCharacterIdLeavesStorageOfEveryAccount)
{
    AddCharacter(3, 7, "Low");
    AddItem(1, 3, 0);             // the character's item
    AddItem(2, 3, 8);             // storage of account 8 under the same OwnerCID
    AddItem(3, 3, 7);             // and of the character's own account

    EXPECT_EQ(0, Continue(CharacterLookupQuery(StoredName("Low").data(), 7)));
    std::vector<std::string> queued = TakeQueued();
    ASSERT_EQ(2u, queued.size());
    EXPECT_EQ("DELETE FROM items WHERE OwnerCID=3 AND OwnerAID=0", queued[0]);
    EXPECT_EQ("DELETE FROM characters WHERE ID=3 AND OwnerAccountID=7 LIMIT 1", queued[1]);
    for (const std::string& text : queued)
        db.Exec(text);
    EXPECT_EQ("0", Count("characters"));
    EXPECT_EQ("2", Count("items WHERE OwnerCID=3 AND OwnerAID IN (7, 8)"));
    EXPECT_EQ("2", Count("items"));
}

TEST_F(DeleteLookupTest, NoCharacterOfThatNameForTheAccount)
{
    AddCharacter(13, 8, "Ann");
    AddCharacter(14, 7, "Anna");
    EXPECT_EQ(-2, DeleteByName("Ann"));
    EXPECT_EQ("2", Count("characters"));
}

TEST_F(DeleteLookupTest, UnusableLookupResultsQueueNothing)
{
    QUERY_RESULT failed = {nullptr, 2, -1};
    EXPECT_EQ(-1, OnCharacterDeleteLookup(&failed, &session));
    EXPECT_EQ(-2, Continue("SELECT NULL AS ID"));
    EXPECT_EQ(-2, Continue("SELECT '' AS ID"));
    EXPECT_EQ(-2, Continue("SELECT 'x1' AS ID"));
    EXPECT_EQ(-2, Continue("SELECT 4294967296 AS ID"));
    EXPECT_TRUE(TakeQueued().empty());
    // The largest id is still an id.
    EXPECT_EQ(0, Continue("SELECT 4294967295 AS ID"));
    EXPECT_EQ(2u, TakeQueued().size());
}

// The UPDATE as the database receives it: without its marker.
std::string Sent(const std::string& text)
{
    return text.substr(0, text.find("@NOSTATUS"));
}

TEST(InterfaceDataStatementTest, StoredByteForByteAndEmptyAsEmpty)
{
    FreshDatabase db;
    db.Exec("INSERT INTO accounts(AccountID, Email) VALUES(7, 0x61)");
    std::vector<uint8_t> data(kInterfaceMessageLimit - kInterfaceDataOffset);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(i * 7);
    db.Exec(Sent(InterfaceDataUpdateQuery(data.data(), uint32_t(data.size()), 7)));
    EXPECT_EQ("690", db.Value("SELECT InterfaceDataSize FROM accounts WHERE AccountID=7"));
    EXPECT_EQ(std::string(data.begin(), data.end()),
              db.Value("SELECT InterfaceData FROM accounts WHERE AccountID=7"));

    db.Exec(Sent(InterfaceDataUpdateQuery(nullptr, 0, 7)));
    EXPECT_EQ("0", db.Value("SELECT InterfaceDataSize FROM accounts WHERE AccountID=7"));
    EXPECT_EQ(std::string(), db.Value("SELECT InterfaceData FROM accounts WHERE AccountID=7"));

    // The hex form of no bytes would not have been accepted at all.
    EXPECT_NE(0, mysql_query(db.Connection(),
                             "UPDATE accounts SET InterfaceDataSize=0, InterfaceData=0x WHERE AccountID=7"));
}

} // namespace

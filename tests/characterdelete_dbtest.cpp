// The deletion continuation fed with real result sets of the lookup, and the
// statements it queues run against real rows. The session here has no
// connection, as after its client has gone: the continuation must then
// write nothing and leave nothing behind.

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <mysql.h>

#include "characterdelete.h"
#include "database.h"
#include "loginrows.h"
#include "queuedstatements.h"
#include "server.h"
#include "sessions.h"
#include "testdb.h"

namespace {

// An ASCII name as stored: zero-padded UTF-16LE.
std::vector<uint8_t> StoredName(const std::string& name)
{
    std::string block = WideBlock(std::u16string(name.begin(), name.end()), kCharacterNameBytes);
    return std::vector<uint8_t>(block.begin(), block.end());
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

    void TearDown() override { TakeQueuedStatements(server.database); }

    void AddCharacter(uint32_t id, uint32_t account, const std::string& name)
    {
        db.Exec("INSERT INTO characters(ID, OwnerAccountID, Name) VALUES(" + std::to_string(id) + ", " +
                std::to_string(account) + ", " + SqlHex(StoredName(name)) + ")");
    }

    void AddItem(uint32_t serial, uint32_t ownerCid, uint32_t ownerAid)
    {
        char id[32];
        snprintf(id, sizeof id, "0x%024x", serial);
        db.Exec("INSERT INTO items(ID, Data, OwnerCID, OwnerAID) VALUES(" + std::string(id) + ", '', " +
                std::to_string(ownerCid) + ", " + std::to_string(ownerAid) + ")");
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

    std::string Count(const std::string& where)
    {
        return db.Value("SELECT COUNT(*) FROM " + where).value_or("?");
    }

    FreshDatabase db;
    ClientData session;
};

TEST_F(DeleteLookupTest, LowCharacterIdLeavesStorageOfEveryAccount)
{
    AddCharacter(3, 7, "Low");
    AddItem(1, 3, 0);             // the character's item
    AddItem(2, 3, 8);             // storage of account 8 under the same OwnerCID
    AddItem(3, 3, 7);             // and of the character's own account

    EXPECT_EQ(0, Continue(CharacterLookupQuery(StoredName("Low").data(), 7)));
    std::vector<std::string> queued = TakeQueuedStatements(server.database);
    ASSERT_EQ(2u, queued.size());
    EXPECT_EQ("DELETE FROM items WHERE OwnerCID=3 AND OwnerAID=0", queued[0]);
    EXPECT_EQ("DELETE FROM characters WHERE ID=3 AND OwnerAccountID=7 LIMIT 1", queued[1]);
    for (const std::string& text : queued)
        db.Exec(text);
    EXPECT_EQ("0", Count("characters"));
    EXPECT_EQ("2", Count("items WHERE OwnerCID=3 AND OwnerAID IN (7, 8)"));
    EXPECT_EQ("2", Count("items"));
}

TEST_F(DeleteLookupTest, UnusableLookupResultsQueueNothing)
{
    QUERY_RESULT failed = {nullptr, 2, -1};
    EXPECT_EQ(-1, OnCharacterDeleteLookup(&failed, &session));
    EXPECT_EQ(-2, Continue("SELECT NULL AS ID"));
    EXPECT_EQ(-2, Continue("SELECT '' AS ID"));
    EXPECT_EQ(-2, Continue("SELECT 'x1' AS ID"));
    EXPECT_EQ(-2, Continue("SELECT 4294967296 AS ID"));
    EXPECT_TRUE(TakeQueuedStatements(server.database).empty());
    // The largest id is still an id.
    EXPECT_EQ(0, Continue("SELECT 4294967295 AS ID"));
    EXPECT_EQ(2u, TakeQueuedStatements(server.database).size());
}

} // namespace

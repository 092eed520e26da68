// The item store against the private MariaDB server: saving, loading and
// deleting rows through the real Database, pumped with Process.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "database.h"
#include "item.h"
#include "testdb.h"

namespace {

void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

Item MakeItem(uint32_t w0, uint32_t w1, uint32_t w2, int32_t location)
{
    Item item;
    Put32(item.id, w0);
    Put32(item.id + 4, w1);
    Put32(item.id + 8, w2);
    item.location = location;
    for (size_t i = 0; i < ItemDataSize; i++)
        item.data[i] = static_cast<uint8_t>(w2 + i);
    return item;
}

std::string HexUpper(const uint8_t* p, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < n; i++) {
        text += digits[p[i] >> 4];
        text += digits[p[i] & 15];
    }
    return text;
}

class ItemStoreTest : public testing::Test {
protected:
    void SetUp() override
    {
        const TestDbServer& server = TestServer();
        testing::internal::CaptureStdout();
        bool connected = database.Connect(server.host.c_str(), server.user.c_str(), server.password.c_str(),
                                          fresh.Name().c_str(), server.port, 2);
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(connected);
        SetItemDatabase(&database);
    }

    void TearDown() override
    {
        SetItemDatabase(nullptr);
    }

    // Pumps the database until the condition holds (statements that file
    // nothing are seen through their effect on the table).
    bool PumpUntil(const std::function<bool()>& done)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            database.Process();
            if (done())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    QUERY_RESULT* WaitForResult(uint32_t queryId)
    {
        QUERY_RESULT* pResult = nullptr;
        PumpUntil([&] { return (pResult = database.FindResult(queryId)) != nullptr; });
        return pResult;
    }

    // Runs every queued write to its end (they file nothing to wait for).
    void Settle()
    {
        testing::internal::CaptureStdout();
        database.Flush();
        lastConsole = testing::internal::GetCapturedStdout();
    }

    // The text of the statement queued last, before anything runs it.
    std::string LastQueued()
    {
        return database.queue.empty() ? "" : database.queue.back().text;
    }

    long RowCount()
    {
        return std::stol(fresh.Value("SELECT COUNT(*) FROM items").value_or("-1"));
    }

    // What the row of this item holds, as text.
    std::string Row(const Item& item)
    {
        return fresh.Value("SELECT CONCAT_WS(',', Size, HEX(Data), ItemLocType, OwnerCID, OwnerAID) "
                           "FROM items WHERE HEX(ID)='" + HexUpper(item.id, 12) + "'")
            .value_or("no row");
    }

    std::string Expected(const Item& item, uint32_t ownerCid, uint32_t ownerAid)
    {
        return "200," + HexUpper(item.data, ItemDataSize) + "," + std::to_string(item.location) + "," +
               std::to_string(ownerCid) + "," + std::to_string(ownerAid);
    }

    // Loads the items of a claimed result and frees the result.
    std::vector<Item> Claim(uint32_t queryId)
    {
        std::vector<Item> items;
        QUERY_RESULT* pResult = WaitForResult(queryId);
        EXPECT_NE(nullptr, pResult);
        if (pResult == nullptr)
            return items;
        uint32_t count = 12345;
        Item* pItems = ItemsFromResult(pResult->result, &count);
        items.assign(pItems, pItems + (pItems ? count : 0));
        EXPECT_EQ(count == 0, pItems == nullptr);
        delete[] pItems;
        database.FreeResult(queryId);
        return items;
    }

    FreshDatabase fresh;
    Database database;
    std::string lastConsole;
};

const Item* Find(const std::vector<Item>& items, const Item& wanted)
{
    for (const Item& item : items)
        if (item.SameId(wanted))
            return &item;
    return nullptr;
}

} // namespace

TEST_F(ItemStoreTest, SaveInsertsWithOwnersFromTheId)
{
    Item storage = MakeItem(77, 3, 500, 2);
    Item storageNoCharacter = MakeItem(77, 10, 501, 0x01000002);
    Item worn = MakeItem(77, 3, 502, 0);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(storage.Save());
    std::string idHex = "0x4d00000003000000f4010000";
    EXPECT_EQ(0u, LastQueued().find("INSERT INTO items (ID, Size, Data, ItemLocType, OwnerCID, OwnerAID) VALUES(" +
                                    idHex + ", 200, 0x"));
    EXPECT_EQ(storage.SaveQueryText(), LastQueued());
    EXPECT_TRUE(storageNoCharacter.Save());
    EXPECT_TRUE(worn.Save());
    EXPECT_EQ(worn.SaveQueryText(), LastQueued());
    EXPECT_EQ("Saving to Storage!\nSaving to Storage!\n", testing::internal::GetCapturedStdout());
    Settle();

    EXPECT_EQ(3, RowCount());
    EXPECT_EQ(Expected(storage, 3, 77), Row(storage));
    EXPECT_EQ(Expected(storageNoCharacter, 0, 77), Row(storageNoCharacter));
    EXPECT_EQ(Expected(worn, 3, 0), Row(worn));
    EXPECT_EQ(0, storage.inDatabase);  // saving does not change it
}

TEST_F(ItemStoreTest, LoadedItemUpdatesAndNewItemInserts)
{
    Item original = MakeItem(7, 12, 600, 0);
    original.Save();
    Settle();
    ASSERT_EQ(1, RowCount());

    uint8_t* pIds = new uint8_t[12];
    std::memcpy(pIds, original.id, 12);
    std::vector<Item> loaded = Claim(LoadItemsById(pIds, 1));
    ASSERT_EQ(1u, loaded.size());
    Item item = loaded[0];
    EXPECT_EQ(1, item.inDatabase);

    // The UPDATE names the id it sets and rewrites that row: no second row appears.
    item.data[0] = 0x99;
    item.location = 0x01000002;  // moved to storage
    testing::internal::CaptureStdout();
    item.Save();
    testing::internal::GetCapturedStdout();
    std::string idHex = "0x070000000c00000058020000";
    EXPECT_EQ(0u, LastQueued().find("UPDATE items SET ID=" + idHex + ", Size=\"200\", Data=0x99"));
    EXPECT_NE(std::string::npos, LastQueued().find(", ItemLocType=\"16777218\", OwnerCID=\"0\", OwnerAID=\"7\" "
                                                   "WHERE ID=" + idHex + " LIMIT 1"));
    Settle();
    EXPECT_EQ(1, RowCount());
    EXPECT_EQ(Expected(item, 0, 7), Row(item));

    // A fresh item saved twice sends two INSERTs; the key refuses the second.
    Item fresh = MakeItem(7, 12, 601, 0);
    fresh.Save();
    fresh.Save();
    Settle();
    EXPECT_NE(std::string::npos, lastConsole.find("Query Failed")) << lastConsole;
    EXPECT_EQ(2, RowCount());
    EXPECT_EQ(Expected(fresh, 12, 0), Row(fresh));
    EXPECT_EQ(0u, database.GetResultCount());  // failed writes leave nothing behind
}

TEST_F(ItemStoreTest, LoadByIdReadsRowsByteExact)
{
    Item a = MakeItem(7, 12, 700, -5);
    Item b = MakeItem(7, 0, 701, 16777218);
    testing::internal::CaptureStdout();
    a.Save();
    b.Save();
    testing::internal::GetCapturedStdout();
    Settle();

    uint8_t* pIds = new uint8_t[5 * 12]{};
    std::memcpy(pIds, a.id, 12);
    std::memcpy(pIds + 12, b.id, 12);
    std::memcpy(pIds + 24, a.id, 12);  // a duplicate; the last two stay unknown (zero)
    std::string expectedText = ItemsByIdQueryText(pIds, 5);
    uint32_t queryId = LoadItemsById(pIds, 5);
    EXPECT_EQ(expectedText, LastQueued());
    std::vector<Item> items = Claim(queryId);
    ASSERT_EQ(2u, items.size());
    const Item* pA = Find(items, a);
    const Item* pB = Find(items, b);
    ASSERT_NE(nullptr, pA);
    ASSERT_NE(nullptr, pB);
    EXPECT_EQ(0, std::memcmp(a.data, pA->data, ItemDataSize));
    EXPECT_EQ(0, std::memcmp(b.data, pB->data, ItemDataSize));
    EXPECT_EQ(-5, pA->location);
    EXPECT_EQ(2, pB->GetLocationType());
    EXPECT_EQ(1, pB->GetLocationByte());
    for (const Item& item : items) {
        EXPECT_EQ(1, item.inDatabase);
        EXPECT_EQ(0u, item.ownerCid);
        EXPECT_EQ(0u, item.ownerAid);
    }

    // Ids that match nothing give a set of no rows: no items, count 0.
    EXPECT_TRUE(Claim(LoadItemsById(new uint8_t[12]{}, 1)).empty());
}

TEST_F(ItemStoreTest, LoadForCharacterGetsItsItemsAndTheAccountStorage)
{
    Item worn = MakeItem(7, 12, 800, 0x03000000);
    Item storage = MakeItem(7, 0, 801, 2);
    Item storageOfSlot = MakeItem(7, 3, 802, 2);
    Item otherCharacter = MakeItem(7, 13, 803, 0);
    Item otherStorage = MakeItem(8, 0, 804, 2);
    testing::internal::CaptureStdout();
    for (Item* pItem : { &worn, &storage, &storageOfSlot, &otherCharacter, &otherStorage })
        pItem->Save();
    testing::internal::GetCapturedStdout();
    Settle();
    ASSERT_EQ(5, RowCount());

    testing::internal::CaptureStdout();
    uint32_t queryId = LoadItemsForCharacter(7, 12);
    std::string text = "SELECT ID, Data, ItemLocType FROM items WHERE (OwnerCID=12 AND OwnerAID=0) OR "
                       "(OwnerAID=7 AND OwnerCID<10)";
    EXPECT_EQ("LOAD: " + text + "\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(text, LastQueued());
    std::vector<Item> items = Claim(queryId);
    EXPECT_EQ(3u, items.size());
    EXPECT_NE(nullptr, Find(items, worn));
    EXPECT_NE(nullptr, Find(items, storage));
    EXPECT_NE(nullptr, Find(items, storageOfSlot));
}

TEST_F(ItemStoreTest, Deletes)
{
    Item first = MakeItem(7, 12, 900, 0);
    Item second = MakeItem(7, 12, 901, 0);
    Item kept = MakeItem(7, 12, 902, 0);
    for (Item* pItem : { &first, &second, &kept })
        pItem->Save();
    Settle();
    ASSERT_EQ(3, RowCount());

    testing::internal::CaptureStdout();
    EXPECT_TRUE(DeleteItemById(first.id));
    EXPECT_EQ("DELETE FROM items WHERE ID=0x070000000c00000084030000 LIMIT 1", LastQueued());
    second.inDatabase = 1;
    EXPECT_TRUE(second.DeleteFromDb());
    EXPECT_EQ("DELETE FROM items WHERE ID=0x070000000c00000085030000", LastQueued());
    EXPECT_EQ("Deleting ? from the database.\nDeleting current item from database...\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, second.inDatabase);  // cleared at once, before the statement runs
    Settle();
    EXPECT_EQ(1, RowCount());
    EXPECT_EQ(Expected(kept, 12, 0), Row(kept));
}

TEST_F(ItemStoreTest, ShortAndNullColumnsLeaveZeros)
{
    fresh.Exec("CREATE TABLE odd (ID VARBINARY(12) NULL, Data VARBINARY(200) NULL, ItemLocType INT NULL)");
    fresh.Exec("INSERT INTO odd VALUES (0x0102030405060708, 0xAABB, NULL), (NULL, NULL, 7)");
    std::string text = "SELECT ID, Data, ItemLocType FROM odd ORDER BY ItemLocType";
    std::vector<Item> items = Claim(database.Query(text.c_str(), int(text.size())));
    ASSERT_EQ(2u, items.size());
    const uint8_t id[12] = { 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0 };
    EXPECT_EQ(0, std::memcmp(id, items[0].id, 12));
    EXPECT_EQ(0xAA, items[0].data[0]);
    EXPECT_EQ(0xBB, items[0].data[1]);
    EXPECT_EQ(0, items[0].data[2]);
    EXPECT_EQ(0, items[0].location);
    Item zero;
    EXPECT_EQ(0, std::memcmp(zero.id, items[1].id, 12));
    EXPECT_EQ(0, std::memcmp(zero.data, items[1].data, ItemDataSize));
    EXPECT_EQ(7, items[1].location);

    uint32_t count = 99;
    EXPECT_EQ(nullptr, ItemsFromResult(nullptr, &count));
    EXPECT_EQ(99u, count);
}

TEST_F(ItemStoreTest, NullCountStopsWithItsReport)
{
    MYSQL* connection = fresh.Connection();
    ASSERT_EQ(0, mysql_query(connection, "SELECT ID, Data, ItemLocType FROM items"));
    MYSQL_RES* result = mysql_store_result(connection);
    ASSERT_NE(nullptr, result);
    EXPECT_DEATH(ItemsFromResult(result, nullptr), "pNumItems!=NULL");
    mysql_free_result(result);
}

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
        ASSERT_TRUE(ConnectTestDatabase(&database, fresh, 1));
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

    long RowCount(const std::string& where)
    {
        return std::stol(fresh.Value("SELECT COUNT(*) FROM items WHERE " + where));
    }

    // What the row of this item holds, as text.
    std::string Row(const Item& item)
    {
        return fresh.Value("SELECT CONCAT_WS(',', Size, HEX(Data), ItemLocType, OwnerCID, OwnerAID) "
                           "FROM items WHERE HEX(ID)='" + HexUpper(item.id, 12) + "'");
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
    EXPECT_TRUE(storageNoCharacter.Save());
    EXPECT_TRUE(worn.Save());
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ("Saving to Storage!\nSaving to Storage!\n", console);
    ASSERT_TRUE(PumpUntil([&] { return RowCount("1") == 3; }));

    EXPECT_EQ(Expected(storage, 3, 77), Row(storage));
    EXPECT_EQ(Expected(storageNoCharacter, 0, 77), Row(storageNoCharacter));
    EXPECT_EQ(Expected(worn, 3, 0), Row(worn));
    EXPECT_EQ(0, storage.inDatabase);  // saving does not change it
}

TEST_F(ItemStoreTest, LoadedItemUpdatesAndNewItemInserts)
{
    Item original = MakeItem(7, 12, 600, 0);
    original.Save();
    ASSERT_TRUE(PumpUntil([&] { return RowCount("1") == 1; }));

    std::vector<Item> loaded = Claim(LoadItemsById(new uint8_t[12]{}, 1));  // unknown id: no rows
    EXPECT_TRUE(loaded.empty());
    uint8_t* pIds = new uint8_t[12];
    std::memcpy(pIds, original.id, 12);
    loaded = Claim(LoadItemsById(pIds, 1));
    ASSERT_EQ(1u, loaded.size());
    Item item = loaded[0];
    EXPECT_EQ(1, item.inDatabase);

    // The UPDATE rewrites the same row: no second row appears.
    item.data[0] = 0x99;
    item.location = 0x01000002;  // moved to storage
    EXPECT_EQ(0u, item.SaveQueryText().find("UPDATE items SET ID=0x"));
    item.Save();
    ASSERT_TRUE(PumpUntil([&] { return Row(item) == Expected(item, 0, 7); }));
    EXPECT_EQ(1, RowCount("1"));

    // A fresh item saved twice sends two INSERTs; the key refuses the second.
    Item fresh = MakeItem(7, 12, 601, 0);
    testing::internal::CaptureStdout();
    fresh.Save();
    fresh.Save();
    bool settled = PumpUntil([&] { return RowCount("1") == 2 && database.GetResultCount() > 0; });
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(settled);
    EXPECT_EQ(Expected(fresh, 12, 0), Row(fresh));
}

TEST_F(ItemStoreTest, LoadByIdReadsRowsByteExact)
{
    Item a = MakeItem(7, 12, 700, -5);
    Item b = MakeItem(7, 0, 701, 16777218);
    a.Save();
    b.Save();
    ASSERT_TRUE(PumpUntil([&] { return RowCount("1") == 2; }));

    uint8_t* pIds = new uint8_t[5 * 12]{};
    std::memcpy(pIds, a.id, 12);
    std::memcpy(pIds + 12, b.id, 12);
    std::memcpy(pIds + 24, a.id, 12);  // duplicate; the last two stay unknown (zero)
    std::vector<Item> items = Claim(LoadItemsById(pIds, 5));
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
    ASSERT_TRUE(PumpUntil([&] { return RowCount("1") == 5; }));

    testing::internal::CaptureStdout();
    uint32_t queryId = LoadItemsForCharacter(7, 12);
    EXPECT_EQ("LOAD: " + ItemsForCharacterQueryText(7, 12) + "\n", testing::internal::GetCapturedStdout());
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
    ASSERT_TRUE(PumpUntil([&] { return RowCount("1") == 3; }));

    testing::internal::CaptureStdout();
    EXPECT_TRUE(DeleteItemById(first.id));
    second.inDatabase = 1;
    EXPECT_TRUE(second.DeleteFromDb());
    EXPECT_EQ("Deleting ? from the database.\nDeleting current item from database...\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, second.inDatabase);  // cleared at once
    ASSERT_TRUE(PumpUntil([&] { return RowCount("1") == 1; }));
    EXPECT_EQ(Expected(kept, 12, 0), Row(kept));
}

TEST_F(ItemStoreTest, ShortAndNullColumnsLeaveZeros)
{
    fresh.Exec("CREATE TABLE odd (ID VARBINARY(12) NULL, Data VARBINARY(200) NULL, ItemLocType INT NULL)");
    fresh.Exec("INSERT INTO odd VALUES (0x0102030405060708, 0xAABB, NULL), (NULL, NULL, 7)");
    std::vector<Item> items = Claim(database.Query("SELECT ID, Data, ItemLocType FROM odd ORDER BY ItemLocType", 72));
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

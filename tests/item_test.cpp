// Item record, wire writers, names, id generation and statement texts.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "item.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

std::string Hex(const uint8_t* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string text = "0x";
    for (size_t i = 0; i < n; i++) {
        text += digits[p[i] >> 4];
        text += digits[p[i] & 15];
    }
    return text;
}

Item MakeItem(uint32_t w0, uint32_t w1, uint32_t w2, int32_t location)
{
    Item item;
    Put32(item.id, w0);
    Put32(item.id + 4, w1);
    Put32(item.id + 8, w2);
    item.location = location;
    return item;
}

// Blob with every value of the layout set to something recognisable.
Item ExampleItem()
{
    Item item;
    uint8_t* d = item.GetData();
    for (int i = 0; i < 23; i++)
        d[i] = static_cast<uint8_t>(0x10 + i);
    d[23] = 0xEE;                       // padding, never sent
    Put32(d + 24, 0xA1A2A3A4);
    Put16(d + 28, 6);                   // wide name "Axe": 3 units
    const uint8_t wide[6] = { 'A', 0, 'x', 0, 'e', 0 };
    std::memcpy(d + 30, wide, 6);
    d[55] = 2;
    Put32(d + 56, 0x01020304);
    Put32(d + 60, 0x05060708);
    Put32(d + 64, 0xDEADBEEF);          // beyond the count, not sent
    return item;
}

void Append(Bytes* pOut, std::initializer_list<int> bytes)
{
    for (int b : bytes)
        pOut->push_back(static_cast<uint8_t>(b));
}

Bytes WireData(const Item& item)
{
    Bytes out(ItemDataWireMax);
    out.resize(item.WriteData(out.data()));
    return out;
}

} // namespace

TEST(ItemRecord, ConstructionZeroesEverything)
{
    Item item;
    Bytes zeros(ItemDataSize, 0);
    EXPECT_EQ(0, std::memcmp(item.id, zeros.data(), ItemIdSize));
    EXPECT_EQ(0, std::memcmp(item.data, zeros.data(), ItemDataSize));
    EXPECT_EQ(0, item.inDatabase);
    EXPECT_EQ(0, item.location);
    EXPECT_EQ(0u, item.ownerCid);
    EXPECT_EQ(0u, item.ownerAid);
    EXPECT_FALSE(item.HasName());
}

TEST(ItemRecord, LocationBytes)
{
    Item item;
    item.location = 2;
    EXPECT_EQ(2, item.GetLocationType());
    EXPECT_EQ(0, item.GetLocationByte());
    item.location = 16777218;  // 0x01000002
    EXPECT_EQ(2, item.GetLocationType());
    EXPECT_EQ(1, item.GetLocationByte());

    item.location = 0x12345678;
    item.SetLocationType(0xFE);
    EXPECT_EQ(0x123456FE, item.location);
    EXPECT_EQ(-2, item.GetLocationType());  // read as a signed byte
    item.SetLocationByte(0xAB);
    EXPECT_EQ(static_cast<int32_t>(0xAB3456FE), item.location);
    EXPECT_EQ(0xAB, item.GetLocationByte());
}

TEST(ItemRecord, SlotMap)
{
    EXPECT_EQ(4, ItemSlotMap(0));
    EXPECT_EQ(2, ItemSlotMap(1));
    EXPECT_EQ(6, ItemSlotMap(2));
    EXPECT_EQ(3, ItemSlotMap(3));
    EXPECT_EQ(5, ItemSlotMap(4));
    EXPECT_EQ(0, ItemSlotMap(5));
    EXPECT_EQ(0, ItemSlotMap(-1));
}

TEST(ItemWriteData, ExampleLayout)
{
    Item item = ExampleItem();
    Bytes out = WireData(item);
    ASSERT_EQ(44u, out.size());  // 30 + 6 + 4 x 2
    Bytes expected;
    for (int i = 0; i < 23; i++)
        expected.push_back(static_cast<uint8_t>(0x10 + i));
    Append(&expected, { 0xA4, 0xA3, 0xA2, 0xA1 });
    Append(&expected, { 3, 0, 'A', 0, 'x', 0, 'e', 0, 2, 4, 3, 2, 1, 8, 7, 6, 5 });
    EXPECT_EQ(expected, out);
}

TEST(ItemWriteData, OddWideNameLengthSendsAllItsBytes)
{
    Item item = ExampleItem();
    Put16(item.data + 28, 5);
    Bytes out = WireData(item);
    ASSERT_EQ(30u + 5 + 8, out.size());
    EXPECT_EQ(2, out[27]);  // 5 bytes are 2 whole units
    EXPECT_EQ(0, out[28]);
    EXPECT_EQ('e', out[33]);
    EXPECT_EQ(2, out[34]);  // the value count follows the fifth byte
}

TEST(ItemWriteData, HostileBlobStaysWithinBounds)
{
    struct Case {
        int16_t wideLength;
        uint8_t count;
        size_t expectedLength;
        size_t expectedCount;
    };
    const Case cases[] = {
        { -2, 2, 0, 2 }, { -32768, 0, 0, 0 }, { 400, 2, 25, 2 }, { 32767, 255, 25, 30 },
        { 26, 31, 25, 30 }, { 25, 30, 25, 30 },
    };
    for (const Case& c : cases) {
        // On the heap and exactly sized, so any stray byte is a sanitizer report.
        auto item = std::make_unique<Item>(ExampleItem());
        std::memset(item->data + 30, 0x77, ItemDataSize - 30);
        Put16(item->data + 28, static_cast<uint16_t>(c.wideLength));
        item->data[55] = c.count;
        auto out = std::make_unique<uint8_t[]>(ItemDataWireMax);
        uint32_t written = item->WriteData(out.get());
        SCOPED_TRACE(c.wideLength);
        EXPECT_EQ(30 + c.expectedLength + 4 * c.expectedCount, written);
        EXPECT_EQ(c.expectedLength / 2, static_cast<size_t>(out[27] | out[28] << 8));
        EXPECT_EQ(c.expectedCount, out[29 + c.expectedLength]);
        EXPECT_LE(written, ItemDataWireMax);
    }
}

TEST(ItemDeathTest, NullDestinationStopsWithItsReport)
{
    Item item;
    EXPECT_DEATH(item.WriteName(nullptr), "pDestBuffer!=NULL");
}

TEST(ItemName, WriteNameWidensTheNarrowName)
{
    Item item;
    EXPECT_TRUE(item.SetName("Sword"));
    EXPECT_TRUE(item.HasName());
    uint8_t out[ItemNameWireMax];
    ASSERT_EQ(12u, item.WriteName(out));
    const uint8_t expected[12] = { 5, 0, 'S', 0, 'w', 0, 'o', 0, 'r', 0, 'd', 0 };
    EXPECT_EQ(0, std::memcmp(expected, out, 12));

    Item empty;
    EXPECT_EQ(2u, empty.WriteName(out));
    EXPECT_EQ(0, out[0]);
    EXPECT_EQ(0, out[1]);
}

TEST(ItemName, SetNameKeepsNineteenCharacters)
{
    auto item = std::make_unique<Item>();
    Put32(item->data + ItemNameFlagOffset, 0x11223344);
    item->ownerCid = 0x55555555;
    EXPECT_TRUE(item->SetName("ABCDEFGHIJKLMNOPQRSTUVWXY"));  // 25 characters
    EXPECT_EQ(std::string("ABCDEFGHIJKLMNOPQRS"), reinterpret_cast<const char*>(item->data + ItemNameOffset));
    uint32_t flag;
    std::memcpy(&flag, item->data + ItemNameFlagOffset, 4);
    EXPECT_EQ(0x11223344u, flag);
    EXPECT_EQ(0x55555555u, item->ownerCid);

    EXPECT_TRUE(item->SetName("Bow"));
    EXPECT_EQ(std::string("Bow"), reinterpret_cast<const char*>(item->data + ItemNameOffset));
}

TEST(ItemName, UnterminatedNameIsCutAtNineteen)
{
    auto item = std::make_unique<Item>();
    std::memset(item->data + ItemNameOffset, 'Z', ItemDataSize - ItemNameOffset);  // flag too
    auto out = std::make_unique<uint8_t[]>(ItemNameWireMax);
    ASSERT_EQ(ItemNameWireMax, item->WriteName(out.get()));
    EXPECT_EQ(19, out[0]);
    EXPECT_EQ('Z', out[38]);
    EXPECT_EQ(0, out[39]);
}

TEST(ItemSerialize, AllSections)
{
    Item item = ExampleItem();
    item.SetName("Axe");
    Put32(item.data + ItemNameFlagOffset, 0x1234);
    item.SetLocationByte(9);
    uint32_t value = 0xCAFEBABE;
    uint16_t head = 0x0201, tail = 0x0403;
    Bytes out(ItemSerializeMax);
    uint32_t written = item.Serialize(0x1111, 0x2222, 0x3333, 0x4444, &value, &tail, &head, out.data());
    ASSERT_EQ(6u + 44 + 6 + 8 + 7 + 11, written);
    EXPECT_EQ(0xCAFEBABEu, item.GetOwnerCID());

    Bytes expected = { 0x11, 0x11, 0xBE, 0xBA, 0xFE, 0xCA };
    Bytes data = WireData(item);
    expected.insert(expected.end(), data.begin(), data.end());
    Append(&expected, { 0x33, 0x33, 0xBE, 0xBA, 0xFE, 0xCA, 3, 0, 'A', 0, 'x', 0, 'e', 0 });
    Append(&expected, { 0x44, 0x44, 0xBE, 0xBA, 0xFE, 0xCA, 0x34 });
    Append(&expected, { 0x22, 0x22, 0x01, 0x02, 0xBE, 0xBA, 0xFE, 0xCA, 0x03, 0x04, 9 });
    out.resize(written);
    EXPECT_EQ(expected, out);
}

TEST(ItemSerialize, OptionalSections)
{
    Item item = ExampleItem();
    Put32(item.data + ItemNameFlagOffset, 1);  // a flag without a name is not sent
    uint32_t value = 7;
    uint16_t tail = 0x0403;
    Bytes out(ItemSerializeMax);
    EXPECT_EQ(6u + 44, item.Serialize(1, 2, 3, 4, &value, nullptr, nullptr, out.data()));

    item.SetName("A");
    Put32(item.data + ItemNameFlagOffset, 0);  // a name without the flag
    EXPECT_EQ(6u + 44 + 6 + 4, item.Serialize(1, 2, 3, 4, &value, nullptr, nullptr, out.data()));

    // A location section with no head writes zeros in its place.
    uint32_t written = item.Serialize(1, 2, 3, 4, &value, &tail, nullptr, out.data());
    ASSERT_EQ(6u + 44 + 6 + 4 + 11, written);
    const uint8_t location[11] = { 2, 0, 0, 0, 7, 0, 0, 0, 3, 4, 0 };
    EXPECT_EQ(0, std::memcmp(location, out.data() + written - 11, 11));
}

TEST(ItemSerialize, HostileBlobFitsTheLargestStream)
{
    auto item = std::make_unique<Item>();
    std::memset(item->data, 0xFF, ItemDataSize);  // every length at its worst
    Put16(item->data + 28, 0x7FFF);
    uint32_t value = 1;
    uint16_t head = 2, tail = 3;
    auto out = std::make_unique<uint8_t[]>(ItemSerializeMax);
    EXPECT_EQ(ItemSerializeMax, item->Serialize(1, 2, 3, 4, &value, &tail, &head, out.get()));
}

TEST(ItemGenerateId, NullContainerTakesTheFirstDraw)
{
    std::srand(1);
    uint32_t expected = static_cast<uint32_t>(std::rand()) % 32768 + 400;
    std::srand(1);
    Item item;
    EXPECT_TRUE(item.GenerateId(77, 3, nullptr));
    EXPECT_EQ(77u, item.IdWord(0));
    EXPECT_EQ(3u, item.IdWord(1));
    EXPECT_EQ(expected, item.IdWord(2));

    for (int i = 0; i < 1000; i++) {
        item.GenerateId(1, 2);
        EXPECT_GE(item.IdWord(2), 400u);
        EXPECT_LE(item.IdWord(2), 33167u);
    }
}

TEST(ItemGenerateId, MapKeyOfTheFirstDrawIsTaken)
{
    std::srand(5);
    uint32_t first = static_cast<uint32_t>(std::rand()) % 32768 + 400;
    ItemMap items;
    items[first] = MakeItem(999, 888, first, 0);  // other owners: only word 2 counts
    std::srand(5);
    Item item;
    EXPECT_TRUE(item.GenerateId(77, 3, &items));
    EXPECT_NE(first, item.IdWord(2));
    EXPECT_TRUE(item.IsItemIdFreeInMap(&items));
}

TEST(ItemGenerateId, VectorComparesTheWholeId)
{
    std::srand(9);
    uint32_t first = static_cast<uint32_t>(std::rand()) % 32768 + 400;
    ItemVector items = { MakeItem(78, 3, first, 0) };  // same word 2, other account
    std::srand(9);
    Item item;
    EXPECT_TRUE(item.GenerateId(77, 3, &items));
    EXPECT_EQ(first, item.IdWord(2));

    items.push_back(MakeItem(77, 3, first, 0));
    std::srand(9);
    EXPECT_TRUE(item.GenerateId(77, 3, &items));
    EXPECT_NE(first, item.IdWord(2));
    EXPECT_TRUE(item.IsItemIdFreeInVector(&items));
}

TEST(ItemGenerateId, FullContainersFailInsteadOfLooping)
{
    ItemMap map;
    ItemVector vector;
    for (uint32_t word = 400; word <= 33167; word++) {
        map[word] = Item();
        vector.push_back(MakeItem(77, 3, word, 0));
    }
    Item item;
    EXPECT_FALSE(item.GenerateId(77, 3, &map));
    EXPECT_EQ(0u, item.IdWord(2));
    EXPECT_FALSE(item.GenerateId(77, 3, &vector));
    EXPECT_EQ(77u, item.IdWord(0));
    EXPECT_EQ(3u, item.IdWord(1));
    EXPECT_EQ(0u, item.IdWord(2));

    // One word left: found even when the draws keep missing it.
    map.erase(12345);
    EXPECT_TRUE(item.GenerateId(77, 3, &map));
    EXPECT_EQ(12345u, item.IdWord(2));
    vector.erase(vector.begin() + (33167 - 400));
    EXPECT_TRUE(item.GenerateId(77, 3, &vector));
    EXPECT_EQ(33167u, item.IdWord(2));
}

TEST(ItemStatements, LoadByIdTexts)
{
    uint8_t ids[3 * ItemIdSize];
    for (size_t i = 0; i < sizeof ids; i++)
        ids[i] = static_cast<uint8_t>(i * 7);
    std::string one = "SELECT ID, Data, ItemLocType FROM items WHERE ID=" + Hex(ids, 12) + " LIMIT 1";
    EXPECT_EQ(one, ItemsByIdQueryText(ids, 1));
    EXPECT_EQ(26u, Hex(ids, 12).size());

    std::string three = "SELECT ID, Data, ItemLocType FROM items WHERE ID=" + Hex(ids, 12) + " OR ID=" +
                        Hex(ids + 12, 12) + " OR ID=" + Hex(ids + 24, 12) + " LIMIT 3";
    EXPECT_EQ(three, ItemsByIdQueryText(ids, 3));

    uint8_t same[5 * ItemIdSize];
    for (int i = 0; i < 5; i++)
        std::memcpy(same + 12 * i, ids, 12);
    std::string five = "SELECT ID, Data, ItemLocType FROM items WHERE ID=" + Hex(ids, 12);
    for (int i = 1; i < 5; i++)
        five += " OR ID=" + Hex(ids, 12);
    EXPECT_EQ(five + " LIMIT 5", ItemsByIdQueryText(same, 5));

    // Without ids nothing is queued; the array is released all the same.
    EXPECT_EQ(0u, LoadItemsById(new uint8_t[12], 0));
    EXPECT_EQ(0u, LoadItemsById(nullptr, 3));
}

TEST(ItemStatements, LoadForCharacterText)
{
    EXPECT_EQ("SELECT ID, Data, ItemLocType FROM items WHERE (OwnerCID=12 AND OwnerAID=0) OR "
              "(OwnerAID=7 AND OwnerCID<10)",
              ItemsForCharacterQueryText(7, 12));
}

TEST(ItemStatements, SaveTexts)
{
    Item storage = MakeItem(77, 3, 500, 2);
    storage.data[0] = 0xAB;
    storage.data[199] = 0xCD;
    std::string id = Hex(storage.id, 12), data = Hex(storage.data, 200);
    EXPECT_EQ("INSERT INTO items (ID, Size, Data, ItemLocType, OwnerCID, OwnerAID) VALUES(" + id + ", 200, " +
                  data + ", 2, 3, 77)",
              storage.SaveQueryText());
    storage.inDatabase = 1;
    EXPECT_EQ("UPDATE items SET ID=" + id + ", Size=\"200\", Data=" + data +
                  ", ItemLocType=\"2\", OwnerCID=\"3\", OwnerAID=\"77\" WHERE ID=" + id + " LIMIT 1",
              storage.SaveQueryText());

    // Storage keeps a character number only from 1 to 9.
    for (uint32_t word1 : { 0u, 10u, 0xFFFFFFFFu }) {
        Item item = MakeItem(77, word1, 500, 0x01000002);
        EXPECT_NE(std::string::npos, item.SaveQueryText().find(", 16777218, 0, 77)")) << word1;
    }
    Item worn = MakeItem(77, 3, 500, -5);
    EXPECT_NE(std::string::npos, worn.SaveQueryText().find(", -5, 3, 0)"));
    worn.ownerCid = 40;  // the fields never reach the row
    worn.ownerAid = 41;
    EXPECT_NE(std::string::npos, worn.SaveQueryText().find(", -5, 3, 0)"));
}

TEST(ItemStatements, DeleteTextAndNullId)
{
    Item item = MakeItem(1, 2, 3, 0);
    EXPECT_EQ("DELETE FROM items WHERE ID=0x010000000200000003000000", item.DeleteQueryText());
    EXPECT_EQ("DELETE FROM items WHERE ID=0x010000000200000003000000 LIMIT 1", DeleteItemByIdQueryText(item.id));
    EXPECT_FALSE(DeleteItemById(nullptr));
}

TEST(ItemStatements, StorageSavePrintsItsLine)
{
    Item storage = MakeItem(77, 3, 500, 2);
    Item worn = MakeItem(77, 3, 500, 0);
    testing::internal::CaptureStdout();
    storage.Save();
    worn.Save();
    EXPECT_EQ("Saving to Storage!\n", testing::internal::GetCapturedStdout());
}

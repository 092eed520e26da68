#pragma once

// The item store: one Item record per game item, one row of table `items`
// per stored item. Every statement goes through the store's database handle
// (SetItemDatabase) and is queued without waiting; a caller that wants rows
// keeps the returned query id and reads them with ItemsFromResult.

#include <cstdint>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include <mysql.h>

class Database;

// Layout of the 200-byte data blob (little-endian, each value aligned to its width).
constexpr size_t ItemIdSize = 12;
constexpr size_t ItemDataSize = 200;
constexpr size_t ItemWideNameLengthOffset = 28;  // i16: byte length of the wide name
constexpr size_t ItemWideNameOffset = 30;        // UTF-16LE, no terminator
constexpr size_t ItemWideNameMax = 25;           // bytes of room for the wide name
constexpr size_t ItemValueCountOffset = 55;      // u8: entries used in the value list
constexpr size_t ItemValueListOffset = 56;       // 30 x u32
constexpr size_t ItemValueListMax = 30;
constexpr size_t ItemNameOffset = 176;           // narrow name, zero-terminated
constexpr size_t ItemNameSize = 20;              // 19 characters and the terminator
constexpr size_t ItemNameFlagOffset = 196;       // u32; only its low byte is sent

// locationType value of an item kept in the account's storage.
constexpr int ItemLocationStorage = 2;

// The most bytes each writer produces, whatever the blob holds: a caller's
// destination of this size is always enough.
constexpr size_t ItemDataWireMax = 30 + ItemWideNameMax + 4 * ItemValueListMax;      // 175
constexpr size_t ItemNameWireMax = 2 + 2 * (ItemNameSize - 1);                       // 40
constexpr size_t ItemSerializeMax = (6 + ItemDataWireMax) + (6 + ItemNameWireMax) + 7 + 11;  // 245

struct Item;
using ItemVector = std::vector<Item>;
using ItemMap = std::unordered_map<uint32_t, Item>;  // keyed by id word 2

struct Item {
    uint8_t id[ItemIdSize] = {};     // three u32 LE words: account id, character id, random part
    uint8_t inDatabase = 0;          // 1 when a row with this id is known to exist
    int32_t location = 0;            // ItemLocType: low byte locationType, high byte locationByte
    uint8_t data[ItemDataSize] = {}; // the data blob, stored and loaded unchanged
    uint32_t ownerCid = 0;           // character id held with the item (not what Save stores)
    uint32_t ownerAid = 0;           // account id held with the item (not what Save stores)

    uint8_t* GetData() { return data; }
    const uint8_t* GetData() const { return data; }

    // Persistence (asynchronous: each returns once its statement is queued).
    bool Save();
    bool DeleteFromDb();
    std::string SaveQueryText() const;      // the UPDATE or INSERT that Save queues
    std::string DeleteQueryText() const;    // the DELETE that DeleteFromDb queues

    // Sets the id to word0, word1 and a fresh random word 2 from 400..33167
    // that the container does not hold yet. False when every word 2 is taken;
    // the id then keeps words 0 and 1 and has word 2 = 0.
    bool GenerateId(uint32_t word0, uint32_t word1, const ItemVector* pItems);
    bool GenerateId(uint32_t word0, uint32_t word1, const ItemMap* pItems);
    bool GenerateId(uint32_t word0, uint32_t word1, std::nullptr_t = nullptr);
    bool IsItemIdFreeInVector(const ItemVector* pItems) const;
    bool IsItemIdFreeInMap(const ItemMap* pItems) const;

    // Wire forms; each returns the number of bytes written at the destination.
    uint32_t WriteData(uint8_t* pDest) const;
    uint32_t WriteName(uint8_t* pDestBuffer) const;
    uint32_t Serialize(uint16_t dataTag, uint16_t locationTag, uint16_t nameTag, uint16_t nameFlagTag,
                       const uint32_t* pValue, const uint16_t* pLocationTail,
                       const uint16_t* pLocationHead, uint8_t* pDest);

    uint32_t GetOwnerCID() const { return ownerCid; }
    void SetOwnerCID(uint32_t value) { ownerCid = value; }
    uint32_t GetOwnerAID() const { return ownerAid; }
    void SetOwnerAID(uint32_t value) { ownerAid = value; }
    int GetLocationType() const;
    void SetLocationType(uint8_t value);
    uint8_t GetLocationByte() const;
    void SetLocationByte(uint8_t value);
    void SetDataByte6(uint8_t value) { data[6] = value; }
    bool SetName(const char* pName);  // keeps at most 19 characters
    bool HasName() const { return data[ItemNameOffset] != 0; }

    uint32_t IdWord(int index) const;  // id word 0, 1 or 2
    bool SameId(const Item& other) const;
};

// The store's database handle; set once at start-up before any statement.
void SetItemDatabase(Database* pDatabase);

// Queues "SELECT ID, Data, ItemLocType FROM items WHERE ID=... OR ... LIMIT n"
// for numIds ids of 12 bytes each and returns its query id (0 when numIds is 0
// or no database is set: nothing is queued). Takes over pIds, an array made
// with new uint8_t[12 * numIds], and releases it.
uint32_t LoadItemsById(uint8_t* pIds, uint32_t numIds);
std::string ItemsByIdQueryText(const uint8_t* pIds, uint32_t numIds);

// Queues the SELECT of a character's own items and its account's storage items.
uint32_t LoadItemsForCharacter(uint32_t accountId, uint32_t characterId);
std::string ItemsForCharacterQueryText(uint32_t accountId, uint32_t characterId);

// Turns the rows of an item SELECT (ID, Data, ItemLocType) into a new Item
// array in row order (release with delete[]), or null when there are none.
// *pNumItems gets the number of items; a null result leaves it untouched.
Item* ItemsFromResult(MYSQL_RES* pResult, uint32_t* pNumItems);

// Queues "DELETE FROM items WHERE ID=... LIMIT 1"; false for a null id.
bool DeleteItemById(const uint8_t* pId);
std::string DeleteItemByIdQueryText(const uint8_t* pId);

// Fixed map of slot numbers: 0->4, 1->2, 2->6, 3->3, 4->5, others 0.
int ItemSlotMap(int slot);

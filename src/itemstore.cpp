// The item store's statements: loading, saving and deleting rows of `items`.

#include "item.h"

#include <cstdio>
#include <cstring>

#include "database.h"
#include "sqltext.h"
#include "utility.h"

namespace {

Database* itemDatabase = nullptr;  // set once at start-up

// A SELECT whose rows the caller collects by the returned query id.
uint32_t QueueSelect(const std::string& text)
{
    if (itemDatabase == nullptr)
        return 0;
    return itemDatabase->Query(text);
}

// A write nobody waits for: its outcome (a failure included, which the
// database layer reports on the console) is freed instead of filed.
uint32_t QueueWrite(const std::string& text)
{
    if (itemDatabase == nullptr)
        return 0;
    return itemDatabase->Execute(text);
}

// Column bytes of a row, or none for a NULL column.
void CopyColumn(uint8_t* pDest, size_t room, const char* pColumn, unsigned long length)
{
    if (pColumn == nullptr)
        return;
    std::memcpy(pDest, pColumn, length < room ? length : room);
}

} // namespace

void SetItemDatabase(Database* pDatabase)
{
    itemDatabase = pDatabase;
}

std::string ItemsByIdQueryText(const uint8_t* pIds, uint32_t numIds)
{
    std::string text = "SELECT ID, Data, ItemLocType FROM items WHERE ";
    for (uint32_t i = 0; i < numIds; i++) {
        if (i > 0)
            text += " OR ";
        text += "ID=";
        text += HexText(pIds + ItemIdSize * i, ItemIdSize);
    }
    text += " LIMIT ";
    text += std::to_string(numIds);
    return text;
}

uint32_t LoadItemsById(uint8_t* pIds, uint32_t numIds)
{
    // Without ids the statement would not parse; nothing to load then.
    std::string text = (pIds != nullptr && numIds > 0) ? ItemsByIdQueryText(pIds, numIds) : "";
    delete[] pIds;
    if (text.empty())
        return 0;
    return QueueSelect(text);
}

std::string ItemsForCharacterQueryText(uint32_t accountId, uint32_t characterId)
{
    return FormatText("SELECT ID, Data, ItemLocType FROM items WHERE (OwnerCID=%u AND OwnerAID=0) "
                      "OR (OwnerAID=%u AND OwnerCID<10)",
                      characterId, accountId);
}

uint32_t LoadItemsForCharacter(uint32_t accountId, uint32_t characterId)
{
    std::string text = ItemsForCharacterQueryText(accountId, characterId);
    printf("LOAD: %s\n", text.c_str());
    return QueueSelect(text);
}

Item* ItemsFromResult(MYSQL_RES* pResult, uint32_t* pNumItems)
{
    if (pResult == nullptr)
        return nullptr;
    LS_ASSERT(pNumItems!=NULL);
    // A set without the three item columns holds no items this store can read.
    uint32_t count = mysql_num_fields(pResult) < 3 ? 0 : uint32_t(mysql_num_rows(pResult));
    *pNumItems = count;
    if (count == 0)
        return nullptr;

    Item* pItems = new Item[count];
    for (uint32_t i = 0; i < count; i++) {
        MYSQL_ROW row = mysql_fetch_row(pResult);
        unsigned long* pLengths = mysql_fetch_lengths(pResult);
        if (row == nullptr || pLengths == nullptr) {
            *pNumItems = i;  // fewer rows than counted: hand out only the filled ones
            break;
        }
        // Short or NULL columns leave the rest of the item zero.
        Item& item = pItems[i];
        CopyColumn(item.id, ItemIdSize, row[0], pLengths[0]);
        CopyColumn(item.data, ItemDataSize, row[1], pLengths[1]);
        item.location = row[2] != nullptr ? DecToLong(row[2]) : 0;
        item.inDatabase = 1;
    }
    if (*pNumItems == 0) {
        delete[] pItems;
        return nullptr;
    }
    return pItems;
}

std::string Item::SaveQueryText() const
{
    std::string idHex = HexText(id, ItemIdSize);
    std::string dataHex = HexText(data, ItemDataSize);
    // The owner columns come from the id: word 0 is the account, word 1 the
    // character. Storage rows keep a character number only below 10.
    uint32_t ownerCidColumn = IdWord(1);
    uint32_t ownerAidColumn = 0;
    if (GetLocationType() == ItemLocationStorage) {
        ownerAidColumn = IdWord(0);
        if (ownerCidColumn < 1 || ownerCidColumn > 9)
            ownerCidColumn = 0;
    }
    if (inDatabase != 0)
        return FormatText("UPDATE items SET ID=%s, Size=\"%d\", Data=%s, ItemLocType=\"%d\", "
                          "OwnerCID=\"%u\", OwnerAID=\"%u\" WHERE ID=%s LIMIT 1",
                          idHex.c_str(), int(ItemDataSize), dataHex.c_str(), location,
                          ownerCidColumn, ownerAidColumn, idHex.c_str());
    return FormatText("INSERT INTO items (ID, Size, Data, ItemLocType, OwnerCID, OwnerAID) "
                      "VALUES(%s, %d, %s, %d, %u, %u)",
                      idHex.c_str(), int(ItemDataSize), dataHex.c_str(), location,
                      ownerCidColumn, ownerAidColumn);
}

bool Item::Save()
{
    if (GetLocationType() == ItemLocationStorage)
        printf("Saving to Storage!\n");
    return QueueWrite(SaveQueryText()) != 0;
}

std::string Item::DeleteQueryText() const
{
    return FormatText("DELETE FROM items WHERE ID=%s", HexText(id, ItemIdSize).c_str());
}

bool Item::DeleteFromDb()
{
    printf("Deleting current item from database...\n");
    QueueWrite(DeleteQueryText());
    inDatabase = 0;
    return true;
}

std::string DeleteItemByIdQueryText(const uint8_t* pId)
{
    return FormatText("DELETE FROM items WHERE ID=%s LIMIT 1", HexText(pId, ItemIdSize).c_str());
}

bool DeleteItemById(const uint8_t* pId)
{
    if (pId == nullptr)
        return false;
    printf("Deleting ? from the database.\n");
    return QueueWrite(DeleteItemByIdQueryText(pId)) != 0;
}

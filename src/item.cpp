// The Item record: accessors, names and id generation.

#include "item.h"

#include <bitset>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utility.h"

uint32_t Item::IdWord(int index) const
{
    return ReadULong(id + 4 * index);
}

bool Item::SameId(const Item& other) const
{
    return std::memcmp(id, other.id, ItemIdSize) == 0;
}

int Item::GetLocationType() const
{
    return static_cast<int8_t>(static_cast<uint32_t>(location) & 0xFF);
}

void Item::SetLocationType(uint8_t value)
{
    location = static_cast<int32_t>((static_cast<uint32_t>(location) & 0xFFFFFF00u) | value);
}

uint8_t Item::GetLocationByte() const
{
    return static_cast<uint8_t>(static_cast<uint32_t>(location) >> 24);
}

void Item::SetLocationByte(uint8_t value)
{
    location = static_cast<int32_t>((static_cast<uint32_t>(location) & 0x00FFFFFFu) |
                                    (static_cast<uint32_t>(value) << 24));
}

bool Item::SetName(const char* pName)
{
    LS_ASSERT(pName!=NULL);
    // A longer text is cut so the name never runs into the name flag behind it.
    size_t length = strnlen(pName, ItemNameSize - 1);
    std::memcpy(data + ItemNameOffset, pName, length);
    data[ItemNameOffset + length] = 0;
    return true;
}

int ItemSlotMap(int slot)
{
    switch (slot) {
    case 0: return 4;
    case 1: return 2;
    case 2: return 6;
    case 3: return 3;
    case 4: return 5;
    default: return 0;
    }
}

// ---- Id generation ----------------------------------------------------------

namespace {

constexpr uint32_t FirstRandomWord = 400;
constexpr uint32_t RandomRange = 32768;       // word 2 runs from 400 to 33167
constexpr int DrawsBeforeSearch = 256;  // then look for a free word directly

// The runtime's generator draws from a wider range than 0..32767 here; keep
// the 15 bits that the id range is built on. Never seeded on purpose.
uint32_t DrawRandomWord()
{
    uint32_t r = static_cast<uint32_t>(std::rand()) % RandomRange;
    return (r % 4000000000u) + FirstRandomWord;
}

void SetIdWord(uint8_t* pId, int index, uint32_t word)
{
    std::memcpy(pId + 4 * index, &word, 4);
}

using TakenWords = std::bitset<RandomRange>;

// Picks the first word not taken, searching upward (with wrap) from start.
bool FirstFreeWord(const TakenWords& taken, uint32_t start, uint32_t* pWord)
{
    for (uint32_t step = 0; step < RandomRange; step++) {
        uint32_t offset = (start - FirstRandomWord + step) % RandomRange;
        if (!taken[offset]) {
            *pWord = FirstRandomWord + offset;
            return true;
        }
    }
    return false;
}

void MarkTaken(TakenWords* pTaken, uint32_t word)
{
    if (word >= FirstRandomWord && word - FirstRandomWord < RandomRange)
        pTaken->set(word - FirstRandomWord);
}

} // namespace

// Draws word 2 until isFree accepts it. After many failed draws the taken
// words are collected once, so a full container ends in a failure instead of
// an endless loop.
template <typename IsFree, typename CollectTaken>
static bool GenerateIdWith(Item* pItem, uint32_t word0, uint32_t word1, IsFree isFree,
                           CollectTaken collectTaken)
{
    SetIdWord(pItem->id, 0, word0);
    SetIdWord(pItem->id, 1, word1);
    uint32_t word = 0;
    for (int draw = 0; draw < DrawsBeforeSearch; draw++) {
        word = DrawRandomWord();
        SetIdWord(pItem->id, 2, word);
        if (isFree())
            return true;
    }
    auto taken = std::make_unique<TakenWords>();
    collectTaken(taken.get());
    if (FirstFreeWord(*taken, word, &word)) {
        SetIdWord(pItem->id, 2, word);
        return true;
    }
    SetIdWord(pItem->id, 2, 0);
    printf("Item id generation failed: no free id left.\n");
    return false;
}

bool Item::GenerateId(uint32_t word0, uint32_t word1, std::nullptr_t)
{
    SetIdWord(id, 0, word0);
    SetIdWord(id, 1, word1);
    SetIdWord(id, 2, DrawRandomWord());
    return true;
}

bool Item::GenerateId(uint32_t word0, uint32_t word1, const ItemVector* pItems)
{
    if (pItems == nullptr)
        return GenerateId(word0, word1);
    return GenerateIdWith(
        this, word0, word1, [&] { return IsItemIdFreeInVector(pItems); },
        [&](TakenWords* pTaken) {
            for (const Item& other : *pItems)
                if (other.IdWord(0) == word0 && other.IdWord(1) == word1)
                    MarkTaken(pTaken, other.IdWord(2));
        });
}

bool Item::GenerateId(uint32_t word0, uint32_t word1, const ItemMap* pItems)
{
    if (pItems == nullptr)
        return GenerateId(word0, word1);
    return GenerateIdWith(
        this, word0, word1, [&] { return IsItemIdFreeInMap(pItems); },
        [&](TakenWords* pTaken) {
            for (const auto& entry : *pItems)
                MarkTaken(pTaken, entry.first);
        });
}

bool Item::IsItemIdFreeInVector(const ItemVector* pItems) const
{
    for (const Item& other : *pItems)
        if (SameId(other))
            return false;
    return true;
}

bool Item::IsItemIdFreeInMap(const ItemMap* pItems) const
{
    // Only word 2 is the key: it must differ from every key, whatever the owners.
    return pItems->find(IdWord(2)) == pItems->end();
}

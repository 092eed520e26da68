// The wire forms of an item: its data, its name and the tagged item stream.
//
// The blob comes from the database and is not trusted: every length taken
// from it is clamped to the layout, so no writer reads outside the 200 bytes
// or writes more than the Item*WireMax sizes of item.h.

#include "item.h"

#include <cstring>

#include "utility.h"

namespace {

uint8_t* Put(uint8_t* pDest, const void* pSource, size_t count)
{
    std::memcpy(pDest, pSource, count);
    return pDest + count;
}

// Byte length of the wide name, held to the 25 bytes the blob has for it.
size_t WideNameLength(const uint8_t* pData)
{
    int16_t length = ReadShort(pData + ItemWideNameLengthOffset);
    if (length < 0)
        return 0;
    return length > static_cast<int16_t>(ItemWideNameMax) ? ItemWideNameMax : length;
}

size_t ValueCount(const uint8_t* pData)
{
    size_t count = pData[ItemValueCountOffset];
    return count > ItemValueListMax ? ItemValueListMax : count;
}

size_t NameLength(const uint8_t* pData)
{
    return strnlen(reinterpret_cast<const char*>(pData + ItemNameOffset), ItemNameSize - 1);
}

} // namespace

uint32_t Item::WriteData(uint8_t* pDest) const
{
    LS_ASSERT(pDest!=NULL);
    size_t nameLength = WideNameLength(data);
    size_t valueCount = ValueCount(data);
    uint8_t* p = pDest;
    p = Put(p, data, 23);        // the two 16-bit values, byte 4, bytes 5-7 and 8-22
    p = Put(p, data + 24, 4);    // byte 23 is padding and never sent
    // The count goes out in UTF-16 units; an odd byte length still sends all its bytes.
    p = PutU16(p, static_cast<uint16_t>(nameLength / 2));
    p = Put(p, data + ItemWideNameOffset, nameLength);
    *p++ = static_cast<uint8_t>(valueCount);
    p = Put(p, data + ItemValueListOffset, 4 * valueCount);
    return static_cast<uint32_t>(p - pDest);
}

uint32_t Item::WriteName(uint8_t* pDestBuffer) const
{
    LS_ASSERT(pDestBuffer!=NULL);
    size_t length = NameLength(data);
    uint8_t* p = pDestBuffer;
    p = PutU16(p, static_cast<uint16_t>(length));
    for (size_t i = 0; i < length; i++)
        p = PutU16(p, data[ItemNameOffset + i]);  // widened: the character, then a zero byte
    return static_cast<uint32_t>(p - pDestBuffer);
}

uint32_t Item::Serialize(uint16_t dataTag, uint16_t locationTag, uint16_t nameTag,
                         uint16_t nameFlagTag, const uint32_t* pValue,
                         const uint16_t* pLocationTail, const uint16_t* pLocationHead,
                         uint8_t* pDest)
{
    LS_ASSERT(pValue!=NULL);
    LS_ASSERT(pDest!=NULL);
    uint32_t value = *pValue;
    ownerCid = value;

    uint8_t* p = pDest;
    p = PutU16(p, dataTag);
    p = PutU32(p, value);
    p += WriteData(p);

    if (HasName()) {
        p = PutU16(p, nameTag);
        p = PutU32(p, value);
        p += WriteName(p);
        uint32_t nameFlag = ReadULong(data + ItemNameFlagOffset);
        if (nameFlag != 0) {
            p = PutU16(p, nameFlagTag);
            p = PutU32(p, value);
            *p++ = static_cast<uint8_t>(nameFlag);
        }
    }

    if (pLocationTail != nullptr) {
        p = PutU16(p, locationTag);
        // A missing head goes out as two zero bytes rather than a null read.
        p = PutU16(p, pLocationHead != nullptr ? *pLocationHead : 0);
        p = PutU32(p, value);
        p = PutU16(p, *pLocationTail);
        *p++ = GetLocationByte();
    }
    return static_cast<uint32_t>(p - pDest);
}

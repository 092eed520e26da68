#include "compiledpacket.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "utility.h"

CompiledPacket::CompiledPacket(bool pOwnsBuffer)
    : mpBuffer(nullptr), length(0), ownsBuffer(pOwnsBuffer), locked(false), readPos(nullptr),
      stagedCount(0)
{
}

CompiledPacket::~CompiledPacket()
{
    if (ownsBuffer && mpBuffer != nullptr)
        delete[] mpBuffer;
}

void CompiledPacket::Reset()
{
    mpBuffer = nullptr;
    length = 0;
    ownsBuffer = false;
    locked = false;
    readPos = nullptr;
    stagedCount = 0;
}

void CompiledPacket::Free()
{
    delete[] mpBuffer;
    Reset();
}

void CompiledPacket::WriteU8(uint8_t value)
{
    Append(&value, 1);
}

void CompiledPacket::WriteS8(int8_t value)
{
    WriteU8(static_cast<uint8_t>(value));
}

void CompiledPacket::WriteU16(uint16_t value)
{
    uint8_t bytes[2] = {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
    Append(bytes, 2);
}

void CompiledPacket::WriteU32(uint32_t value)
{
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
    Append(bytes, 4);
}

void CompiledPacket::WriteS32(int32_t value)
{
    WriteU32(static_cast<uint32_t>(value));
}

void CompiledPacket::WriteRepeat(uint8_t value, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        Append(&value, 1);
}

void CompiledPacket::WriteBuffer(uint8_t* bytes, uint32_t count, bool deleteAfter)
{
    Append(bytes, count);
    if (deleteAfter)
        delete[] bytes;
}

void CompiledPacket::WriteBufferAndDelete(uint8_t* bytes, uint32_t count)
{
    WriteBuffer(bytes, count, true);
}

void CompiledPacket::WriteFormatted(const char* format, ...)
{
    char text[5000];
    va_list args;
    va_start(args, format);
    int written = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (written <= 0)
        return;
    uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(written), sizeof text - 1);
    WriteBuffer(reinterpret_cast<uint8_t*>(text), count, false);
}

void CompiledPacket::Append(const void* bytes, uint32_t count)
{
    if (count + static_cast<uint32_t>(stagedCount) >= 100 && stagedCount > 0) {
        AppendRaw(staging, static_cast<uint32_t>(stagedCount));
        stagedCount = 0;
    }
    if (count > 100) {
        AppendRaw(bytes, count);
        return;
    }
    if (count > 0)
        memcpy(staging + stagedCount, bytes, count);
    stagedCount += static_cast<int32_t>(count);
}

void CompiledPacket::Flush()
{
    if (stagedCount > 0) {
        AppendRaw(staging, static_cast<uint32_t>(stagedCount));
        stagedCount = 0;
    }
}

// A move takes the unread bytes (from readPos) and the new ones into a buffer
// of exactly their length; the old buffer is released.
int32_t CompiledPacket::AppendRaw(const void* pString, uint32_t count)
{
    if (locked)
        return -1;
    LS_ASSERT(pString!=NULL);
    if (length == 0) {
        delete[] mpBuffer;   // a buffer drained by Read
        mpBuffer = new uint8_t[count];
        LS_ASSERT(mpBuffer!=NULL);
        if (count > 0)
            memcpy(mpBuffer, pString, count);
        length = count;
    } else {
        uint8_t* pTemp_buffer = new uint8_t[length + count];
        LS_ASSERT(pTemp_buffer!=NULL);
        memcpy(pTemp_buffer, readPos, length);
        if (count > 0)
            memcpy(pTemp_buffer + length, pString, count);
        delete[] mpBuffer;
        mpBuffer = pTemp_buffer;
        length += count;
    }
    readPos = mpBuffer;
    return static_cast<int32_t>(length);
}

void CompiledPacket::Compact()
{
    if (readPos == mpBuffer || locked)
        return;
    if (length == 0) {
        delete[] mpBuffer;
        mpBuffer = nullptr;
        readPos = nullptr;
        return;
    }
    uint8_t* fresh = new uint8_t[length];
    memcpy(fresh, readPos, length);
    delete[] mpBuffer;
    mpBuffer = fresh;
    readPos = fresh;
}

uint8_t* CompiledPacket::GetBuffer(uint32_t* pLength)
{
    Flush();
    if (locked)
        return nullptr;
    LS_ASSERT(pLength!=NULL);
    Compact();   // after a partial Read, hand out the unread bytes from an allocation's start
    *pLength = length;
    return mpBuffer;
}

uint8_t* CompiledPacket::GetBuffer(uint16_t* pLength)
{
    uint32_t full = 0;
    uint8_t* buffer = GetBuffer(&full);
    if (locked)
        return nullptr;
    LS_ASSERT(pLength!=NULL);
    *pLength = static_cast<uint16_t>(full & 0xFFFF);
    return buffer;
}

PacketBuffer CompiledPacket::GetPacket()
{
    PacketBuffer packet;
    uint32_t full = 0;
    uint8_t* buffer = GetBuffer(&full);
    if (buffer != nullptr) {
        packet.data = buffer;
        packet.length = full;
    }
    return packet;
}

uint8_t* CompiledPacket::Read(uint32_t* pLength, uint32_t max)
{
    Flush();
    LS_ASSERT(pLength!=NULL);
    if (length == 0)
        return nullptr;
    uint32_t count = max < length ? max : length;
    *pLength = count;
    uint8_t* piece = readPos;
    readPos += count;
    length -= count;
    return piece;
}

uint8_t* CompiledPacket::Read(uint16_t* pLength, uint32_t max)
{
    LS_ASSERT(pLength!=NULL);
    uint32_t full = 0;
    uint8_t* piece = Read(&full, max);
    if (piece != nullptr)
        *pLength = static_cast<uint16_t>(full & 0xFFFF);
    return piece;
}

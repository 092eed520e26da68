#pragma once

#include <cstdint>

// A finished packet as GetPacket hands it out; owns nothing.
struct PacketBuffer {
    uint8_t* data = nullptr;   // the packet's heap buffer, not a copy
    uint32_t length = 0;
};

// Builds an outgoing packet as one contiguous run of bytes. Small appends
// gather in a 100-byte staging area and move to the heap buffer in batches;
// each move allocates a buffer of exactly the new length.
class CompiledPacket {
public:
    explicit CompiledPacket(bool ownsBuffer);
    ~CompiledPacket();
    CompiledPacket(const CompiledPacket&) = delete;
    CompiledPacket& operator=(const CompiledPacket&) = delete;

    void Reset();   // forgets the buffer without deleting it
    void Free();    // deletes the buffer whatever ownsBuffer says, then Reset

    void WriteU8(uint8_t value);
    void WriteS8(int8_t value);
    void WriteU16(uint16_t value);
    void WriteU32(uint32_t value);
    void WriteS32(int32_t value);
    void WriteRepeat(uint8_t value, uint32_t count);
    // With deleteAfter the bytes are released with delete[] afterwards, so
    // they must come from new[].
    void WriteBuffer(uint8_t* bytes, uint32_t count, bool deleteAfter);
    void WriteBufferAndDelete(uint8_t* bytes, uint32_t count);
    // At most 4999 formatted characters are appended; the NUL is not.
    void WriteFormatted(const char* format, ...) __attribute__((format(printf, 2, 3)));

    void Append(const void* bytes, uint32_t count);
    void Flush();
    int32_t AppendRaw(const void* pString, uint32_t count);   // new length, or -1 when locked

    uint8_t* GetBuffer(uint32_t* pLength);
    uint8_t* GetBuffer(uint16_t* pLength);   // stores the low 16 bits of the length
    PacketBuffer GetPacket();
    uint8_t* Read(uint32_t* pLength, uint32_t max);
    uint8_t* Read(uint16_t* pLength, uint32_t max);

    uint8_t* mpBuffer;      // moved bytes (allocation start); null until the first move
    uint32_t length;        // unread bytes at readPos; staged bytes join at the next flush
    bool ownsBuffer;        // the destructor deletes mpBuffer
    bool locked;            // nothing more reaches the heap buffer; never set by this code
    uint8_t* readPos;       // cursor of Read inside mpBuffer
    uint8_t staging[100];   // small appends waiting to be moved
    int32_t stagedCount;    // bytes waiting in staging, 0 to 100

private:
    void Compact();   // moves unread bytes to the start of a fresh buffer
};

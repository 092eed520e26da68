#pragma once

#include <cstdint>

// Read cursor over a client's receive buffer, handed to message handlers.
// Multi-byte values are little-endian and read byte by byte (no alignment).
//
// A read that would pass `size` never touches memory beyond it: the missing
// bytes read as zeros, the position still advances by the full width (it
// saturates instead of wrapping), and the overrun flag latches. A handler
// tests Overran() (or Remaining() beforehand) to see that its message has
// not fully arrived or is malformed.
struct PacketReader {
    const uint8_t* data;   // first byte of the message (low byte of its number)
    uint32_t pos;          // read position counted from data; 2 after construction
    uint32_t size;         // bytes available from data (may hold later messages too)
    bool overrun;          // latched: some read or skip went past size

    PacketReader(const void* pData, uint32_t pSize);

    uint8_t ReadU8();
    uint16_t ReadU16();
    uint32_t ReadU32();
    float ReadFloat();
    void ReadBytes(void* destination, uint32_t count);
    void Skip(uint32_t count);

    uint32_t GetPos() const { return pos; }
    void SetPos(uint32_t position) { pos = position; }
    const uint8_t* GetData() const { return data; }

    bool Overran() const { return overrun; }
    uint32_t Remaining() const { return Remaining(pos); }
    uint32_t Remaining(uint32_t at) const { return at < size ? size - at : 0; }

    // The opening every handler shares: wait (return 0) until Has(the
    // message's bytes, counted from its number); PeekU16 a length field at
    // an offset (0 past size, position unchanged) before the rest has
    // arrived; ConsumeAll() drops the whole buffer, as an unknown message is.
    bool Has(uint32_t bytes) const { return size >= bytes; }
    uint16_t PeekU16(uint32_t at) const { return Remaining(at) >= 2 ? uint16_t(data[at] | data[at + 1] << 8) : 0; }
    int32_t ConsumeAll() const { return size > INT32_MAX ? INT32_MAX : int32_t(size); }
};

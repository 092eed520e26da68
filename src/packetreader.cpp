#include "packetreader.h"

#include <cstring>

PacketReader::PacketReader(const void* pData, uint32_t pSize)
    : data(static_cast<const uint8_t*>(pData)), pos(2), size(pSize), overrun(false)
{
}

namespace {

// pos + count, stopping at the top instead of wrapping round.
uint32_t Advanced(uint32_t pos, uint32_t count)
{
    return count > UINT32_MAX - pos ? UINT32_MAX : pos + count;
}

} // namespace

void PacketReader::ReadBytes(void* destination, uint32_t count)
{
    uint8_t* out = static_cast<uint8_t*>(destination);
    uint32_t available = Remaining();
    uint32_t copied = count < available ? count : available;
    if (copied > 0)
        memcpy(out, data + pos, copied);
    if (copied < count) {
        memset(out + copied, 0, count - copied);
        overrun = true;
    }
    pos = Advanced(pos, count);
}

void PacketReader::Skip(uint32_t count)
{
    if (count > Remaining())
        overrun = true;
    pos = Advanced(pos, count);
}

uint8_t PacketReader::ReadU8()
{
    uint8_t value = 0;
    ReadBytes(&value, 1);
    return value;
}

uint16_t PacketReader::ReadU16()
{
    uint8_t bytes[2];
    ReadBytes(bytes, 2);
    return uint16_t(bytes[0] | (bytes[1] << 8));
}

uint32_t PacketReader::ReadU32()
{
    uint8_t bytes[4];
    ReadBytes(bytes, 4);
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

float PacketReader::ReadFloat()
{
    uint32_t bits = ReadU32();
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

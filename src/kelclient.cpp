#include "kelclient.h"

#include <algorithm>
#include <cstring>

// Forgets count bytes at the head of a buffer read from offset. The bytes
// behind are moved down only once the forgotten ones are at least half of
// the buffer, so each byte is moved a bounded number of times in all.
static void ConsumeFront(std::vector<uint8_t>& buffer, uint32_t& offset, uint32_t count)
{
    offset += std::min(count, static_cast<uint32_t>(buffer.size()) - offset);
    if (offset == buffer.size()) {
        buffer.clear();
        offset = 0;
    } else if (offset >= buffer.size() / 2) {
        buffer.erase(buffer.begin(), buffer.begin() + offset);
        offset = 0;
    }
}

void KelClient::ConsumeSent(uint32_t count)
{
    ConsumeFront(sendBuffer, sendOffset, count);
}

void KelClient::ConsumeRead(uint32_t count)
{
    ConsumeFront(recvBuffer, recvOffset, count);
}

void KelClient::AppendRecv(const void* data, int32_t count)
{
    if (count <= 0)
        return;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    recvBuffer.insert(recvBuffer.end(), bytes, bytes + count);
}

void KelClient::Write(const void* data, int32_t count)
{
    if (count <= 0)
        return;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    sendBuffer.insert(sendBuffer.end(), bytes, bytes + count);
}

void KelClient::WriteBytes(const void* data, int32_t count)
{
    Write(data, count);
}

void KelClient::Write8(uint8_t value)
{
    sendBuffer.push_back(value);
}

void KelClient::Write16(uint16_t value)
{
    sendBuffer.push_back(static_cast<uint8_t>(value & 0xFF));
    sendBuffer.push_back(static_cast<uint8_t>(value >> 8));
}

void KelClient::Write32(uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        sendBuffer.push_back(static_cast<uint8_t>((value >> shift) & 0xFF));
}

void KelClient::WriteRepeat(uint8_t value, int32_t count)
{
    if (count <= 0)
        return;
    sendBuffer.insert(sendBuffer.end(), static_cast<size_t>(count), value);
}

void KelClient::ResetCipher()
{
    memset(cipher.table, 0, sizeof cipher.table);
    cipher.x = 0;
    cipher.y = 0;
    cipherOn = true;
    clearPending = Queued();
    sealedCount = 0;
}

#include "handshake.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "kelclient.h"
#include "opcodes.h"
#include "packetreader.h"
#include "replies.h"
#include "server.h"
#include "sha256.h"
#include "widetext.h"

// Lengths of the fixed-size messages, message number included.
static const uint32_t kClientSeedSize = 66;
static const uint32_t kClientVersionSize = 16;
static const uint32_t kComputerHashSize = 22;
static const uint32_t kShortRequestSize = 6;
static const uint32_t kHardwareFixedSize = 20;   // plus the announced count
static const uint32_t kMaxNameUnits = 100;        // COMPUTER_USER names
// The computer hash leaves out the last bytes of the receive buffer.
static const uint32_t kComputerHashTail = 20;
// And it covers at most this many bytes from the message on: far more than
// the handshake messages a client sends with it, while a client that
// buffers thousands of messages cannot make each one cost a pass over all.
static const uint32_t kMostHashedBytes = 4096;

// A message is handled only once all of it is buffered: every handler
// below reads no further than what has arrived.
static bool Arrived(const PacketReader* reader, uint32_t bytes)
{
    return reader->size >= bytes;
}

// Bytes that drop the whole receive buffer, as an unknown message is dropped.
static int32_t DropBuffer(const PacketReader* reader)
{
    return reader->size > INT32_MAX ? INT32_MAX : int32_t(reader->size);
}

static uint16_t PeekU16(const PacketReader* reader, uint32_t offset)
{
    return uint16_t(reader->data[offset] | (reader->data[offset + 1] << 8));
}

int32_t HandleClientSeed(PacketReader* reader, KelClient* client)
{
    if (!Arrived(reader, kClientSeedSize))
        return 0;
    ClientData* session = server.GetClientData(client->id);
    if (!session)
        return DropBuffer(reader);
    client->Write16(OutboundOpcode("SERVER_SEED"));
    client->WriteRepeat(0, 20);
    session->seedReceived = 1;
    client->ResetCipher();
    return kClientSeedSize;
}

int32_t HandleClientVersion(PacketReader* reader, KelClient* client)
{
    (void)client;
    if (!Arrived(reader, kClientVersionSize))
        return 0;
    reader->Skip(2);
    uint32_t version = reader->ReadU32();
    printf("Client v%u connected.\n", version);
    return kClientVersionSize;
}

// Hash of the receive buffer without its last 20 bytes (of nothing when
// fewer have arrived), bounded by kMostHashedBytes.
static void TakeComputerHash(const PacketReader* reader, ClientData* session)
{
    uint32_t length = reader->size > kComputerHashTail ? reader->size - kComputerHashTail : 0;
    Sha256(reader->data, session->computerHash, std::min(length, kMostHashedBytes));
}

int32_t HandleComputerUser(PacketReader* reader, KelClient* client)
{
    if (!Arrived(reader, 4))
        return 0;
    ClientData* session = server.GetClientData(client->id);
    if (!session)
        return DropBuffer(reader);
    uint32_t userUnits = PeekU16(reader, 2);
    if (userUnits > kMaxNameUnits) {
        TakeComputerHash(reader, session);
        return DropBuffer(reader);
    }
    uint32_t computerCountAt = 4 + 2 * userUnits;
    if (!Arrived(reader, computerCountAt + 2))
        return 0;
    uint32_t computerUnits = PeekU16(reader, computerCountAt);
    if (computerUnits > kMaxNameUnits) {
        TakeComputerHash(reader, session);
        return DropBuffer(reader);
    }
    if (!Arrived(reader, computerCountAt + 2 + 2 * computerUnits))
        return 0;

    TakeComputerHash(reader, session);
    uint8_t userName[200];
    uint8_t computerName[200];
    memset(userName, 0, sizeof userName);
    reader->ReadU16();
    reader->ReadBytes(userName, 2 * userUnits);
    memset(computerName, 0, sizeof computerName);
    reader->ReadU16();
    reader->ReadBytes(computerName, 2 * computerUnits);
    printf("User Name: %s\n", WideTextForConsole(userName, kMaxNameUnits).c_str());
    printf("Computer Name: %s\n", WideTextForConsole(computerName, kMaxNameUnits).c_str());
    return int32_t(reader->GetPos());
}

int32_t HandleComputerHash(PacketReader* reader, KelClient* client)
{
    if (!Arrived(reader, kComputerHashSize))
        return 0;
    client->Write16(OutboundOpcode("COMPUTER_INFO_REPLY"));
    client->Write32(23894);
    client->Write32(0);
    return kComputerHashSize;
}

int32_t HandleClientId(PacketReader* reader, KelClient* client)
{
    if (!Arrived(reader, kShortRequestSize))
        return 0;
    client->Write16(OutboundOpcode("P12B_REPLY"));
    client->Write32(0);
    return kShortRequestSize;
}

int32_t HandleKeepAlive(PacketReader* reader, KelClient* client)
{
    (void)client;
    // There are no time-outs: the keep-alive is only consumed.
    return Arrived(reader, kShortRequestSize) ? int32_t(kShortRequestSize) : 0;
}

int32_t HandleExitGame(PacketReader* reader, KelClient* client)
{
    (void)client;
    if (!Arrived(reader, kShortRequestSize))
        return 0;
    reader->ReadU16(); // carried by the message, of no use to the login server
    return kShortRequestSize;
}

int32_t HandleAccountLogout(PacketReader* reader, KelClient* client)
{
    if (!Arrived(reader, kShortRequestSize))
        return 0;
    ClientData* session = server.GetClientData(client->id);
    if (!session)
        return DropBuffer(reader);
    session->loggedIn = 0;
    return kShortRequestSize;
}

int32_t HandleComputerHardware(PacketReader* reader, KelClient* client)
{
    (void)client;
    if (!Arrived(reader, 4))
        return 0;
    uint32_t length = uint32_t(reader->ReadU16()) + kHardwareFixedSize;
    return Arrived(reader, length) ? int32_t(length) : 0;
}

int32_t HandleRequestResponse(PacketReader* reader, KelClient* client)
{
    if (!Arrived(reader, kShortRequestSize))
        return 0;
    ClientData* session = server.GetClientData(client->id);
    if (!session)
        return DropBuffer(reader);
    session->requestId = reader->ReadU32();
    WriteSendResponse(client, session->requestId);
    WriteStreamSuccess(client, session->requestId);
    return kShortRequestSize;
}

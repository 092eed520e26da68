#include "handshake.h"

#include <algorithm>
#include <cstdio>
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

// Bytes of the update-check answer, and bytes of the update check consumed.
static const int32_t kNoUpdateAnswerSize = 28;
static const int32_t kUpdateCheckSize = 21;
// The message number of the update check, which only a first message can be.
static const uint16_t kUpdateCheck = 1;

int32_t OnClientRawData(const uint8_t* data, uint32_t length, KelClient* client)
{
    PacketReader reader(data, length);
    ClientData* session = server.GetClientData(client->id);
    if (!session) // a refused connection waiting to be closed
        return reader.ConsumeAll();
    if (!session->awaitingFirstPacket || !reader.Has(2))
        return 0;
    if (reader.PeekU16(0) == kUpdateCheck) {
        client->Write(server.noUpdatePacket, kNoUpdateAnswerSize);
        return kUpdateCheckSize;   // also when cut short: the rest is dropped as it comes
    }
    session->awaitingFirstPacket = 0;
    return 0;
}

int32_t HandleClientSeed(PacketReader* reader, KelClient* client)
{
    if (!reader->Has(kClientSeedSize))
        return 0;
    ClientData* session = server.GetClientData(client->id);
    if (!session)
        return reader->ConsumeAll();
    client->Write16(OutboundOpcode("SERVER_SEED"));
    client->WriteRepeat(0, 20);
    session->seedReceived = 1;
    client->ResetCipher();
    return kClientSeedSize;
}

int32_t HandleClientVersion(PacketReader* reader, KelClient*)
{
    if (!reader->Has(kClientVersionSize))
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
    if (!reader->Has(4))
        return 0;
    ClientData* session = server.GetClientData(client->id);
    if (!session)
        return reader->ConsumeAll();
    uint32_t userUnits = reader->PeekU16(2);
    if (userUnits > kMaxNameUnits) {
        TakeComputerHash(reader, session);
        return reader->ConsumeAll();
    }
    uint32_t computerCountAt = 4 + 2 * userUnits;
    if (!reader->Has(computerCountAt + 2))
        return 0;
    uint32_t computerUnits = reader->PeekU16(computerCountAt);
    if (computerUnits > kMaxNameUnits) {
        TakeComputerHash(reader, session);
        return reader->ConsumeAll();
    }
    if (!reader->Has(computerCountAt + 2 + 2 * computerUnits))
        return 0;

    TakeComputerHash(reader, session);
    uint8_t userName[2 * kMaxNameUnits] = {};
    uint8_t computerName[2 * kMaxNameUnits] = {};
    reader->ReadU16();
    reader->ReadBytes(userName, 2 * userUnits);
    reader->ReadU16();
    reader->ReadBytes(computerName, 2 * computerUnits);
    printf("User Name: %s\n", WideTextForConsole(userName, kMaxNameUnits).c_str());
    printf("Computer Name: %s\n", WideTextForConsole(computerName, kMaxNameUnits).c_str());
    return int32_t(reader->GetPos());
}

int32_t HandleComputerHash(PacketReader* reader, KelClient* client)
{
    if (!reader->Has(kComputerHashSize))
        return 0;
    client->Write16(OutboundOpcode("COMPUTER_INFO_REPLY"));
    client->Write32(23894);
    client->Write32(0);
    return kComputerHashSize;
}

int32_t HandleClientId(PacketReader* reader, KelClient* client)
{
    if (!reader->Has(kShortRequestSize))
        return 0;
    client->Write16(OutboundOpcode("P12B_REPLY"));
    client->Write32(0);
    return kShortRequestSize;
}

int32_t HandleKeepAlive(PacketReader* reader, KelClient*)
{
    // There are no time-outs: the keep-alive is only consumed.
    return reader->Has(kShortRequestSize) ? int32_t(kShortRequestSize) : 0;
}

int32_t HandleExitGame(PacketReader* reader, KelClient*)
{
    if (!reader->Has(kShortRequestSize))
        return 0;
    reader->ReadU16(); // carried by the message, of no use to the login server
    return kShortRequestSize;
}

int32_t HandleAccountLogout(PacketReader* reader, KelClient* client)
{
    if (!reader->Has(kShortRequestSize))
        return 0;
    ClientData* session = server.GetClientData(client->id);
    if (!session)
        return reader->ConsumeAll();
    session->loggedIn = 0;
    return kShortRequestSize;
}

int32_t HandleComputerHardware(PacketReader* reader, KelClient*)
{
    if (!reader->Has(4))
        return 0;
    uint32_t length = uint32_t(reader->ReadU16()) + kHardwareFixedSize;
    return reader->Has(length) ? int32_t(length) : 0;
}

int32_t HandleRequestResponse(PacketReader* reader, KelClient* client)
{
    if (!reader->Has(kShortRequestSize))
        return 0;
    ClientData* session = server.GetClientData(client->id);
    if (!session)
        return reader->ConsumeAll();
    session->requestId = reader->ReadU32();
    WriteSendResponse(client, session->requestId);
    WriteStreamSuccess(client, session->requestId);
    return kShortRequestSize;
}

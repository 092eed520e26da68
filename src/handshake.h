#pragma once

// Handlers of the handshake and session requests, none of which touches the
// database. Each takes the reader (positioned just after the message number)
// and the client, and returns the bytes the message occupies; 0 while the
// message has not fully arrived. A malformed message is dropped with the
// rest of the buffer.

#include <cstdint>

struct KelClient;
struct PacketReader;

// The login port's raw-data callback, ahead of the message handlers: while
// a client has sent nothing else it answers the update check, which has no
// message-table entry, with the NoUpdateAvailable packet.
int32_t OnClientRawData(const uint8_t* data, uint32_t length, KelClient* client);

int32_t HandleClientSeed(PacketReader* reader, KelClient* client);
int32_t HandleClientVersion(PacketReader* reader, KelClient* client);
int32_t HandleComputerUser(PacketReader* reader, KelClient* client);
int32_t HandleComputerHash(PacketReader* reader, KelClient* client);
int32_t HandleClientId(PacketReader* reader, KelClient* client);
int32_t HandleKeepAlive(PacketReader* reader, KelClient* client);
int32_t HandleExitGame(PacketReader* reader, KelClient* client);
int32_t HandleAccountLogout(PacketReader* reader, KelClient* client);
int32_t HandleComputerHardware(PacketReader* reader, KelClient* client);
int32_t HandleRequestResponse(PacketReader* reader, KelClient* client);

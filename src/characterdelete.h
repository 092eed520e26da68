#pragma once

// CHARACTER_DELETE: a logged-in client names one of its account's
// characters; the handler looks it up by name and account, and the lookup's
// continuation queues the deletion of the character's items and of the
// character and closes the request.
//
// Message: number, u32 request id, u16 name length n in UTF-16 units
// (at most 30), 2n bytes of name (UTF-16LE).

#include <cstdint>
#include <string>

#include "loginwire.h"

struct ClientData;
struct KelClient;
struct PacketReader;
struct QUERY_RESULT;

// The state of one CHARACTER_DELETE in progress: the working data of its chain.
struct CharacterDeleteData {
    uint8_t name[kCharacterNameBytes]; // the character name as received, UTF-16LE, zero-padded
    uint16_t nameLength;               // the name's length in UTF-16 units, as sent
};

// The message handler. Waits (0) until the fixed fields and the name have
// arrived; then consumes the whole receive buffer.
int32_t HandleCharacterDelete(PacketReader* reader, KelClient* client);

// Continuation of the lookup: 0 once the deletion is queued (or the lookup
// found a character but the client has gone), -1 when the lookup failed,
// -2 when the account has no character of that name.
int32_t OnCharacterDeleteLookup(QUERY_RESULT* result, ClientData* client);

// The statements of a deletion. The name is the full 60-byte stored form.
std::string CharacterLookupQuery(const uint8_t* name, uint32_t accountId);
std::string CharacterItemsDeleteQuery(uint32_t characterId);
std::string CharacterRowDeleteQuery(uint32_t characterId, uint32_t accountId);

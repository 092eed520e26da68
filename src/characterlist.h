#pragma once

// The end of a successful login: the account's characters with the items
// they wear, then the rest of the login answer, written in one go:
// CHARACTER_INFO per character, ACCOUNT_DATA, ACCOUNT_FRIENDSLIST_END,
// ACCOUNT_PERMISSIONS and STREAM_TERMINATOR 0.

#include <cstdint>

struct CharacterRecord;
struct ClientData;
struct Item;
struct KelClient;
struct QUERY_RESULT;

// Continuation of the characters query: keeps the characters and loads
// the items they wear (none: the answer is written at once).
int32_t OnCharactersLoaded(QUERY_RESULT* result, ClientData* data);

// Continuation of the item query, or called with no result for an account
// without characters: writes the login answer.
int32_t OnCharacterItemsLoaded(QUERY_RESULT* result, ClientData* data);

// Appends one CHARACTER_INFO: the character and, per armour slot, the
// first loaded item with the slot's id (five zero bytes when none has it).
void WriteCharacterInfo(KelClient* client, uint32_t requestId, const CharacterRecord& record,
                        const Item* items, uint32_t itemCount);

// Appends ACCOUNT_DATA: size bytes of data (room for at least 6) with the
// message number and the request id written over its first six bytes.
void WriteAccountData(KelClient* client, uint32_t requestId, uint8_t* data, uint32_t size);

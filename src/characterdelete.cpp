#include "characterdelete.h"

#include <cstdio>
#include <cstring>

#include "database.h"
#include "kelclient.h"
#include "packetreader.h"
#include "replies.h"
#include "rowfields.h"
#include "server.h"
#include "sessions.h"
#include "utility.h"
#include "widetext.h"

// Bytes of the fixed fields: number, request id, name length.
static const uint32_t kFixedSize = 8;
// Character ids below this one mark account storage in items.OwnerCID.
static const uint32_t kFirstCharacterId = 10;

static int32_t WholeBuffer(const PacketReader* reader)
{
    return reader->size > INT32_MAX ? INT32_MAX : int32_t(reader->size);
}

static uint16_t PeekU16(const PacketReader* reader, uint32_t offset)
{
    return uint16_t(reader->data[offset] | (reader->data[offset + 1] << 8));
}

void FreeCharacterDeleteData(void* data)
{
    delete static_cast<CharacterDeleteData*>(data);
}

std::string CharacterLookupQuery(const uint8_t* name, uint32_t accountId)
{
    char nameHex[2 * kCharacterNameBytes + 3];
    BytesToHexString(name, kCharacterNameBytes, nameHex);
    char query[450];
    snprintf(query, sizeof query,
             "SELECT ID, HeadArmor, ChestArmor, ArmsArmor, LegArmor, FeetArmor FROM characters "
             "WHERE Name=%s AND OwnerAccountID=%u LIMIT 1",
             nameHex, accountId);
    return query;
}

std::string CharacterItemsDeleteQuery(uint32_t characterId)
{
    // Storage rows carry their account in OwnerAID and an OwnerCID below 10;
    // a character's own items always have OwnerAID 0. For such a low
    // character id the statement must not reach other accounts' storage.
    char query[140];
    snprintf(query, sizeof query,
             characterId < kFirstCharacterId ? "DELETE FROM items WHERE OwnerCID=%u AND OwnerAID=0"
                                             : "DELETE FROM items WHERE OwnerCID=%u",
             characterId);
    return query;
}

std::string CharacterRowDeleteQuery(uint32_t characterId, uint32_t accountId)
{
    char query[140];
    snprintf(query, sizeof query, "DELETE FROM characters WHERE ID=%u AND OwnerAccountID=%u LIMIT 1",
             characterId, accountId);
    return query;
}

int32_t HandleCharacterDelete(PacketReader* reader, KelClient* client)
{
    if (reader->size < kFixedSize)
        return 0;
    ClientData* session = server.GetClientData(client->id);
    if (!session)
        return WholeBuffer(reader);
    uint32_t nameUnits = PeekU16(reader, 6);
    // A name too long to be stored is refused without waiting for it.
    bool nameFits = nameUnits <= kCharacterNameUnits;
    if (nameFits && reader->size < kFixedSize + 2 * nameUnits)
        return 0;

    session->requestId = reader->ReadU32();
    if (!session->loggedIn) {
        SendStreamTerminator(RESULT_NOT_LOGGED_IN, session->requestId, client->socket);
        return WholeBuffer(reader);
    }
    if (!nameFits) {
        // No character can have such a name.
        SendStreamTerminator(RESULT_REQUEST_FAILED, session->requestId, client->socket);
        return WholeBuffer(reader);
    }

    session->chainRequestId = session->requestId;
    CharacterDeleteData* data = new CharacterDeleteData();
    data->nameLength = reader->ReadU16();
    reader->ReadBytes(data->name, 2 * uint32_t(data->nameLength));
    printf("Deleting: %s\n", WideTextForConsole(data->name, kCharacterNameUnits).c_str());

    std::string query = CharacterLookupQuery(data->name, session->accountId);
    uint32_t queryId = server.database.Query(query.c_str(), int(query.size()), session->accountId);
    SetPendingQuery(session, queryId, OnCharacterDeleteLookup);
    SetCallbackData(session, data, FreeCharacterDeleteData);
    return WholeBuffer(reader);
}

// A refusal goes only to this session's own connection, never to another
// client that may have been given the same socket since.
static void SendFailure(ClientData* session, uint32_t code)
{
    KelClient* connection = FindSessionClient(session);
    if (connection)
        SendStreamTerminator(code, session->chainRequestId, connection->socket);
}

int32_t OnCharacterDeleteLookup(QUERY_RESULT* result, ClientData* client)
{
    if (!result->result) {
        SendFailure(client, RESULT_REQUEST_FAILED);
        return -1;
    }
    RowFields row;
    uint32_t characterId = 0;
    if (!row.Fetch(result->result) || !row.U32(0, &characterId)) {
        SendFailure(client, RESULT_REQUEST_FAILED);
        return -2;
    }

    // Both statements go out without waiting; the reply means "queued".
    std::string items = CharacterItemsDeleteQuery(characterId);
    server.database.Execute(items.c_str(), int(items.size()), client->accountId);
    std::string character = CharacterRowDeleteQuery(characterId, client->accountId);
    server.database.Execute(character.c_str(), int(character.size()), client->accountId);
    printf("Character deleted!\n");

    KelClient* connection = FindSessionClient(client);
    if (connection)
        WriteStreamSuccess(connection, client->chainRequestId);
    return 0;
}

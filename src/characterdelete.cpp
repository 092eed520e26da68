#include "characterdelete.h"

#include <cstdio>

#include "database.h"
#include "kelclient.h"
#include "packetreader.h"
#include "replies.h"
#include "rowfields.h"
#include "server.h"
#include "sessions.h"
#include "sqltext.h"
#include "widetext.h"

// Bytes of the fixed fields: number, request id, name length.
static const uint32_t kFixedSize = 8;
// Character ids below this one mark account storage in items.OwnerCID.
static const uint32_t kFirstCharacterId = 10;

std::string CharacterLookupQuery(const uint8_t* name, uint32_t accountId)
{
    return FormatText("SELECT ID, HeadArmor, ChestArmor, ArmsArmor, LegArmor, FeetArmor FROM characters "
                      "WHERE Name=%s AND OwnerAccountID=%u LIMIT 1",
                      HexText(name, kCharacterNameBytes).c_str(), accountId);
}

std::string CharacterItemsDeleteQuery(uint32_t characterId)
{
    // Storage rows carry their account in OwnerAID and an OwnerCID below 10;
    // a character's own items always have OwnerAID 0. For such a low
    // character id the statement must not reach other accounts' storage.
    if (characterId < kFirstCharacterId)
        return FormatText("DELETE FROM items WHERE OwnerCID=%u AND OwnerAID=0", characterId);
    return FormatText("DELETE FROM items WHERE OwnerCID=%u", characterId);
}

std::string CharacterRowDeleteQuery(uint32_t characterId, uint32_t accountId)
{
    return FormatText("DELETE FROM characters WHERE ID=%u AND OwnerAccountID=%u LIMIT 1", characterId, accountId);
}

int32_t HandleCharacterDelete(PacketReader* reader, KelClient* client)
{
    if (!reader->Has(kFixedSize))
        return 0;
    ClientData* session = server.GetClientData(client->id);
    if (!session)
        return reader->ConsumeAll();
    uint32_t nameUnits = reader->PeekU16(6);
    // A name too long to be stored is refused without waiting for it.
    bool nameFits = nameUnits <= kCharacterNameUnits;
    if (nameFits && !reader->Has(kFixedSize + 2 * nameUnits))
        return 0;

    session->requestId = reader->ReadU32();
    if (!session->loggedIn) {
        SendStreamTerminator(RESULT_NOT_LOGGED_IN, session->requestId, client->socket);
        return reader->ConsumeAll();
    }
    if (!nameFits) {
        // No character can have such a name.
        SendStreamTerminator(RESULT_REQUEST_FAILED, session->requestId, client->socket);
        return reader->ConsumeAll();
    }

    CharacterDeleteData* data = new CharacterDeleteData();
    data->nameLength = reader->ReadU16();
    reader->ReadBytes(data->name, 2 * uint32_t(data->nameLength));
    printf("Deleting: %s\n", WideTextForConsole(data->name, kCharacterNameUnits).c_str());

    uint32_t queryId = server.database.Query(CharacterLookupQuery(data->name, session->accountId), session->accountId);
    StartChain(session, queryId, OnCharacterDeleteLookup, data, DeleteAs<CharacterDeleteData>);
    return reader->ConsumeAll();
}

// A refusal goes only to this session's own connection, never to another
// client that may have been given the same socket since.
static void SendFailure(ClientData* session, uint32_t code)
{
    if (KelClient* connection = FindSessionClient(session))
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

    // Both statements go out without waiting; the reply means "queued", so
    // they keep the account's order key.
    server.database.Execute(CharacterItemsDeleteQuery(characterId), client->accountId);
    server.database.Execute(CharacterRowDeleteQuery(characterId, client->accountId), client->accountId);
    printf("Character deleted!\n");

    if (KelClient* connection = FindSessionClient(client))
        WriteStreamSuccess(connection, client->chainRequestId);
    return 0;
}

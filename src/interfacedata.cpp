#include "interfacedata.h"

#include <cstdio>

#include "database.h"
#include "kelclient.h"
#include "packetreader.h"
#include "replies.h"
#include "server.h"
#include "sessions.h"
#include "sqltext.h"

std::string InterfaceDataUpdateQuery(const uint8_t* data, uint32_t size, uint32_t accountId)
{
    // The hex form of no bytes, "0x", is not a literal to the database; the
    // empty binary literal stores the empty value.
    std::string value = size == 0 ? "X''" : HexText(data, size);
    return FormatText("UPDATE accounts SET InterfaceDataSize=%u, InterfaceData=%s WHERE AccountID=%u LIMIT 1"
                      "@NOSTATUS",
                      size, value.c_str(), accountId);
}

int32_t HandleAccountDataFromClient(PacketReader* reader, KelClient* client)
{
    if (!reader->Has(kInterfaceDataOffset))
        return 0;
    ClientData* session = server.GetClientData(client->id);
    if (!session || !session->loggedIn)
        return reader->ConsumeAll();

    session->requestId = reader->ReadU32();
    if (reader->size > kInterfaceMessageLimit) {
        printf("Oversize InterfaceData detected. Not writing to db!\n");
        return reader->ConsumeAll();
    }
    std::string query = InterfaceDataUpdateQuery(reader->GetData() + kInterfaceDataOffset,
                                                 reader->size - kInterfaceDataOffset, session->accountId);
    // Nothing waits for the UPDATE: the reply means "queued", so the
    // account's order key keeps it in order with the account's later ones.
    server.database.Execute(query, session->accountId);
    WriteStreamSuccess(client, session->requestId);
    return reader->ConsumeAll();
}

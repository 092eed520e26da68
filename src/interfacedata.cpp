#include "interfacedata.h"

#include <cstdio>
#include <vector>

#include "database.h"
#include "kelclient.h"
#include "packetreader.h"
#include "replies.h"
#include "server.h"
#include "sessions.h"
#include "utility.h"

std::string InterfaceDataUpdateQuery(const uint8_t* data, uint32_t size, uint32_t accountId)
{
    // The hex form of no bytes, "0x", is not a literal to the database; the
    // empty binary literal stores the empty value.
    static const char kEmptyLiteral[] = "X''";
    std::vector<char> hex(size == 0 ? sizeof kEmptyLiteral : 2 * size_t(size) + 3);
    if (size == 0)
        snprintf(hex.data(), hex.size(), "%s", kEmptyLiteral);
    else
        BytesToHexString(data, int32_t(size), hex.data());

    std::vector<char> query(hex.size() + 200);
    snprintf(query.data(), query.size(),
             "UPDATE accounts SET InterfaceDataSize=%u, InterfaceData=%s WHERE AccountID=%u LIMIT 1"
             "@NOSTATUS",
             size, hex.data(), accountId);
    return query.data();
}

int32_t HandleAccountDataFromClient(PacketReader* reader, KelClient* client)
{
    if (reader->size < kInterfaceDataOffset)
        return 0;
    uint32_t size = reader->size;
    int32_t consumed = size > INT32_MAX ? INT32_MAX : int32_t(size);
    ClientData* session = server.GetClientData(client->id);
    if (!session || !session->loggedIn)
        return consumed;

    session->requestId = reader->ReadU32();
    if (size > kInterfaceMessageLimit) {
        printf("Oversize InterfaceData detected. Not writing to db!\n");
        return consumed;
    }
    std::string query = InterfaceDataUpdateQuery(reader->GetData() + kInterfaceDataOffset,
                                                 size - kInterfaceDataOffset, session->accountId);
    // Nothing waits for the UPDATE: the reply means "queued".
    server.database.Execute(query.c_str(), int(query.size()), session->accountId);
    WriteStreamSuccess(client, session->requestId);
    return consumed;
}
